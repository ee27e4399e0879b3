// ostrawen-cli as a POSIX shell runs it: standard input and output redirected, the locale set in the
// command's own environment.
#include "shell.h"
#include "testkit/mpq_fixtures.h"
#include "testkit/temp_dir.h"

#include <gtest/gtest.h>

#include <string>

namespace clitest {
namespace {
using package_test::Quoted;
using package_test::Shell;

class CliShellTest : public testing::Test {
protected:
    CliShellTest() {
        std::filesystem::create_directories(m_root / "game");
        testkit::WriteFile(m_root / "game" / "war3.exe", "MZ");
        testkit::BuildArchive(Archive(), {{u"Fonts\\FRIZQT__.TTF", testkit::PatternBytes(2000, 3)}});
        testkit::WriteFile(m_root / "font.ttf", testkit::PatternBytes(3000, 11));
    }
    std::filesystem::path Archive() const { return m_root / "game" / "War3Patch.mpq"; }
    // The command line run in the test's directory with `tail` after its arguments (redirections);
    // HOME and WINEPREFIX point where no game is, and the locale says English unless `environment` says otherwise.
    package_test::Output Cli(const std::string& arguments, const std::string& tail = "",
                             const std::string& environment = "LANG=C.UTF-8") const {
        // In a subshell, so that the stderr the runner captures is not redirected along with stdout.
        return Shell("(cd " + Quoted(m_root.path().string()) + " && env -u LC_ALL -u LC_MESSAGES HOME=. " +
                     "WINEPREFIX=./none " + environment + " " + Quoted(OSTRAWEN_CLI) + " " + arguments + " " + tail +
                     ")");
    }
    std::string GameDir() const { return "--game-dir " + Quoted((m_root / "game").string()) + " "; }

    testkit::TempDir m_root;
};

struct StdinCase {
    const char* name;
    std::string input;  // the shell's redirection into standard input
    std::string output; // stdout and stderr
    int exitCode;
    bool stored; // the archive's font-en is then font.ttf's bytes
};
class CliStdinTest : public CliShellTest, public testing::WithParamInterface<StdinCase> {};
// "-" reads all of standard input, as a file would be read, and finds identical bytes unchanged.
TEST_P(CliStdinTest, ReplaceFromStandardInput) {
    const StdinCase& row = GetParam();
    const auto before = testkit::ReadFile(Archive());
    const package_test::Output run = Cli(GameDir() + "resource replace font-en -", row.input);
    EXPECT_EQ(run.exitCode, row.exitCode) << run.text;
    EXPECT_EQ(run.text, row.output);
    const package_test::Output extracted = Cli(GameDir() + "resource extract font-en -", "| cmp - font.ttf");
    EXPECT_EQ(extracted.exitCode == 0, row.stored) << extracted.text;
    EXPECT_EQ(testkit::ReadFile(Archive()) != before, row.stored);
}
// clang-format off
const StdinCase kStdinCases[] = {
    {"FromAFile", "< font.ttf", "War3Patch.mpq: font-en replaced from standard input\n", 0, true},
    {"ThroughAPipe", "< font.ttf | cat; cat font.ttf | " + std::string(OSTRAWEN_CLI) + " --game-dir game resource "
     "replace font-en -", "War3Patch.mpq: font-en replaced from standard input\nWar3Patch.mpq: unchanged\n", 0, true},
    {"Unreadable", "<&-", "ostrawen-cli: cannot read standard input: Bad file descriptor\n", 1, false},
};
// clang-format on
INSTANTIATE_TEST_SUITE_P(Rows, CliStdinTest, testing::ValuesIn(kStdinCases),
                         [](const auto& info) { return std::string(info.param.name); });

struct OutputCase {
    const char* name;
    std::string arguments;
    int exitCode;
};
class CliFullOutputTest : public CliShellTest, public testing::WithParamInterface<OutputCase> {};
// Output nobody can read is a failure the script must see, with the system's reason.
TEST_P(CliFullOutputTest, WriteErrorOnStandardOutput) {
    const package_test::Output run = Cli(GameDir() + GetParam().arguments, "> /dev/full");
    EXPECT_EQ(run.exitCode, GetParam().exitCode);
    EXPECT_NE(run.text.find("ostrawen-cli: cannot write standard output: No space left on device\n"), std::string::npos)
        << run.text;
}
const OutputCase kOutputCases[] = {
    {"Status", "status", 1},
    {"Json", "--json resource list", 1},
    {"Version", "--version", 1},
    {"Extract", "resource extract font-en -", 1},
    {"UsageKeepsItsCode", "--json cursor set elf", 2},
};
INSTANTIATE_TEST_SUITE_P(Rows, CliFullOutputTest, testing::ValuesIn(kOutputCases),
                         [](const auto& info) { return std::string(info.param.name); });

// A person with a Chinese locale, in a directory without the game, reads why in Chinese.
TEST_F(CliShellTest, ChineseStatusWithoutAGame) {
    const package_test::Output run = Cli("status", "", "LANG=zh_CN.UTF-8");
    EXPECT_EQ(run.exitCode, 3);
    EXPECT_EQ(run.text, "ostrawen-cli: 未找到游戏目录（程序旁和注册表的安装路径中都没有 war3.exe，也没有 PD_Set.ini）；"
                        "请使用 --game-dir\n");
}

} // namespace
} // namespace clitest
