// The Linux command line and the Windows one under Wine on one archive, as a player may run both: an
// operation holding the archive on either side keeps the other side's command out ("locked") until
// it ends, and when both write at once every write stays and the archive stays whole. The Windows
// programs come from the Windows build (WINDOWS_CLI, WINDOWS_LOCK_HOLDER), run by WINE_RUN in that
// build's Wine prefix.
#include "../mods/game_files.h"
#include "archive/door/archive_lock.h"
#include "testkit/mpq_fixtures.h"
#include "testkit/temp_dir.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <sys/wait.h>
#include <thread>

namespace {

namespace fs = std::filesystem;
using std::chrono::milliseconds;

enum class Side { Linux, Windows };

std::string Quote(std::string word) {
    for (std::size_t at = 0; (at = word.find('\'', at)) != std::string::npos; at += 4)
        word.replace(at, 1, "'\\''");
    return "'" + word + "'";
}

// The name a Windows program under Wine gives a Linux path: "/tmp/a b" -> "Z:\tmp\a b".
std::string WindowsPath(const fs::path& path) {
    std::string text = "Z:" + path.string();
    std::replace(text.begin(), text.end(), '/', '\\');
    return text;
}

std::string OnSide(Side side, const fs::path& path) {
    return side == Side::Linux ? path.string() : WindowsPath(path);
}

// A Windows program under Wine, in the prefix of the build it comes from.
std::string WineCommand(const char* program) {
    return "env -u WINEPREFIX " + Quote(WINE_RUN) + " " + Quote(program);
}

struct Output {
    int exitCode = -1;
    std::string text; // stdout and stderr together, line ends as on Linux
};

// Through a file, not a pipe: wineserver, started by the first Windows program, keeps the stderr it
// inherited open for as long as it runs, so a pipe would not end with the program.
Output RunShell(const std::string& command, const fs::path& outputFile) {
    Output output;
    const int status = std::system((command + " </dev/null >" + Quote(outputFile.string()) + " 2>&1").c_str());
    output.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    const std::vector<std::uint8_t> bytes = testkit::ReadFile(outputFile);
    output.text.assign(bytes.begin(), bytes.end());
    std::erase(output.text, '\r');
    return output;
}

// A Windows operation stopped in its middle: the holder program keeps the archive's lock until
// released (or gone out of scope).
class WindowsHolder {
public:
    WindowsHolder(const fs::path& archive, const fs::path& release) : m_release(release) {
        m_errors = release;
        m_errors += ".err";
        const std::string command = WineCommand(WINDOWS_LOCK_HOLDER) + " " + Quote(WindowsPath(archive)) + " " +
                                    Quote(WindowsPath(release)) + " </dev/null 2>" + Quote(m_errors.string());
        m_pipe = ::popen(command.c_str(), "r");
        char line[64];
        if (m_pipe != nullptr && std::fgets(line, sizeof line, m_pipe) != nullptr)
            m_said = line;
        std::erase(m_said, '\r');
        std::erase(m_said, '\n');
    }
    ~WindowsHolder() { Release(); }
    WindowsHolder(const WindowsHolder&) = delete;
    WindowsHolder& operator=(const WindowsHolder&) = delete;

    const std::string& said() const { return m_said; }
    // What it or Wine wrote to stderr.
    std::string errors() const {
        const std::vector<std::uint8_t> bytes = testkit::ReadFile(m_errors);
        return std::string(bytes.begin(), bytes.end());
    }
    // Lets it end; its exit code.
    int Release() {
        if (m_pipe != nullptr) {
            testkit::WriteFile(m_release, "");
            const int status = ::pclose(m_pipe);
            m_pipe = nullptr;
            m_exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        }
        return m_exitCode;
    }

private:
    fs::path m_release;
    fs::path m_errors;
    FILE* m_pipe = nullptr;
    std::string m_said;
    int m_exitCode = -1;
};

// A game directory with War3Patch.mpq (GAMENAME "Host", menu music of 5000 bytes), and both
// command lines on it.
class WineLockTest : public ::testing::Test {
protected:
    void SetUp() override {
        for (const char* program : {WINDOWS_CLI, WINDOWS_LOCK_HOLDER})
            ASSERT_TRUE(fs::exists(program)) << program << " is missing: build the Windows build first";
        fs::create_directories(GameDir());
        testkit::BuildArchive(Patch(), {{u"UI\\FrameDef\\GlobalStrings.fdf", modstest::GlobalStringsFile("Host")},
                                        {u"UI\\war3skins.txt", modstest::War3SkinsFile("Human")},
                                        {kMusic, testkit::PatternBytes(5000, 7)}});
    }
    fs::path GameDir() const { return m_root / "Warcraft III"; }
    fs::path Patch() const { return GameDir() / "War3Patch.mpq"; }

