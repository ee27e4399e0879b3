// WriteWholeFile on each kind of thing a path can name: a regular file is replaced, a symbolic link
// is written through at its final target and stays a link, a FIFO or a device is written in place
// and stays what it was, and a directory, a link to nothing or a read-only file is refused with
// everything left as it was.
#include "write_target_case.h"

#include "support/file_streams.h"
#include "support/text_path.h"
#include "testkit/temp_dir.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <future>
#include <memory>
#include <set>

namespace fs = std::filesystem;
using modFileStreams::WriteWholeFile;
using testkit::TempDir;
using write_targets_test::DirectoryRow;
using write_targets_test::Names;
using write_targets_test::RowName;
using write_targets_test::TargetCase;
using write_targets_test::WriteToTarget;

namespace {

std::vector<std::uint8_t> Pattern(std::size_t size) {
    std::vector<std::uint8_t> bytes(size);
    for (std::size_t i = 0; i < size; ++i)
        bytes[i] = static_cast<std::uint8_t>(i * 31 + 7);
    return bytes;
}

bool IsCharacterDevice(const fs::path& path, dev_t device) {
    struct stat info {};
    return ::lstat(path.c_str(), &info) == 0 && S_ISCHR(info.st_mode) && info.st_rdev == device;
}

// A character device of the given numbers in the test's own directory; false, with the reason in
// *skip, when this process may not make one (not root, or a container that forbids it).
bool MakeDevice(const fs::path& path, unsigned major, unsigned minor, std::string* skip) {
    if (::geteuid() == 0 && ::mknod(path.c_str(), S_IFCHR | 0666, makedev(major, minor)) == 0)
        return true;
    *skip = "making a device needs root (and a system that allows mknod)";
    return false;
}

class WriteTarget : public testing::TestWithParam<TargetCase> {};

TEST_P(WriteTarget, LandsWhereTheNameLeadsAndKeepsItsKind) {
    WriteToTarget(GetParam(), Pattern(100000));
}

const fs::path kNew = "new.bin";

const TargetCase kTargetCases[] = {
    {"RegularFile",
     [](const TempDir& dir, std::string*) {
         testkit::WriteFile(dir / "file.bin", std::string(200000, 'o'));
         return dir / "file.bin";
     },
     true,
     [](const TempDir& dir, const std::vector<std::uint8_t>& bytes) {
         EXPECT_FALSE(fs::is_symlink(dir / "file.bin"));
         EXPECT_EQ(testkit::ReadFile(dir / "file.bin"), bytes);
     },
     {"file.bin"}},
    {"NothingThere",
     [](const TempDir& dir, std::string*) { return dir / kNew; },
     true,
     [](const TempDir& dir, const std::vector<std::uint8_t>& bytes) {
         EXPECT_EQ(testkit::ReadFile(dir / kNew), bytes);
     },
     {kNew}},
    {"LinkToFileInAnotherDirectory",
     [](const TempDir& dir, std::string*) {
         fs::create_directory(dir / "music");
         testkit::WriteFile(dir / "music" / "menu.mp3", "old");
         fs::create_symlink("music/menu.mp3", dir / "link.mp3");
         return dir / "link.mp3";
     },
     true,
     [](const TempDir& dir, const std::vector<std::uint8_t>& bytes) {
         ASSERT_TRUE(fs::is_symlink(dir / "link.mp3"));
         EXPECT_EQ(fs::read_symlink(dir / "link.mp3"), fs::path("music/menu.mp3"));
         EXPECT_EQ(testkit::ReadFile(dir / "music" / "menu.mp3"), bytes);
     },
     {"link.mp3", "music", "music/menu.mp3"}},
    {"ChainOfLinks",
     [](const TempDir& dir, std::string*) {
         testkit::WriteFile(dir / "file.bin", "old");
         fs::create_symlink(dir / "file.bin", dir / "second");
         fs::create_symlink("second", dir / "first");
         return dir / "first";
     },
     true,
     [](const TempDir& dir, const std::vector<std::uint8_t>& bytes) {
         EXPECT_TRUE(fs::is_symlink(dir / "first"));
         EXPECT_TRUE(fs::is_symlink(dir / "second"));
         EXPECT_EQ(testkit::ReadFile(dir / "file.bin"), bytes);
     },
     {"file.bin", "first", "second"}},
    {"DanglingLinkIsRefusedAsCpRefusesIt",
     [](const TempDir& dir, std::string*) {
         fs::create_symlink("missing.bin", dir / "link");
         return dir / "link";
     },
     false,
     [](const TempDir& dir, const std::vector<std::uint8_t>&) {
         EXPECT_TRUE(fs::is_symlink(dir / "link"));
         EXPECT_FALSE(fs::exists(dir / "missing.bin"));
     },
     {"link"}},
    {"LoopOfLinks",
     [](const TempDir& dir, std::string*) {
         fs::create_symlink("b", dir / "a");
         fs::create_symlink("a", dir / "b");
         return dir / "a";
     },
     false,
     [](const TempDir& dir, const std::vector<std::uint8_t>&) {
         EXPECT_TRUE(fs::is_symlink(dir / "a"));
         EXPECT_TRUE(fs::is_symlink(dir / "b"));
     },
     {"a", "b"}},
    DirectoryRow(),
    {"LinkToDirectory",
     [](const TempDir& dir, std::string*) {
         fs::create_directory(dir / "folder");
         fs::create_directory_symlink("folder", dir / "link");
         return dir / "link";
     },
     false,
     [](const TempDir& dir, const std::vector<std::uint8_t>&) {
         EXPECT_TRUE(fs::is_symlink(dir / "link"));
         EXPECT_TRUE(fs::is_empty(dir / "folder"));
     },
     {"folder", "link"}},
    {"ReadOnlyFile",
     [](const TempDir& dir, std::string*) {
         testkit::WriteFile(dir / "locked.ttf", "old");
         fs::permissions(dir / "locked.ttf", fs::perms::owner_read | fs::perms::group_read);
         return dir / "locked.ttf";
     },
     false,
     [](const TempDir& dir, const std::vector<std::uint8_t>&) {
         EXPECT_EQ(testkit::ReadFile(dir / "locked.ttf"), testkit::Bytes("old"));
     },
     {"locked.ttf"}},
    {"LinkToReadOnlyFile",
     [](const TempDir& dir, std::string*) {
         testkit::WriteFile(dir / "locked.ttf", "old");
         fs::permissions(dir / "locked.ttf", fs::perms::owner_read);
         fs::create_symlink("locked.ttf", dir / "link");
         return dir / "link";
     },
     false,
     [](const TempDir& dir, const std::vector<std::uint8_t>&) {
         EXPECT_TRUE(fs::is_symlink(dir / "link"));
         EXPECT_EQ(testkit::ReadFile(dir / "locked.ttf"), testkit::Bytes("old"));
     },
     {"link", "locked.ttf"}},
    {"FifoNobodyReads",
     [](const TempDir& dir, std::string*) {
         EXPECT_EQ(::mkfifo((dir / "fifo").c_str(), 0644), 0);
         return dir / "fifo";
     },
     false,
     [](const TempDir& dir, const std::vector<std::uint8_t>&) { EXPECT_TRUE(fs::is_fifo(dir / "fifo")); },
     {"fifo"}},
    // A device of /dev/null's numbers: everything written goes, and it stays that device.
    {"NullDevice",
     [](const TempDir& dir, std::string* skip) {
         if (!MakeDevice(dir / "null", 1, 3, skip))
             return fs::path();
         return dir / "null";
     },
     true,
     [](const TempDir& dir, const std::vector<std::uint8_t>&) {
         EXPECT_TRUE(IsCharacterDevice(dir / "null", makedev(1, 3)));
     },
     {"null"}},
    {"LinkToNullDevice",
     [](const TempDir& dir, std::string* skip) {
         if (!MakeDevice(dir / "null", 1, 3, skip))
             return fs::path();
         fs::create_symlink("null", dir / "stdout");
         return dir / "stdout";
     },
     true,
     [](const TempDir& dir, const std::vector<std::uint8_t>&) {
         EXPECT_TRUE(fs::is_symlink(dir / "stdout"));
         EXPECT_TRUE(IsCharacterDevice(dir / "null", makedev(1, 3)));
     },
     {"null", "stdout"}},
    // /dev/full's numbers: every write fails as on a full disk; the failure is reported and the
    // device stays a device.
    {"FullDevice",
     [](const TempDir& dir, std::string* skip) {
         if (!MakeDevice(dir / "full", 1, 7, skip))
             return fs::path();
         return dir / "full";
     },
     false,
     [](const TempDir& dir, const std::vector<std::uint8_t>&) {
         EXPECT_TRUE(IsCharacterDevice(dir / "full", makedev(1, 7)));
     },
     {"full"}},
};

INSTANTIATE_TEST_SUITE_P(WriteWholeFile, WriteTarget, testing::ValuesIn(kTargetCases), RowName);

// A FIFO with a reader, named directly or through a link: the reader gets every byte, more than a
// pipe holds at once, so the write must wait for it as a shell's redirection does.
struct FifoCase {
    const char* name;
    bool throughLink;
};

void PrintTo(const FifoCase& c, std::ostream* os) {
    *os << c.name;
}

class WriteToFifo : public testing::TestWithParam<FifoCase> {};

TEST_P(WriteToFifo, ReaderGetsEveryByteAndTheFifoStays) {
    TempDir dir;
    const fs::path fifo = dir / "fifo";
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0644), 0);
    fs::path target = fifo;
    if (GetParam().throughLink) {
        fs::create_symlink("fifo", dir / "link");
        target = dir / "link";
    }
    // Opened without waiting for a writer, then read as a blocking reader would.
    const int reader = ::open(fifo.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    ASSERT_GE(reader, 0);
    ASSERT_EQ(::fcntl(reader, F_SETFL, ::fcntl(reader, F_GETFL) & ~O_NONBLOCK), 0);

    const std::vector<std::uint8_t> bytes = Pattern(1 << 20);
    auto written = std::async(std::launch::async, [&] { return WriteWholeFile(TextFromPath(target), bytes); });
    // Until the writer comes, a read would see no writer and end at once; poll waits for its data.
    pollfd ready{reader, POLLIN, 0};
    ASSERT_EQ(::poll(&ready, 1, 20000), 1) << "nothing arrived";
    std::vector<std::uint8_t> received;
    std::uint8_t piece[65536];
    for (ssize_t got; (got = ::read(reader, piece, sizeof piece)) > 0;)
        received.insert(received.end(), piece, piece + got);
    ::close(reader);

    EXPECT_TRUE(written.get());
    EXPECT_EQ(received, bytes);
    EXPECT_TRUE(fs::is_fifo(fifo));
    EXPECT_EQ(fs::is_symlink(target), GetParam().throughLink);
    std::set<fs::path> names{"fifo"};
    if (GetParam().throughLink)
        names.insert("link");
    EXPECT_EQ(Names(dir.path()), names);
}

