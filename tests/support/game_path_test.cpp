#include "support/game_path.h"

#include "support/public_vars.h"
#include "support/text_path.h"
#include "support/utf8_convert.h"
#include "testkit/temp_dir.h"

#include <gtest/gtest.h>

namespace fs = std::filesystem;
using testkit::TempDir;

namespace {

std::u16string Dir(const fs::path& path) {
    return TextFromPath(path) + u"/";
}

// A program directory, a game directory and a Wine prefix of their own for each test.
class GamePathTest : public testing::Test {
protected:
    GamePathTest() : m_prefixEnv("WINEPREFIX", (m_root / "prefix").string()) {
        fs::create_directories(m_root / "prefix" / "dosdevices" / "d:");
        fs::create_directories(m_root / "app");
        fs::create_directories(m_root / "game");
        testkit::WriteFile(m_root / "game" / "war3.exe", "MZ");
    }

    void SetInstallPath(const std::string& valueLine) {
        testkit::WriteFile(m_root / "prefix" / "user.reg",
                           "WINE REGISTRY Version 2\n;; All keys relative to \\\\User\\\\S-1-5-21-0-0-0-1000\n\n"
                           "#arch=win32\n\n[Software\\\\Blizzard Entertainment\\\\Warcraft III] 1700000000\n"
                           "#time=1da0000000000000\n" +
                               valueLine + "\n");
    }

    void SetWarPath(const std::string& value) {
        testkit::WriteFile(m_root / "app" / "PD_Set.ini", "[War3Main]\r\nWarPath=" + value + "\r\n");
    }

    GamePathDecision Decide() { return DecideGamePath(Dir(m_root / "app")); }
    fs::path Root() const { return m_root.path(); }

