#include "support/game_path.h"

#include "support/public_vars.h"
#include "support/registry.h"
#include "support/text_path.h"
#include "support/utf8_convert.h"
#include "testkit/child_process.h"
#include "testkit/program_run.h"
#include "testkit/temp_dir.h"
#include "testkit/test_registry.h"

#include <gtest/gtest.h>

#include <cctype>
#include <cstdio>

namespace fs = std::filesystem;
using testkit::RegistryValue;
using testkit::TempDir;

namespace {

constexpr char16_t kSeparator = testkit::kWindows ? u'\\' : u'/';

std::u16string Dir(const fs::path& path) {
    return TextFromPath(path) + kSeparator;
}

// A program directory, a game directory and a registry of their own for each test. Under Wine the
// registry is that of a prefix in the test's directory, whose drive D: exists; Windows has its own
// drives and a registry of the test process's own.
class GamePathTest : public testing::Test {
protected:
    GamePathTest() {
        if (!testkit::kWindows)
            fs::create_directories(m_root / "prefix" / "dosdevices" / "d:");
        fs::create_directories(m_root / "app");
        fs::create_directories(m_root / "game");
        testkit::WriteFile(m_root / "game" / "war3.exe", "MZ");
    }

    void SetInstallPath(const RegistryValue& value, const std::u16string& valueName = u"InstallPath") {
        m_registry.Set(mRegEdit::HKEY_CURRENT_USER_, u"Software\\Blizzard Entertainment\\Warcraft III", valueName,
                       value);
    }

    void SetWarPath(const std::string& value) {
        testkit::WriteFile(m_root / "app" / "PD_Set.ini", "[War3Main]\r\nWarPath=" + value + "\r\n");
    }

    GamePathDecision Decide() { return DecideGamePath(Dir(m_root / "app")); }
    fs::path Root() const { return m_root.path(); }
    // The Wine prefix, as the game paths it gives begin (Linux only).
    std::u16string Prefix() const { return TextFromPath(m_root / "prefix"); }