    Output Cli(Side side, const std::vector<std::string>& arguments) const {
        std::string command = side == Side::Linux ? Quote(OSTRAWEN_CLI) : WineCommand(WINDOWS_CLI);
        command += " --game-dir " + Quote(OnSide(side, GameDir()));
        for (const std::string& argument : arguments)
            command += " " + Quote(argument);
        return RunShell(command, m_root / ("output-" + std::to_string(++m_outputs) + ".txt"));
    }

    static constexpr const char16_t* kMusic = u"Sound\\Music\\mp3Music\\Mainscreen.mp3";
    testkit::TempDir m_root;
    mutable std::atomic<int> m_outputs = 0; // both sides run commands at once
};

Side Other(Side side) {
    return side == Side::Linux ? Side::Windows : Side::Linux;
}

// --- A lock held on one side, the other side's command meanwhile ---

struct HeldCase {
    const char* name;
    Side holder;
    std::vector<std::string> command; // run on the other side
    int exitWhileHeld;
    std::string whileHeld; // what its output holds then, and no longer once the holder has let go
};

void PrintTo(const HeldCase& row, std::ostream* out) {
    *out << row.name;
}

class HeldLock : public WineLockTest, public ::testing::WithParamInterface<HeldCase> {};

TEST_P(HeldLock, KeepsTheOtherSideOutUntilReleased) {
    const HeldCase& row = GetParam();
    const auto before = testkit::ReadFile(Patch());
    std::unique_ptr<archive_lock::ArchiveLock> linuxLock;
    std::optional<WindowsHolder> windowsHolder;
    if (row.holder == Side::Linux) {
        archive_lock::LockStatus status = archive_lock::LockStatus::Failed;
        linuxLock =
            archive_lock::ArchiveLock::Acquire(Patch(), *archive_io::IdentityOf(Patch()), milliseconds(0), status);
        ASSERT_EQ(status, archive_lock::LockStatus::Held);
    } else {
        windowsHolder.emplace(Patch(), m_root / "release");
        ASSERT_EQ(windowsHolder->said(), "held") << windowsHolder->errors();
    }
    const Output held = Cli(Other(row.holder), row.command);
    EXPECT_EQ(held.exitCode, row.exitWhileHeld) << held.text;
    EXPECT_NE(held.text.find(row.whileHeld), std::string::npos) << held.text;
    EXPECT_EQ(testkit::ReadFile(Patch()), before) << "the archive changed under the lock";

    linuxLock.reset();
    if (windowsHolder) {
        EXPECT_EQ(windowsHolder->Release(), 0);
    }
    const Output after = Cli(Other(row.holder), row.command);
    EXPECT_EQ(after.exitCode, 0) << after.text;
    EXPECT_EQ(after.text.find(row.whileHeld), std::string::npos) << after.text;
}

// clang-format off
const HeldCase kHeldCases[] = {
    {"LinuxHoldsWindowsStatus", Side::Linux, {"--json", "status"}, 0, R"("locked")"},
    {"LinuxHoldsWindowsWrite", Side::Linux, {"--lock-wait", "2", "lan-name", "set", "Waited"}, 4,
     "locked by another operation; try again\n"},
    {"WindowsHoldsLinuxStatus", Side::Windows, {"--json", "status"}, 0, R"("locked")"},
    {"WindowsHoldsLinuxWrite", Side::Windows, {"--lock-wait", "2", "lan-name", "set", "Waited"}, 4,
     "locked by another operation; try again\n"},
};
// clang-format on

INSTANTIATE_TEST_SUITE_P(Sides, HeldLock, ::testing::ValuesIn(kHeldCases),
                         [](const auto& info) { return std::string(info.param.name); });

// --- Both sides writing at once ---

// One side sets the LAN name again and again while the other replaces the menu music (and, in a
// row, compacts after each replacement); each goes on until both have done kRounds, so that the two
// overlap from start to end. Every command must succeed (the lock makes each wait its turn), and
// the archive holds each side's last write, readable by both sides and by StormLib's smpq.
struct TogetherCase {
    const char* name;
    Side namer;
    bool compacts;
};

void PrintTo(const TogetherCase& row, std::ostream* out) {
    *out << row.name;
}

class BothWriting : public WineLockTest, public ::testing::WithParamInterface<TogetherCase> {};

constexpr int kRounds = 5;

TEST_P(BothWriting, EveryWriteStays) {
    const TogetherCase& row = GetParam();
    const Side musician = Other(row.namer);
    std::atomic<int> rounds[2] = {0, 0}; // the namer's, the musician's
    std::mutex failuresMutex;
    std::vector<std::string> failures;
    const auto run = [&](Side side, const std::vector<std::string>& arguments) {
        const Output output = Cli(side, arguments);
        if (output.exitCode != 0) {
            const std::lock_guard hold(failuresMutex);
            failures.push_back((side == Side::Linux ? "Linux: " : "Windows: ") + output.text);
        }
    };
    const auto bothDone = [&] { return rounds[0] >= kRounds && rounds[1] >= kRounds; };
    std::string lastName;
    std::vector<std::uint8_t> lastMusic;
    std::thread namer([&] {
        for (int round = 0; !bothDone(); ++round) {
            lastName = "Name " + std::to_string(round);
            run(row.namer, {"lan-name", "set", lastName});
            ++rounds[0];
            // A pause between writes lets the other side's wait for the lock find it free.
            std::this_thread::sleep_for(milliseconds(100));
        }
    });
    for (int round = 0; !bothDone(); ++round) {
        // Large enough that a write takes a while, different each round.
        lastMusic = testkit::PatternBytes(400000 + round, static_cast<std::uint32_t>(round + 1));
        const fs::path source = m_root / ("music-" + std::to_string(round) + ".mp3");
        testkit::WriteFile(source, lastMusic);
        run(musician, {"resource", "replace", "menu-music-roc", OnSide(musician, source)});
        if (row.compacts)
            run(musician, {"compact"});
        ++rounds[1];
        std::this_thread::sleep_for(milliseconds(100));
    }
    namer.join();
    EXPECT_TRUE(failures.empty()) << failures.size() << " commands failed, the first: " << failures.front();

    for (Side side : {Side::Linux, Side::Windows}) {
        const Output name = Cli(side, {"lan-name", "get"});
        EXPECT_EQ(name.text, lastName + "\n") << (side == Side::Linux ? "Linux" : "Windows");
    }
    const fs::path extracted = m_root / "extracted.mp3";
    EXPECT_EQ(Cli(Side::Linux, {"resource", "extract", "menu-music-roc", extracted.string()}).exitCode, 0);
    EXPECT_EQ(testkit::ReadFile(extracted), lastMusic);
    if (testkit::HaveSmpq()) {
        EXPECT_TRUE(testkit::SmpqList(Patch()).has_value()) << "smpq cannot read the archive";
        EXPECT_EQ(testkit::SmpqExtract(Patch(), "Sound\\Music\\mp3Music\\Mainscreen.mp3"), lastMusic);
    }
    // No operation left anything behind but the lock file.
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(GameDir()))
        names.push_back(entry.path().filename().string());
    std::sort(names.begin(), names.end());
    EXPECT_EQ(names, (std::vector<std::string>{"War3Patch.mpq", "War3Patch.mpq-lock"}));
}

INSTANTIATE_TEST_SUITE_P(Sides, BothWriting,
                         ::testing::Values(TogetherCase{"LinuxNamesWindowsReplacesMusic", Side::Linux, false},
                                           TogetherCase{"WindowsNamesLinuxReplacesMusic", Side::Windows, false},
                                           TogetherCase{"LinuxNamesWindowsReplacesMusicAndCompacts", Side::Linux,
                                                        true}),
                         [](const auto& info) { return std::string(info.param.name); });

} // namespace
