// ostrawen-cli end to end on what a user names: `resource extract` writes through a symbolic link
// (the link stays), into a FIFO a reader drains (no file put in its place), and refuses a link to
// nothing; `compact` rewrites an archive with space to reclaim once, and then says unchanged and
// leaves the file alone.
#include "archive/archive_file.h"
#include "shell.h"
#include "testkit/child_process.h"
#include "testkit/mpq_fixtures.h"
#include "testkit/program_run.h"
#include "testkit/temp_dir.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <functional>
#include <future>

namespace {
namespace fs = std::filesystem;
using Bytes = std::vector<std::uint8_t>;

const char16_t kMusicPath[] = u"Sound\\Music\\mp3Music\\Mainscreen.mp3";
const char16_t kModelPath[] = u"UI\\Glues\\MainMenu\\MainMenu3d\\MainMenu3d.mdx";

class CliTargets : public testing::Test {
public:
    static Bytes Music() { return testkit::PatternBytes(300000, 7, false); }

protected:
    CliTargets() {
        fs::create_directories(GameDir());
        testkit::WriteFile(GameDir() / "war3.exe", "MZ");
        // The model first, so that deleting it leaves space for compaction to reclaim.
        testkit::BuildArchive(Patch(), {{kModelPath, testkit::PatternBytes(120000, 2, false)},
                                        {kMusicPath, Music()},
                                        {u"UI\\war3skins.txt", testkit::Bytes("[Human]\r\n")}});
    }
    fs::path GameDir() const { return m_root / "Warcraft III"; }
    fs::path Patch() const { return GameDir() / "War3Patch.mpq"; }
    testkit::ProgramResult Run(std::vector<std::string> arguments) const {
        arguments.insert(arguments.begin(), {"--json", "--game-dir", testkit::child::PathArgument(GameDir())});
        return testkit::RunProgram(OSTRAWEN_CLI, arguments, m_root.path());
    }
    testkit::TempDir m_root;
};

// The JSON document's "changed" value ("true" or "false"), or "" when there is none.
std::string Changed(const testkit::ProgramResult& result) {
    const std::size_t key = result.out.rfind("\"changed\":");
    if (key == std::string::npos)
        return "";
    const std::size_t value = result.out.find_first_not_of(' ', key + 10);
    return result.out.substr(value, result.out.find_first_of(",}", value) - value);
}

struct ExtractCase {
    const char* name;
    // Makes the target in dir and gives the argument to name it.
    std::function<fs::path(const fs::path& dir)> make;
    int exitCode;
    std::function<void(const fs::path& dir)> check;
};

void PrintTo(const ExtractCase& c, std::ostream* os) {
    *os << c.name;
}

class CliExtractTarget : public CliTargets, public testing::WithParamInterface<ExtractCase> {};

TEST_P(CliExtractTarget, WritesWhereTheNameLeads) {
    const ExtractCase& row = GetParam();
    const fs::path target = row.make(m_root.path());
    const testkit::ProgramResult result = Run({"resource", "extract", "menu-music-roc", target.string()});
    EXPECT_EQ(result.exitCode, row.exitCode) << result.err;
    row.check(m_root.path());
}

const ExtractCase kExtractCases[] = {
    {"ThroughLink",
     [](const fs::path& dir) {
         fs::create_directory(dir / "music");
         testkit::WriteFile(dir / "music" / "menu.mp3", "old");
         fs::create_symlink("music/menu.mp3", dir / "menu.mp3");
         return dir / "menu.mp3";
     },
     0,
     [](const fs::path& dir) {
         ASSERT_TRUE(fs::is_symlink(dir / "menu.mp3"));
         EXPECT_EQ(fs::read_symlink(dir / "menu.mp3"), fs::path("music/menu.mp3"));
         EXPECT_EQ(testkit::ReadFile(dir / "music" / "menu.mp3"), CliTargets::Music());
     }},
    {"DanglingLink",
     [](const fs::path& dir) {
         fs::create_symlink("nowhere.mp3", dir / "menu.mp3");
         return dir / "menu.mp3";
     },
     1,
     [](const fs::path& dir) {
         EXPECT_TRUE(fs::is_symlink(dir / "menu.mp3"));
         EXPECT_FALSE(fs::exists(dir / "nowhere.mp3"));
     }},
    {"FifoNobodyReads",
     [](const fs::path& dir) {
         EXPECT_EQ(::mkfifo((dir / "pipe").c_str(), 0644), 0);
         return dir / "pipe";
     },
     1, [](const fs::path& dir) { EXPECT_TRUE(fs::is_fifo(dir / "pipe")); }},
};

INSTANTIATE_TEST_SUITE_P(Rows, CliExtractTarget, testing::ValuesIn(kExtractCases),
                         [](const testing::TestParamInfo<ExtractCase>& info) { return std::string(info.param.name); });

// `resource extract ITEM /dev/stdout` with standard output a pipe, as in `... | mpg123 -`: the bytes
// go down the pipe and nothing takes the FIFO's place.
TEST_F(CliTargets, ExtractIntoAFifoReachesItsReader) {
    const fs::path fifo = m_root / "pipe";
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0644), 0);
    const int reader = ::open(fifo.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    ASSERT_GE(reader, 0);
    ASSERT_EQ(::fcntl(reader, F_SETFL, ::fcntl(reader, F_GETFL) & ~O_NONBLOCK), 0);
    auto run = std::async(std::launch::async, [&] { return Run({"resource", "extract", "menu-music-roc", "pipe"}); });
    pollfd ready{reader, POLLIN, 0};
    ASSERT_EQ(::poll(&ready, 1, 60000), 1) << "nothing arrived";
    Bytes received;
    std::uint8_t piece[65536];
    for (ssize_t got; (got = ::read(reader, piece, sizeof piece)) > 0;)
        received.insert(received.end(), piece, piece + got);
    ::close(reader);
    const testkit::ProgramResult result = run.get();
    EXPECT_EQ(result.exitCode, 0) << result.err;
    EXPECT_EQ(received, Music());
    EXPECT_TRUE(fs::is_fifo(fifo));
}

