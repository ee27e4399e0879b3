// ostrawen-cli.exe chooses its language by the user's display language; Wine derives that from the
// locale it starts with, so the Linux suite starts the Windows program with LC_ALL set for each row.
#include "shell.h"

#include <gtest/gtest.h>

#include <string>

namespace clitest {
namespace {
using package_test::Quoted;
using package_test::Shell;

struct WineLanguageCase {
    const char* name;
    const char* locale;
    const char* expected; // the stderr line of `cursor set elf`
};
class CliWineLanguageTest : public testing::TestWithParam<WineLanguageCase> {};
TEST_P(CliWineLanguageTest, DisplayLanguageChoosesTheMessages) {
    // Usage is decided before any game directory is looked for, so no game is needed here.
    const package_test::Output run = Shell(std::string("(LC_ALL=") + GetParam().locale + " " + Quoted(WINE_RUN) + " " +
                                           Quoted(WINDOWS_CLI) + " cursor set elf 2>&1 >/dev/null)");
    EXPECT_EQ(run.exitCode, 2) << run.text;
    // Wine may add lines of its own (a locale the machine lacks); the program's line is among them.
    EXPECT_NE(run.text.find(GetParam().expected), std::string::npos) << run.text;
}
// clang-format off
const WineLanguageCase kWineLanguageCases[] = {
    {"SimplifiedChinese", "zh_CN.UTF-8", "ostrawen-cli: 未知种族 elf（human、orc、nightelf 或 undead）\n"},
    {"Singapore", "zh_SG.UTF-8", "ostrawen-cli: 未知种族 elf"},
    {"TraditionalChinese", "zh_TW.UTF-8", "ostrawen-cli: unknown race elf (human, orc, nightelf or undead)\n"},
    {"English", "en_US.UTF-8", "ostrawen-cli: unknown race elf (human, orc, nightelf or undead)\n"},
};
// clang-format on
INSTANTIATE_TEST_SUITE_P(Rows, CliWineLanguageTest, testing::ValuesIn(kWineLanguageCases),
                         [](const auto& info) { return std::string(info.param.name); });

} // namespace
} // namespace clitest
