#include "support/file_streams.h"

#include "support/text_path.h"
#include "testkit/child_process.h"
#include "testkit/temp_dir.h"
#include "testkit/worker_faults.h"

#include <gtest/gtest.h>

namespace fs = std::filesystem;
using modFileStreams::ReadWholeFile;
using modFileStreams::WriteWholeFile;
using testkit::TempDir;

namespace {

std::u16string Text(const fs::path& path) {
    return TextFromPath(path);
}

std::vector<fs::path> Entries(const fs::path& directory) {
    std::vector<fs::path> entries;
    for (const auto& entry : fs::directory_iterator(directory))
        entries.push_back(entry.path().filename());
    return entries;
}

} // namespace

TEST(ReadWholeFile, ReadsExactBytesIncludingEmptyFile) {
    TempDir dir;
    testkit::WriteFile(dir / "empty.bin", "");
    const std::vector<std::uint8_t> bytes{0, 1, 2, 0xFF, '\r', '\n', 0};
    testkit::WriteFile(dir / "data.bin", bytes);

    std::vector<std::uint8_t> buffer{9, 9, 9};
    ASSERT_TRUE(ReadWholeFile(Text(dir / "empty.bin"), buffer));
    EXPECT_TRUE(buffer.empty());
    ASSERT_TRUE(ReadWholeFile(Text(dir / "data.bin"), buffer));
    EXPECT_EQ(buffer, bytes);
}

TEST(ReadWholeFile, RefusesWhatIsNotAReadableFile) {
    TempDir dir;
    std::vector<std::uint8_t> buffer;
    EXPECT_FALSE(ReadWholeFile(u"", buffer));
    EXPECT_FALSE(ReadWholeFile(Text(dir / "missing"), buffer));
    EXPECT_FALSE(ReadWholeFile(Text(dir.path()), buffer));
    EXPECT_FALSE(fs::exists(dir / "missing"));
}

TEST(WriteWholeFile, ReplacesLongerFileExactlyAndLeavesNoTemporary) {
    TempDir dir;
    const fs::path target = dir / "字体.ttf";
    testkit::WriteFile(target, std::string(10000, 'x'));
    const std::vector<std::uint8_t> bytes{'n', 'e', 'w'};
    ASSERT_TRUE(WriteWholeFile(Text(target), bytes));
    EXPECT_EQ(testkit::ReadFile(target), bytes);
    EXPECT_EQ(Entries(dir.path()), std::vector<fs::path>{"字体.ttf"});

    ASSERT_TRUE(WriteWholeFile(Text(target), {}));
    EXPECT_EQ(fs::file_size(target), 0u);
}

TEST(WriteWholeFile, CopyThroughReadAndWriteIsByteIdentical) {
    TempDir dir;
    std::vector<std::uint8_t> bytes(70000);
    for (std::size_t i = 0; i < bytes.size(); ++i)
        bytes[i] = static_cast<std::uint8_t>(i * 7);
    testkit::WriteFile(dir / "a", bytes);
    std::vector<std::uint8_t> buffer;
    ASSERT_TRUE(ReadWholeFile(Text(dir / "a"), buffer));
    ASSERT_TRUE(WriteWholeFile(Text(dir / "b"), buffer));
    EXPECT_EQ(testkit::ReadFile(dir / "b"), bytes);
}

TEST(WriteWholeFile, RefusedTargetsLeaveEverythingAsItWas) {
    TempDir dir;
    const fs::path readOnly = dir / "locked.mp3";
    testkit::WriteFile(readOnly, "old");
    fs::permissions(readOnly, fs::perms::owner_read | fs::perms::group_read | fs::perms::others_read);
    fs::create_directory(dir / "folder");

    EXPECT_FALSE(WriteWholeFile(Text(readOnly), {'n', 'e', 'w'}));
    EXPECT_EQ(testkit::ReadFile(readOnly), testkit::Bytes("old"));
    EXPECT_FALSE(WriteWholeFile(u"", {'x'}));
    EXPECT_FALSE(WriteWholeFile(Text(dir / "folder"), {'x'}));
    EXPECT_TRUE(fs::is_directory(dir / "folder"));
    EXPECT_FALSE(WriteWholeFile(Text(dir / "no-such-dir" / "f"), {'x'}));
    EXPECT_FALSE(fs::exists(dir / "no-such-dir"));
    EXPECT_EQ(Entries(dir.path()).size(), 2u);
}

// The disk filling up in the middle of the write: a child process limited to a file size smaller
// than the new content tries the write; the old file must come through byte for byte.
// 0 when the write of 200000 bytes failed under a file-size limit of 64 KiB.
TESTKIT_CHILD_ROLE(WriteBiggerOnFullDisk) {
    if (!testkit::worker_faults::LimitFileSize(65536))
        return 3;
    return WriteWholeFile(Text(testkit::child::ArgumentPath(args.at(0))), std::vector<std::uint8_t>(200000, 'n')) ? 1
                                                                                                                  : 0;
}

TEST(WriteWholeFile, FailingWriteKeepsOldFileByteIdentical) {
    TempDir dir;
    const fs::path target = dir / "War3XMainScreen.mp3";
    std::vector<std::uint8_t> old(3000, 'o');
    testkit::WriteFile(target, old);

    const testkit::child::Outcome outcome =
        testkit::child::Run("WriteBiggerOnFullDisk", {testkit::child::PathArgument(target)});
    ASSERT_TRUE(outcome.exited);
    EXPECT_EQ(outcome.code, 0) << "the write should have reported failure";
    EXPECT_EQ(testkit::ReadFile(target), old);
    EXPECT_EQ(Entries(dir.path()), std::vector<fs::path>{"War3XMainScreen.mp3"});
}

struct PermissionsCase {
    const char* name;
    fs::perms set;
    fs::perms kept;          // on Linux: the mode as set
    fs::perms keptOnWindows; // Windows keeps only a read-only attribute: a file it may write reads as 0666
};

void PrintTo(const PermissionsCase& c, std::ostream* os) {
    *os << c.name;
}

class ReplacedFilePermissions : public testing::TestWithParam<PermissionsCase> {};

TEST_P(ReplacedFilePermissions, AreKept) {
    TempDir dir;
    const fs::path target = dir / "f";
    testkit::WriteFile(target, "old");
    fs::permissions(target, GetParam().set);
    ASSERT_TRUE(WriteWholeFile(Text(target), {'n'}));
    EXPECT_EQ(testkit::ReadFile(target), testkit::Bytes("n"));
    EXPECT_EQ(fs::status(target).permissions(), testkit::kWindows ? GetParam().keptOnWindows : GetParam().kept);
}

constexpr fs::perms kReadWrite = fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read |
                                 fs::perms::group_write | fs::perms::others_read | fs::perms::others_write;

INSTANTIATE_TEST_SUITE_P(
    WriteWholeFile, ReplacedFilePermissions,
    testing::Values(PermissionsCase{"OwnerOnly", fs::perms::owner_read | fs::perms::owner_write,
                                    fs::perms::owner_read | fs::perms::owner_write, kReadWrite},
                    PermissionsCase{"GroupReads",
                                    fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read,
                                    fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read, kReadWrite},
                    PermissionsCase{"EveryoneWrites", kReadWrite, kReadWrite, kReadWrite}),
    [](const testing::TestParamInfo<PermissionsCase>& info) { return std::string(info.param.name); });