INSTANTIATE_TEST_SUITE_P(WriteWholeFile, WriteToFifo,
                         testing::Values(FifoCase{"Fifo", false}, FifoCase{"LinkToFifo", true}),
                         [](const testing::TestParamInfo<FifoCase>& info) { return std::string(info.param.name); });

// The same writer a piece at a time, as extraction uses it: a device never sees a temporary file
// or a rename, however the bytes come; dropped before Commit, it leaves the FIFO as it was.
TEST(FileWriterToFifo, DroppedUnfinishedLeavesTheFifoInPlace) {
    TempDir dir;
    const fs::path fifo = dir / "fifo";
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0644), 0);
    const int reader = ::open(fifo.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    ASSERT_GE(reader, 0);
    {
        std::unique_ptr<modFileStreams::FileWriter> writer = modFileStreams::FileWriter::Begin(TextFromPath(fifo));
        ASSERT_NE(writer, nullptr);
        EXPECT_TRUE(writer->Write(testkit::Bytes("part")));
    }
    std::uint8_t piece[16];
    EXPECT_EQ(::read(reader, piece, sizeof piece), 4);
    ::close(reader);
    EXPECT_TRUE(fs::is_fifo(fifo));
    EXPECT_EQ(Names(dir.path()), std::set<fs::path>{"fifo"});
}

} // namespace