// `resource extract ITEM /dev/stdout` (or /dev/stderr) with the stream redirected to a file: the
// bytes go into that file through the shell's stream, which stays the same file, and an appending
// redirection keeps what the file held. Named as /proc/self/fd/N, where /dev/stdout leads: a
// program that replaced the name it was given would then replace the test's file, never the
// machine's /dev/stdout.
struct RedirectCase {
    const char* name;
    const char* device;   // the name given to extract
    const char* redirect; // the shell's redirection of the stream behind it
    const char* before;   // the file's content before the run
};

class CliExtractRedirected : public CliTargets, public testing::WithParamInterface<RedirectCase> {};

TEST_P(CliExtractRedirected, WritesThroughTheShellsStream) {
    const RedirectCase& row = GetParam();
    const fs::path out = m_root / "out.bin";
    testkit::WriteFile(out, row.before);
    const auto before = archive_io::IdentityOf(out);
    ASSERT_TRUE(before.has_value());
    using package_test::Quoted;
    const package_test::Output run = package_test::Shell(
        "(" + Quoted(OSTRAWEN_CLI) + " --quiet --game-dir " + Quoted(GameDir().string()) +
        " resource extract menu-music-roc " + row.device + " " + row.redirect + " " + Quoted(out.string()) + ")");
    EXPECT_EQ(run.exitCode, 0) << run.text;
    Bytes expected(row.before, row.before + std::strlen(row.before));
    const Bytes music = Music();
    expected.insert(expected.end(), music.begin(), music.end());
    EXPECT_EQ(testkit::ReadBytes(out), expected);
    const auto after = archive_io::IdentityOf(out);
    ASSERT_TRUE(after.has_value());
    EXPECT_TRUE(after->SameFile(*before)) << "the redirected file was replaced";
}

const RedirectCase kRedirectCases[] = {
    {"StdoutToFile", "/proc/self/fd/1", ">", ""},
    {"StdoutAppended", "/proc/self/fd/1", ">>", "earlier output\n"},
    {"StderrToFile", "/proc/self/fd/2", "2>", ""},
};

INSTANTIATE_TEST_SUITE_P(Rows, CliExtractRedirected, testing::ValuesIn(kRedirectCases),
                         [](const testing::TestParamInfo<RedirectCase>& info) { return std::string(info.param.name); });

struct ArchiveState {
    archive_io::FileIdentity identity;
    fs::file_time_type modified;
    Bytes bytes;
};

ArchiveState StateOf(const fs::path& path) {
    return {archive_io::IdentityOf(path).value_or(archive_io::FileIdentity{}), fs::last_write_time(path),
            testkit::ReadBytes(path)};
}

TEST_F(CliTargets, CompactRewritesOnceThenLeavesTheArchiveAlone) {
    ASSERT_EQ(Run({"resource", "delete", "menu-model-roc"}).exitCode, 0);
    const ArchiveState holed = StateOf(Patch());

    const testkit::ProgramResult first = Run({"compact"});
    EXPECT_EQ(first.exitCode, 0) << first.err;
    EXPECT_EQ(Changed(first), "true");
    const ArchiveState compacted = StateOf(Patch());
    EXPECT_FALSE(compacted.identity.SameFile(holed.identity));
    EXPECT_LT(compacted.bytes.size(), holed.bytes.size());

    const testkit::ProgramResult second = Run({"compact"});
    EXPECT_EQ(second.exitCode, 0) << second.err;
    EXPECT_EQ(Changed(second), "false");
    const ArchiveState settled = StateOf(Patch());
    EXPECT_TRUE(settled.identity.SameFile(compacted.identity));
    EXPECT_EQ(settled.modified, compacted.modified);
    EXPECT_EQ(settled.bytes, compacted.bytes);

    // Without --json the run says so in words.
    const testkit::ProgramResult words = testkit::RunProgram(
        OSTRAWEN_CLI, {"--game-dir", testkit::child::PathArgument(GameDir()), "compact"}, m_root.path());
    EXPECT_EQ(words.out, "War3Patch.mpq: unchanged\n");
    if (testkit::HaveSmpq()) {
        EXPECT_EQ(testkit::SmpqExtract(Patch(), "Sound/Music/mp3Music/Mainscreen.mp3"), Music());
    }
}

} // namespace