    TempDir m_root;
    testkit::TestRegistry m_registry{m_root / "prefix"};
};

TEST_F(GamePathTest, OwnDirectoryWinsOverRegistryAndSettings) {
    testkit::WriteFile(m_root / "app" / "War3.EXE", "MZ");
    SetInstallPath(RegistryValue::Text(u"D:\\Elsewhere"));
    SetWarPath((Root() / "game").string());
    const GamePathDecision decision = Decide();
    EXPECT_EQ(decision.warning, GamePathWarning::None);
    EXPECT_EQ(decision.gamePath, Dir(Root() / "app"));
}

TEST_F(GamePathTest, DirectoryNamedWar3ExeDoesNotMarkTheGame) {
    fs::create_directory(m_root / "app" / "war3.exe");
    EXPECT_EQ(Decide().warning, GamePathWarning::M2);
}

// The test's drive D: as a registry value spells it: "D:" under Wine, whose prefix maps it to a
// directory of the test's own; on Windows a directory of the test's own, which is a drive path too.
// "D:\Games" -> "D:\Games" (Wine), "C:\...\tmp\d\Games" (Windows).
struct RegistryCase {
    const char* name;
    std::u16string valueName;
    RegistryValue value;             // its text written with the drive as "D:"
    std::u16string gameIn;           // where war3.exe is put, under the drive, '/' between names; empty: nowhere
    std::u16string decides;          // Linux: the game path after the drive's directory; empty: M2 follows
    std::u16string decidesOnWindows; // Windows: the game path after the drive as written
};

void PrintTo(const RegistryCase& c, std::ostream* os) {
    *os << c.name;
}

class RegistryRule : public GamePathTest, public testing::WithParamInterface<RegistryCase> {
protected:
    fs::path Drive() const { return testkit::kWindows ? m_root / "d" : m_root / "prefix" / "dosdevices" / "d:"; }
    // "D:" (or "d:") at the start of the text, after blanks, replaced by the drive as Windows names it.
    std::u16string OnDrive(const std::u16string& text) const {
        const std::size_t at = text.find_first_not_of(u' ');
        if (!testkit::kWindows || at == std::u16string::npos || text.compare(at + 1, 1, u":") != 0 ||
            (text[at] != u'D' && text[at] != u'd'))
            return text;
        return text.substr(0, at) + TextFromPath(Drive()) + text.substr(at + 2);
    }
};

// Windows takes a drive path as written (its file system ignores case by itself); under Wine it names
// a directory of the prefix, each existing component found ignoring case as Wine does. Either way it
// counts only when war3.exe is there.
TEST_P(RegistryRule, AcceptsDrivePathsHoldingTheGame) {
    const RegistryCase& c = GetParam();
    fs::create_directories(Drive() / "games" / "WARCRAFT III");
    fs::create_directories(Drive() / "games" / "empty");
    fs::create_directories(Drive() / "games" / "folder" / "war3.exe");
    if (!c.gameIn.empty()) {
        fs::create_directories(Drive() / PathFromText(c.gameIn));
        testkit::WriteFile(Drive() / PathFromText(c.gameIn) / "war3.exe", "MZ");
    }
    RegistryValue value = c.value;
    value.text = OnDrive(value.text);
    SetInstallPath(value, c.valueName);
    std::u16string expected;
    if (!c.decides.empty())
        expected =
            testkit::kWindows ? TextFromPath(Drive()) + c.decidesOnWindows : Prefix() + u"/dosdevices/d:" + c.decides;
    const GamePathDecision decision = Decide();
    EXPECT_EQ(decision.warning, expected.empty() ? GamePathWarning::M2 : GamePathWarning::None);
    EXPECT_EQ(decision.source, expected.empty() ? GamePathSource::None : GamePathSource::Registry);
    EXPECT_EQ(decision.gamePath, expected);
}

INSTANTIATE_TEST_SUITE_P(
    Values, RegistryRule,
    testing::Values(
        RegistryCase{"ComponentsMatchedIgnoringCase", u"InstallPath", RegistryValue::Text(u"d:\\Games\\Warcraft III"),
                     u"games/WARCRAFT III", u"/games/WARCRAFT III/", u"\\Games\\Warcraft III\\"},
        RegistryCase{"TrailingBackslashGivesOneSeparator", u"InstallPath",
                     RegistryValue::Text(u"D:\\Games\\Warcraft III\\"), u"games/WARCRAFT III", u"/games/WARCRAFT III/",
                     u"\\Games\\Warcraft III\\"},
        RegistryCase{"BlanksAroundTrimmed", u"InstallPath", RegistryValue::Text(u"  D:\\Games\\Warcraft III  "),
                     u"games/WARCRAFT III", u"/games/WARCRAFT III/", u"\\Games\\Warcraft III\\"},
        RegistryCase{"ValueNameIgnoresCase", u"installpath", RegistryValue::Text(u"D:\\X"), u"X", u"/X/", u"\\X\\"},
        RegistryCase{"ChineseDirectoryNames", u"InstallPath", RegistryValue::Text(u"D:\\游戏\\魔兽争霸III"),
                     u"游戏/魔兽争霸III", u"/游戏/魔兽争霸III/", u"\\游戏\\魔兽争霸III\\"},
        RegistryCase{"MissingDirectoryNotAccepted", u"InstallPath", RegistryValue::Text(u"D:\\Old\\Warcraft III"), u"",
                     u"", u""},
        RegistryCase{"DirectoryWithoutGameNotAccepted", u"InstallPath", RegistryValue::Text(u"D:\\Games\\Empty"), u"",
                     u"", u""},
        RegistryCase{"GameElsewhereOnTheDriveNotAccepted", u"InstallPath", RegistryValue::Text(u"D:\\Games"),
                     u"games/WARCRAFT III", u"", u""},
        RegistryCase{"FolderNamedWar3ExeNotAccepted", u"InstallPath", RegistryValue::Text(u"D:\\Games\\Folder"), u"",
                     u"", u""},
        RegistryCase{"NoDriveNotAccepted", u"InstallPath", RegistryValue::Text(u"Warcraft III"), u"", u"", u""},
        RegistryCase{"NetworkPathNotAccepted", u"InstallPath", RegistryValue::Text(u"\\\\server\\share"), u"", u"",
                     u""},
        RegistryCase{"NumberNotAccepted", u"InstallPath", RegistryValue::Number(0x201), u"", u"", u""},
        RegistryCase{"OtherValueOnly", u"Program", RegistryValue::Text(u"D:\\X"), u"X", u"", u""}),
    [](const auto& info) { return std::string(info.param.name); });

// Windows expands with the process's own variables; under Wine the prefix's own count, never this
// system's (E: need not even exist in the prefix).
TEST_F(GamePathTest, ExpandableRegistryStringIsExpandedFirst) {
    const fs::path programFiles =
        testkit::kWindows ? m_root / "apps" : m_root / "prefix" / "dosdevices" / "c:" / "Program Files";
    fs::create_directories(programFiles / "War3");
    testkit::WriteFile(programFiles / "War3" / "war3.exe", "MZ");
    testkit::ScopedEnv programFilesVariable("ProgramFiles",
                                            testkit::kWindows ? (m_root / "apps").string() : "E:\\Apps");
    SetInstallPath(RegistryValue::ExpandableText(u"%ProgramFiles%\\War3"));
    const GamePathDecision decision = Decide();
    EXPECT_EQ(decision.warning, GamePathWarning::None);
    EXPECT_EQ(decision.gamePath, testkit::kWindows ? TextFromPath(m_root / "apps") + u"\\War3\\"
                                                   : Prefix() + u"/dosdevices/c:/Program Files/War3/");
}

// Which source decides when the registry and the settings file both have a say. A registry entry
// left behind by a moved or uninstalled game gives way to the settings file as if it were absent.
struct SourcesCase {
    const char* name;
    bool registryHoldsGame; // the registry names a directory with war3.exe (else one without)
    const char* warPath;    // the settings file's WarPath: "game", "other" (another game), "wrong"; null: no file
    GamePathSource source;
    GamePathWarning warning;
    const char* decided; // "registry", "game", "other" or "" (none)
};

void PrintTo(const SourcesCase& c, std::ostream* os) {
    *os << c.name;
}

class SourcesRule : public GamePathTest, public testing::WithParamInterface<SourcesCase> {};

TEST_P(SourcesRule, FirstSourceHoldingTheGameDecides) {
    const SourcesCase& c = GetParam();
    const fs::path drive = testkit::kWindows ? m_root / "d" : m_root / "prefix" / "dosdevices" / "d:";
    fs::create_directories(drive / "War3");
    if (c.registryHoldsGame)
        testkit::WriteFile(drive / "War3" / "war3.exe", "MZ");
    fs::create_directories(m_root / "other");
    testkit::WriteFile(m_root / "other" / "war3.exe", "MZ");
    SetInstallPath(RegistryValue::Text(testkit::kWindows ? TextFromPath(drive / "War3") : u"D:\\War3"));
    if (c.warPath != nullptr)
        SetWarPath((Root() / c.warPath).string());

    const std::string decided = c.decided;
    std::u16string expected;
    if (decided == "registry")
        expected = testkit::kWindows ? Dir(drive / "War3") : Prefix() + u"/dosdevices/d:/War3/";
    else if (!decided.empty())
        expected = Dir(Root() / decided);
    const GamePathDecision decision = Decide();
    EXPECT_EQ(decision.warning, c.warning);
    EXPECT_EQ(decision.source, c.source);
    EXPECT_EQ(decision.gamePath, expected);
}

INSTANTIATE_TEST_SUITE_P(Rows, SourcesRule,
                         testing::Values(SourcesCase{"RegistryWinsOverSettingsFile", true, "other",
                                                     GamePathSource::Registry, GamePathWarning::None, "registry"},
                                         SourcesCase{"RegistryWinsOverWrongSettingsFile", true, "wrong",
                                                     GamePathSource::Registry, GamePathWarning::None, "registry"},
                                         SourcesCase{"StaleRegistryGivesWayToSettingsFile", false, "game",
                                                     GamePathSource::SettingsFile, GamePathWarning::None, "game"},
                                         SourcesCase{"StaleRegistryAndWrongSettingsFileGiveM1", false, "wrong",
                                                     GamePathSource::None, GamePathWarning::M1, ""},
                                         SourcesCase{"StaleRegistryAloneGivesM2", false, nullptr, GamePathSource::None,
                                                     GamePathWarning::M2, ""}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(GamePathTest, SettingsFileNamingTheGameDecides) {
    SetWarPath("  " + (Root() / "game").string() + "  ");
    const GamePathDecision decision = Decide();
    EXPECT_EQ(decision.warning, GamePathWarning::None);
    EXPECT_EQ(decision.gamePath, Dir(Root() / "game"));
}

// A Windows path in the settings file, its case not the directory's. Under Wine it is looked for in
// the prefix's drive and comes back as the directory is named; Windows keeps the path as written
// and finds war3.exe through it because its file system ignores case.
TEST_F(GamePathTest, SettingsFileWindowsPathFindsTheGame) {
    std::string warPath = "D:\\war3\\";
    std::u16string expected = Prefix() + u"/dosdevices/d:/War3/";
    if (testkit::kWindows) {
        warPath = (Root() / "game").string() + "\\";
        for (char& c : warPath)
            c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
        expected = modUtf8Convert::Utf8ToText(warPath);
    } else {
        fs::create_directories(m_root / "prefix" / "dosdevices" / "d:" / "War3");
        testkit::WriteFile(m_root / "prefix" / "dosdevices" / "d:" / "War3" / "WAR3.exe", "MZ");
    }
    SetWarPath(warPath);
    const GamePathDecision decision = Decide();
    EXPECT_EQ(decision.warning, GamePathWarning::None);
    EXPECT_EQ(decision.gamePath, expected);
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

// What the registry holds for the game is no text: under Wine a user.reg of garbage, on Windows an
// InstallPath of bytes.
TEST_F(GamePathTest, GarbageRegistryFallsThrough) {
    const std::string garbage("\x00\xFF[Software\\\\Blizzard", 22);
    if (testkit::kWindows)
        SetInstallPath(RegistryValue::Bytes(testkit::Bytes(garbage)));
    else
        testkit::WriteFile(m_root / "prefix" / "user.reg", garbage);
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
    std::u16string inputOnWindows; // the same case with Windows' separator
    std::u16string expectedOnWindows;
};

void PrintTo(const NormaliseCase& c, std::ostream* os) {
    *os << c.name;
}

class Normalise : public testing::TestWithParam<NormaliseCase> {};

TEST_P(Normalise, TrimsAppendsAndCollapsesPairsOnce) {
    const NormaliseCase& c = GetParam();
    EXPECT_EQ(NormaliseGamePath(testkit::kWindows ? c.inputOnWindows : c.input),
              testkit::kWindows ? c.expectedOnWindows : c.expected);
}

INSTANTIATE_TEST_SUITE_P(
    Paths, Normalise,
    testing::Values(NormaliseCase{"NoSeparator", u"/g/Warcraft III", u"/g/Warcraft III/", u"D:\\Warcraft III",
                                  u"D:\\Warcraft III\\"},
                    NormaliseCase{"OneSeparator", u"/g/Warcraft III/", u"/g/Warcraft III/", u"D:\\Warcraft III\\",
                                  u"D:\\Warcraft III\\"},
                    NormaliseCase{"Blanks", u"  /g/w3  ", u"/g/w3/", u"  D:\\w3  ", u"D:\\w3\\"},
                    NormaliseCase{"TwoBecomeTwo", u"/g/w3//", u"/g/w3//", u"D:\\w3\\\\", u"D:\\w3\\\\"},
                    NormaliseCase{"LeadingPair", u"//g", u"/g/", u"\\\\g", u"\\g\\"},
                    NormaliseCase{"Empty", u"", u"/", u"", u"\\"},
                    // Only the native separator is one: '\' on Linux and '/' on Windows are kept as written.
                    NormaliseCase{"OtherSeparatorIsText", u"D:\\w3\\\\", u"D:\\w3\\\\/", u"/g/w3//", u"/g/w3//\\"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(GetAppPath, IsTheTestProgramsDirectory) {
    const std::u16string appPath = modPublicVars::GetAppPath();
    ASSERT_FALSE(appPath.empty());
    EXPECT_EQ(appPath.back(), kSeparator);
    EXPECT_TRUE(fs::exists(PathFromText(appPath) / (testkit::kWindows ? "support_tests.exe" : "support_tests")));
}

// Prints where the program stands ("dir=" a line each) and the game directory it finds ("game=").
TESTKIT_CHILD_ROLE(ReportStartPlaces) {
    std::string report;
    for (const std::u16string& appPath : modPublicVars::GetAppPaths())
        report += "dir=" + modUtf8Convert::TextToUtf8(appPath) + "\n";
    report += "game=" + modUtf8Convert::TextToUtf8(FindGamePath().gamePath) + "\n";
    std::fputs(report.c_str(), stdout);
    return 0;
}

// The report of a run, its text mode's "\r\n" as "\n".
std::string Report(const testkit::ProgramResult& run) {
    std::string text;
    for (const char c : run.out) {
        if (c != '\r')
            text += c;
    }
    return text;
}

// Through a link in the game directory the game is found there. On Linux, by path or as a bare name
// on the PATH (past a file that cannot run), with the program's own directory second; a path to
// another file counts for nothing, and once forgotten the program's own directory is first again.
// Windows reports the program under the path it was started through and nothing else: a copy in the
// game directory, started as a process of its own, stands there alone.
TEST_F(GamePathTest, StartedThroughALinkInTheGameFindsTheGameThere) {
    if (testkit::kWindows) {
        const fs::path self = PathFromText(modPublicVars::GetAppPath()) / "support_tests.exe";
        const fs::path link = m_root / "game" / "ostrawen.exe";
        // A copy: a hard link could not be removed while this program, the same file, is running.
        fs::copy_file(self, link);
        const std::string game = modUtf8Convert::TextToUtf8(Dir(Root() / "game"));
        const testkit::ProgramResult throughLink =
            testkit::RunProgram(link, {"--testkit-child=ReportStartPlaces"}, Root());
        EXPECT_EQ(throughLink.exitCode, 0);
        EXPECT_EQ(Report(throughLink), "dir=" + game + "\ngame=" + game + "\n");
        const testkit::ProgramResult direct = testkit::RunProgram(self, {"--testkit-child=ReportStartPlaces"}, Root());
        EXPECT_EQ(direct.exitCode, 0);
        EXPECT_EQ(Report(direct).rfind("dir=" + modUtf8Convert::TextToUtf8(Dir(self.parent_path())) + "\ngame=", 0), 0u)
            << Report(direct);
    } else {
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
    }
}

// A place without war3.exe passes to the next, whose war3.exe counts before the first one's settings.
TEST_F(GamePathTest, EachProgramDirectoryIsLookedAtForTheGameBeforeAnySettings) {
    SetWarPath((Root() / "nowhere").string());
    EXPECT_EQ(DecideGamePath({Dir(Root() / "app"), Dir(Root() / "game")}).gamePath, Dir(Root() / "game"));
}

} // namespace
