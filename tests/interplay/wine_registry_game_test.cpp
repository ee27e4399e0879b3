// The game found as a player's Wine has it: the installer wrote its directory into the registry of
// the Wine prefix (here reg.exe, in a prefix of the test's own). ostrawen-cli.exe under that Wine
// finds it through the registry calls, and the Linux command line, which reads the same prefix's
// registry files itself, finds the same directory.
#include "../mods/game_files.h"
#include "testkit/mpq_fixtures.h"
#include "testkit/program_run.h"
#include "testkit/temp_dir.h"

#include <gtest/gtest.h>

#include <algorithm>

namespace {

namespace fs = std::filesystem;

TEST(WineRegistryGame, BothCommandLinesFindTheGameThroughTheRegistry) {
    testkit::TempDir dir;
    const fs::path game = dir / "Games" / "Warcraft III";
    fs::create_directories(game);
    testkit::WriteFile(game / "war3.exe", "MZ");
    testkit::BuildArchive(game / "War3Patch.mpq",
                          {{u"UI\\FrameDef\\GlobalStrings.fdf", modstest::GlobalStringsFile("Found by the registry")}});
    const fs::path prefix = dir / "prefix";
    const testkit::ScopedEnv wineprefix("WINEPREFIX", prefix.string());
    const testkit::ScopedEnv home("HOME", dir.path().string());
    std::string windowsGame = "Z:" + game.string();
    std::replace(windowsGame.begin(), windowsGame.end(), '/', '\\');

    const testkit::ProgramResult added =
        testkit::RunProgram(WINE_RUN,
                            {"reg", "add", "HKCU\\Software\\Blizzard Entertainment\\Warcraft III", "/v", "InstallPath",
                             "/t", "REG_SZ", "/d", windowsGame, "/f"},
                            dir.path());
    ASSERT_EQ(added.exitCode, 0) << added.out << added.err;
    // Wine writes its registry files when its server ends (three seconds after the last program).
    testkit::RunProgram("/usr/lib/wine/wineserver64", {"-w"}, dir.path());
    ASSERT_TRUE(fs::exists(prefix / "user.reg"));

    const testkit::ProgramResult windows = testkit::RunProgram(WINE_RUN, {WINDOWS_CLI, "--json", "status"}, dir.path());
    EXPECT_EQ(windows.exitCode, 0) << windows.err;
    EXPECT_NE(windows.out.find(R"("foundBy":"registry")"), std::string::npos) << windows.out;
    std::string escaped;
    for (const char c : windowsGame)
        escaped += c == '\\' ? std::string("\\\\") : std::string(1, c);
    EXPECT_NE(windows.out.find(R"("gameDir":")" + escaped), std::string::npos) << windows.out;
    EXPECT_NE(windows.out.find(R"("gameName":"Found by the registry")"), std::string::npos) << windows.out;

    const testkit::ProgramResult linux = testkit::RunProgram(OSTRAWEN_CLI, {"--json", "status"}, dir.path());
    EXPECT_EQ(linux.exitCode, 0) << linux.err;
    EXPECT_NE(linux.out.find(R"("foundBy":"registry")"), std::string::npos) << linux.out;
    EXPECT_NE(linux.out.find(R"("gameName":"Found by the registry")"), std::string::npos) << linux.out;
    testkit::RunProgram("/usr/lib/wine/wineserver64", {"-k"}, dir.path());
}

} // namespace
