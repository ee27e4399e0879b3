// WriteWholeFile on each kind of thing a path can name: a regular file is replaced, a symbolic link
// is written through at its final target and stays a link, a FIFO or a device is written in place
// and stays what it was, and a directory, a link to nothing or a read-only file is refused with
// everything left as it was.
#include "support/file_streams.h"

#include "support/text_path.h"
#include "testkit/temp_dir.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <chrono>
#include <functional>
#include <future>
#include <set>

namespace fs = std::filesystem;
using modFileStreams::WriteWholeFile;
using testkit::TempDir;

namespace {

std::vector<std::uint8_t> Pattern(std::size_t size) {
    std::vector<std::uint8_t> bytes(size);
    for (std::size_t i = 0; i < size; ++i)
        bytes[i] = static_cast<std::uint8_t>(i * 31 + 7);
    return bytes;
}

// Every name in the directory and those below it, as paths relative to it.
std::set<fs::path> Names(const fs::path& directory) {
    std::set<fs::path> names;
    for (const auto& entry : fs::recursive_directory_iterator(directory))
        names.insert(entry.path().lexically_relative(directory));
    return names;
}

bool IsCharacterDevice(const fs::path& path, dev_t device) {
    struct stat info {};
    return ::lstat(path.c_str(), &info) == 0 && S_ISCHR(info.st_mode) && info.st_rdev == device;
}

// A character device of the given numbers in the test's own directory; false when this process may
// not make one (not root, or a container that forbids it).
bool MakeDevice(const fs::path& path, unsigned major, unsigned minor) {
    return ::mknod(path.c_str(), S_IFCHR | 0666, makedev(major, minor)) == 0;
}

struct TargetCase {
    const char* name;
    // Makes what the path names in dir and gives the path to write; an empty path skips the row
    // (with the reason in *skip).
    std::function<fs::path(const TempDir& dir, std::string* skip)> make;
    bool written; // WriteWholeFile's result
    // What must hold afterwards, beyond the names in dir being exactly `names`.
    std::function<void(const TempDir& dir, const std::vector<std::uint8_t>& bytes)> check;
    std::set<fs::path> names;
};

void PrintTo(const TargetCase& c, std::ostream* os) {
    *os << c.name;
}

class WriteTarget : public testing::TestWithParam<TargetCase> {};

TEST_P(WriteTarget, LandsWhereTheNameLeadsAndKeepsItsKind) {
    const TargetCase& row = GetParam();
    TempDir dir;
    std::string skip;
    const fs::path target = row.make(dir, &skip);
    if (target.empty())
        GTEST_SKIP() << skip;
    const std::vector<std::uint8_t> bytes = Pattern(100000);

    const auto started = std::chrono::steady_clock::now();
    EXPECT_EQ(WriteWholeFile(TextFromPath(target), bytes), row.written);
    // No row may wait on anything: a FIFO nobody reads is refused at once.
    EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(10));
    row.check(dir, bytes);
    EXPECT_EQ(Names(dir.path()), row.names) << "a temporary file left behind, or a name replaced";
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
    {"Directory",
     [](const TempDir& dir, std::string*) {
         fs::create_directory(dir / "folder");
         return dir / "folder";
     },
     false,
     [](const TempDir& dir, const std::vector<std::uint8_t>&) { EXPECT_TRUE(fs::is_directory(dir / "folder")); },
     {"folder"}},
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
         if (::geteuid() != 0 || !MakeDevice(dir / "null", 1, 3)) {
             *skip = "making a device needs root (and a system that allows mknod)";
             return fs::path();
         }
         return dir / "null";
     },
     true,
     [](const TempDir& dir, const std::vector<std::uint8_t>&) {
         EXPECT_TRUE(IsCharacterDevice(dir / "null", makedev(1, 3)));
     },
     {"null"}},
    {"LinkToNullDevice",
     [](const TempDir& dir, std::string* skip) {
         if (::geteuid() != 0 || !MakeDevice(dir / "null", 1, 3)) {
             *skip = "making a device needs root (and a system that allows mknod)";
             return fs::path();
         }
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
         if (::geteuid() != 0 || !MakeDevice(dir / "full", 1, 7)) {
             *skip = "making a device needs root (and a system that allows mknod)";
             return fs::path();
         }
         return dir / "full";
     },
     false,
     [](const TempDir& dir, const std::vector<std::uint8_t>&) {
         EXPECT_TRUE(IsCharacterDevice(dir / "full", makedev(1, 7)));
     },
     {"full"}},
};

INSTANTIATE_TEST_SUITE_P(WriteWholeFile, WriteTarget, testing::ValuesIn(kTargetCases),
                         [](const testing::TestParamInfo<TargetCase>& info) { return std::string(info.param.name); });

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