    TempDir m_root;
    testkit::ScopedEnv m_prefixEnv;
};

TEST_F(GamePathTest, OwnDirectoryWinsOverRegistryAndSettings) {
    testkit::WriteFile(m_root / "app" / "War3.EXE", "MZ");
    SetInstallPath("\"InstallPath\"=\"D:\\\\Elsewhere\"");
    SetWarPath((Root() / "game").string());
    const GamePathDecision decision = Decide();
    EXPECT_EQ(decision.warning, GamePathWarning::None);
    EXPECT_EQ(decision.gamePath, Dir(Root() / "app"));
}

TEST_F(GamePathTest, DirectoryNamedWar3ExeDoesNotMarkTheGame) {
    fs::create_directory(m_root / "app" / "war3.exe");
    EXPECT_EQ(Decide().warning, GamePathWarning::M2);
}

struct RegistryCase {
    const char* name;
    std::string valueLine;
    std::string expectedUnderPrefix; // empty: the registry is not used and M2 follows
};

class RegistryRule : public GamePathTest, public testing::WithParamInterface<RegistryCase> {};

TEST_P(RegistryRule, AcceptsDrivePathsWithoutLookingForTheGame) {
    fs::create_directories(m_root / "prefix" / "dosdevices" / "d:" / "games" / "WARCRAFT III");
    SetInstallPath(GetParam().valueLine);
    const GamePathDecision decision = Decide();
    if (GetParam().expectedUnderPrefix.empty()) {
        EXPECT_EQ(decision.warning, GamePathWarning::M2);
    } else {
        EXPECT_EQ(decision.warning, GamePathWarning::None);
        EXPECT_EQ(decision.gamePath,
                  TextFromPath(Root() / "prefix") + modUtf8Convert::Utf8ToText(GetParam().expectedUnderPrefix));
    }
}

INSTANTIATE_TEST_SUITE_P(
    Values, RegistryRule,
    testing::Values(RegistryCase{"MissingDirectoryAcceptedAsWritten", "\"InstallPath\"=\"D:\\\\Old\\\\Warcraft III\"",
                                 "/dosdevices/d:/Old/Warcraft III/"},
                    RegistryCase{"ComponentsMatchedIgnoringCase", "\"InstallPath\"=\"d:\\\\Games\\\\Warcraft III\"",
                                 "/dosdevices/d:/games/WARCRAFT III/"},
                    RegistryCase{"TrailingBackslashGivesOneSeparator",
                                 "\"InstallPath\"=\"D:\\\\Games\\\\Warcraft III\\\\\"",
                                 "/dosdevices/d:/games/WARCRAFT III/"},
                    RegistryCase{"BlanksAroundTrimmed", "\"InstallPath\"=\"  D:\\\\Games\\\\Warcraft III  \"",
                                 "/dosdevices/d:/games/WARCRAFT III/"},
                    RegistryCase{"ValueNameIgnoresCase", "\"installpath\"=\"D:\\\\X\"", "/dosdevices/d:/X/"},
                    RegistryCase{"NoDriveNotAccepted", "\"InstallPath\"=\"Warcraft III\"", ""},
                    RegistryCase{"NetworkPathNotAccepted", "\"InstallPath\"=\"\\\\\\\\server\\\\share\"", ""},
                    RegistryCase{"NumberNotAccepted", "\"InstallPath\"=dword:00000201", ""},
                    RegistryCase{"OtherValueOnly", "\"Program\"=\"D:\\\\X\"", ""}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(GamePathTest, ExpandableRegistryStringIsExpandedFirst) {
    testkit::ScopedEnv programFiles("ProgramFiles", "/usr/lib"); // this system's means nothing in the prefix
    SetInstallPath("\"InstallPath\"=str(2):\"%ProgramFiles%\\\\War3\"");
    const GamePathDecision decision = Decide();
    EXPECT_EQ(decision.warning, GamePathWarning::None);
    EXPECT_EQ(decision.gamePath, TextFromPath(Root() / "prefix") + u"/dosdevices/c:/Program Files/War3/");
}

TEST_F(GamePathTest, RegistryWinsOverSettingsFile) {
    SetInstallPath("\"InstallPath\"=\"D:\\\\X\"");
    SetWarPath("/nowhere");
    EXPECT_EQ(Decide().warning, GamePathWarning::None);
}

TEST_F(GamePathTest, SettingsFileNamingTheGameDecides) {
    SetWarPath("  " + (Root() / "game").string() + "  ");
    const GamePathDecision decision = Decide();
    EXPECT_EQ(decision.warning, GamePathWarning::None);
    EXPECT_EQ(decision.gamePath, Dir(Root() / "game"));
}

TEST_F(GamePathTest, SettingsFileWindowsPathIsTranslatedIntoThePrefix) {
    fs::create_directories(m_root / "prefix" / "dosdevices" / "d:" / "War3");
    testkit::WriteFile(m_root / "prefix" / "dosdevices" / "d:" / "War3" / "WAR3.exe", "MZ");
    SetWarPath("D:\\war3\\");
    const GamePathDecision decision = Decide();
    EXPECT_EQ(decision.warning, GamePathWarning::None);
    EXPECT_EQ(decision.gamePath, TextFromPath(Root() / "prefix") + u"/dosdevices/d:/War3/");
}

TEST_F(GamePathTest, SettingsFileNameMatchedIgnoringCase) {
    testkit::WriteFile(m_root / "app" / "pd_set.INI", "[War3Main]\nWarPath=" + (Root() / "game").string() + "\n");
    EXPECT_EQ(Decide().gamePath, Dir(Root() / "game"));
}

struct WrongSettings {
    const char* name;
    std::string file;
};

class SettingsWarning : public GamePathTest, public testing::WithParamInterface<WrongSettings> {};

TEST_P(SettingsWarning, WrongOrMissingWarPathGivesM1) {
    testkit::WriteFile(m_root / "app" / "PD_Set.ini", GetParam().file);
    const GamePathDecision decision = Decide();
    EXPECT_EQ(decision.warning, GamePathWarning::M1);
    EXPECT_TRUE(decision.gamePath.empty());
}

INSTANTIATE_TEST_SUITE_P(Files, SettingsWarning,
                         testing::Values(WrongSettings{"DirectoryWithoutGame", "[War3Main]\nWarPath=/tmp\n"},
                                         WrongSettings{"MissingKey", "[War3Main]\nOther=1\n"},
                                         WrongSettings{"EmptyValue", "[War3Main]\nWarPath=\n"},
                                         WrongSettings{"EmptyFile", ""},
                                         WrongSettings{"MissingDrive", "[War3Main]\nWarPath=Q:\\nothing\n"}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(GamePathTest, NothingFoundGivesM2) {
    const GamePathDecision decision = Decide();
    EXPECT_EQ(decision.warning, GamePathWarning::M2);
}

TEST_F(GamePathTest, GarbageRegistryFileFallsThrough) {
    testkit::WriteFile(m_root / "prefix" / "user.reg", std::string("\x00\xFF[Software\\\\Blizzard", 22));
    SetWarPath((Root() / "game").string());
    EXPECT_EQ(Decide().gamePath, Dir(Root() / "game"));
}

TEST(GamePathWarningText, ExactTexts) {
    EXPECT_EQ(GamePathWarningText(GamePathWarning::M1),
              u"Pellidor 中的 魔兽争霸III 安装目录设置不正确。\r\n请重新在 Pellidor 中设置或将本程序放在 魔兽争霸III "
              u"安装目录下使用。");
    EXPECT_EQ(GamePathWarningText(GamePathWarning::M2),
              u"请把本程序放在 Pellidor 目录下，或者放在 魔兽争霸III 安装目录下，再运行本程序才可使用！");
    EXPECT_EQ(GamePathWarningText(GamePathWarning::None), u"");
}

struct NormaliseCase {
    const char* name;
    std::u16string input;
    std::u16string expected;
};

class Normalise : public testing::TestWithParam<NormaliseCase> {};

TEST_P(Normalise, TrimsAppendsAndCollapsesPairsOnce) {
    EXPECT_EQ(NormaliseGamePath(GetParam().input), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(Paths, Normalise,
                         testing::Values(NormaliseCase{"NoSeparator", u"/g/Warcraft III", u"/g/Warcraft III/"},
                                         NormaliseCase{"OneSeparator", u"/g/Warcraft III/", u"/g/Warcraft III/"},
                                         NormaliseCase{"Blanks", u"  /g/w3  ", u"/g/w3/"},
                                         NormaliseCase{"TwoBecomeTwo", u"/g/w3//", u"/g/w3//"},
                                         NormaliseCase{"LeadingPair", u"//g", u"/g/"},
                                         NormaliseCase{"Empty", u"", u"/"}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(GetAppPath, IsTheTestProgramsDirectory) {
    const std::u16string appPath = modPublicVars::GetAppPath();
    ASSERT_FALSE(appPath.empty());
    EXPECT_EQ(appPath.back(), u'/');
    EXPECT_TRUE(fs::exists(PathFromText(appPath) / "support_tests"));
}

// Through a link in the game directory, by path or as a bare name on the PATH (past a file that cannot
// run), the game is found there, the program's own directory second; a path to another file counts for
// nothing, and once forgotten the program's own directory is first again.
TEST_F(GamePathTest, StartedThroughALinkInTheGameFindsTheGameThere) {
    const fs::path self = fs::read_symlink("/proc/self/exe");
    fs::create_symlink(self, m_root / "game" / "ostrawen");
    testkit::WriteFile(m_root / "app" / "ostrawen", "cannot run");
    const std::string app = (Root() / "app").string(), game = (Root() / "game").string();
    const std::tuple<std::string, std::string, bool> starts[] = {
        {game + "/ostrawen", "", true},
        {"ostrawen", app + ":" + game, true},
        {app + "/ostrawen", "", false},
    };
    for (const auto& [argv0, searchPath, throughTheLink] : starts) {
        SCOPED_TRACE(argv0 + " on PATH " + searchPath);
        testkit::ScopedEnv path("PATH", searchPath);
        modPublicVars::RecordStartPath(argv0.c_str());
        std::vector<std::u16string> expected{Dir(self.parent_path())};
        if (throughTheLink)
            expected.insert(expected.begin(), Dir(Root() / "game"));
        EXPECT_EQ(modPublicVars::GetAppPaths(), expected);
        EXPECT_EQ(FindGamePath().gamePath, throughTheLink ? Dir(Root() / "game") : u"");
    }
    modPublicVars::RecordStartPath(nullptr);
    EXPECT_EQ(modPublicVars::GetAppPaths().front(), Dir(self.parent_path()));
    // A place without war3.exe passes to the next, whose war3.exe counts before the first one's settings.
    SetWarPath((Root() / "nowhere").string());
    EXPECT_EQ(DecideGamePath({Dir(Root() / "app"), Dir(Root() / "game")}).gamePath, Dir(Root() / "game"));
}

} // namespace
