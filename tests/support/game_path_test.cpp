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

TEST_F(GamePathTest, ExpandableRegistryStringIsExpandedInThePrefix) {
    // A win64 prefix shows the 32-bit game the x86 folder; this system's ProgramFiles means nothing there.
    testkit::WriteFile(m_root / "prefix" / "system.reg",
                       "WINE REGISTRY Version 2\n;; All keys relative to \\\\Machine\n\n"
                       "#arch=win64\n");
    testkit::ScopedEnv programFiles("ProgramFiles", "/usr/lib");
    SetInstallPath("\"InstallPath\"=str(2):\"%ProgramFiles%\\\\Warcraft III\"");
    const GamePathDecision decision = Decide();
    EXPECT_EQ(decision.warning, GamePathWarning::None);
    EXPECT_EQ(decision.gamePath, TextFromPath(Root() / "prefix") + u"/dosdevices/c:/Program Files (x86)/Warcraft III/");
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

} // namespace

namespace {

// --- Where the program stands ---

// <root>/opt/ostrawen is the program; <root>/game/ostrawen links to it; <root>/other/ostrawen is
// another program and <root>/noexec/ostrawen a file that cannot be run.
class StartPathTest
    : public testing::TestWithParam<std::tuple<const char*, std::string, std::string, std::string, std::string>> {
protected:
    StartPathTest() {
        for (const char* directory : {"opt", "game", "other", "noexec"})
            fs::create_directories(m_root / directory);
        testkit::WriteFile(m_root / "opt" / "ostrawen", "ELF");
        testkit::WriteFile(m_root / "other" / "ostrawen", "ELF");
        testkit::WriteFile(m_root / "noexec" / "ostrawen", "ELF");
        fs::permissions(m_root / "opt" / "ostrawen", fs::perms::owner_all);
        fs::permissions(m_root / "other" / "ostrawen", fs::perms::owner_all);
        fs::permissions(m_root / "noexec" / "ostrawen", fs::perms::owner_read | fs::perms::owner_write);
        fs::create_symlink(m_root / "opt" / "ostrawen", m_root / "game" / "ostrawen");
    }

    // "@" stands for the root directory.
    std::string Rooted(std::string text) const {
        for (std::size_t at = text.find('@'); at != std::string::npos; at = text.find('@', at))
            text.replace(at, 1, m_root.path().string());
        return text;
    }

    TempDir m_root;
};

TEST_P(StartPathTest, FindsThePathTheProgramWasStartedThrough) {
    const auto& [name, argv0, workingDirectory, searchPath, expected] = GetParam();
    const auto started = modPublicVars::StartedThrough(Rooted(argv0), m_root / workingDirectory, Rooted(searchPath),
                                                       m_root / "opt" / "ostrawen");
    if (expected.empty())
        EXPECT_EQ(started, std::nullopt);
    else
        EXPECT_EQ(started, std::optional<fs::path>(m_root / expected));
}

INSTANTIATE_TEST_SUITE_P(
    Argv0, StartPathTest,
    testing::Values(
        std::make_tuple("AbsoluteLink", "@/game/ostrawen", "", "", "game/ostrawen"),
        std::make_tuple("RelativeLink", "./ostrawen", "game", "", "game/ostrawen"),
        std::make_tuple("RelativeWithParent", "../game/ostrawen", "opt", "", "game/ostrawen"),
        std::make_tuple("ResolvedFileItself", "@/opt/ostrawen", "", "", "opt/ostrawen"),
        std::make_tuple("BareNameFirstPathEntryWins", "ostrawen", "", "@/missing:@/game:@/opt", "game/ostrawen"),
        std::make_tuple("BareNameSkipsAFileThatCannotRun", "ostrawen", "", "@/noexec:@/game", "game/ostrawen"),
        std::make_tuple("EmptyPathEntryIsTheWorkingDirectory", "ostrawen", "game", "/nonexistent::", "game/ostrawen"),
        std::make_tuple("BareNameFindsAnotherProgramFirst", "ostrawen", "", "@/other:@/game", ""),
        std::make_tuple("BareNameNotOnPath", "ostrawen", "", "@/missing", ""),
        std::make_tuple("PathToAnotherProgram", "@/other/ostrawen", "", "", ""),
        std::make_tuple("PathToNothing", "@/game/none", "", "", ""), std::make_tuple("Empty", "", "", "@/game", "")),
    [](const auto& info) { return std::string(std::get<0>(info.param)); });

struct PlacesCase {
    const char* name;
    bool war3BesideLink;
    bool war3BesideProgram;
    const char* settingsBesideLink;    // "", "good" (names the game) or "bad"
    const char* settingsBesideProgram; // the same
    const char* decided;               // "link", "program", "game", "M1" or "M2"
};

void PrintTo(const PlacesCase& c, std::ostream* os) {
    *os << c.name;
}

class AppPlacesTest : public GamePathTest, public testing::WithParamInterface<PlacesCase> {};

TEST_P(AppPlacesTest, TheLinksDirectoryCountsFirst) {
    const PlacesCase& c = GetParam();
    fs::create_directories(m_root / "link");
    const auto place = [&](const char* directory, bool war3, const std::string& settings) {
        if (war3)
            testkit::WriteFile(m_root / directory / "war3.exe", "MZ");
        if (!settings.empty()) {
            const fs::path named = settings == "good" ? Root() / "game" : Root() / "nowhere";
            testkit::WriteFile(m_root / directory / "PD_Set.ini", "[War3Main]\r\nWarPath=" + named.string() + "\r\n");
        }
    };
    place("link", c.war3BesideLink, c.settingsBesideLink);
    place("app", c.war3BesideProgram, c.settingsBesideProgram);

    const GamePathDecision decision = DecideGamePath({Dir(m_root / "link"), Dir(m_root / "app")});
    const std::string decided = c.decided;
    if (decided == "M1" || decided == "M2") {
        EXPECT_EQ(decision.warning, decided == "M1" ? GamePathWarning::M1 : GamePathWarning::M2);
        return;
    }
    EXPECT_EQ(decision.warning, GamePathWarning::None);
    const char* directory = decided == "link" ? "link" : decided == "program" ? "app" : "game";
    EXPECT_EQ(decision.gamePath, Dir(Root() / directory));
}

INSTANTIATE_TEST_SUITE_P(Places, AppPlacesTest,
                         testing::Values(PlacesCase{"War3BesideBothTakesTheLinks", true, true, "", "", "link"},
                                         PlacesCase{"War3BesideTheLinkOnly", true, false, "", "", "link"},
                                         PlacesCase{"War3BesideTheProgramOnly", false, true, "", "", "program"},
                                         PlacesCase{"War3BeforeAnySettings", false, true, "good", "", "program"},
                                         PlacesCase{"SettingsBesideTheLink", false, false, "good", "", "game"},
                                         PlacesCase{"SettingsBesideTheProgram", false, false, "", "good", "game"},
                                         PlacesCase{"TheLinksSettingsDecideFirst", false, false, "bad", "good", "M1"},
                                         PlacesCase{"NothingAnywhere", false, false, "", "", "M2"}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(GetAppPaths, StartedThroughALinkLooksBesideTheLinkFirst) {
    TempDir linkDir;
    const fs::path self = fs::read_symlink("/proc/self/exe");
    fs::create_symlink(self, linkDir / "ostrawen");
    const std::vector<std::u16string> expected = {Dir(linkDir.path()), Dir(self.parent_path())};

    modPublicVars::RecordStartPath((linkDir / "ostrawen").c_str());
    const auto byPath = modPublicVars::GetAppPaths();
    std::vector<std::u16string> byName;
    {
        testkit::ScopedEnv path("PATH", (linkDir.path() / "missing").string() + ":" + linkDir.path().string());
        modPublicVars::RecordStartPath("ostrawen");
        byName = modPublicVars::GetAppPaths();
    }
    modPublicVars::RecordStartPath(nullptr);
    EXPECT_EQ(byPath, expected);
    EXPECT_EQ(byName, expected);
    EXPECT_EQ(modPublicVars::GetAppPaths().front(), Dir(self.parent_path()));
}

} // namespace
