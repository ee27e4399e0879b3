// ostrawen-cli as a script sees it, in both output modes: what each command prints and each exit code; writes
// that find the value in place write nothing; status reports and never waits or recovers; hostile archives.
#include "cli_fixture.h"

#include "testkit/hostile_archives.h"

#include <chrono>
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

namespace clitest {
namespace {

namespace fs = std::filesystem;

struct RunCase {
    const char* name;
    std::vector<std::string> arguments;
    int exitCode = 0;
    std::string text = {}; // on success all of stdout (with `part`, a part of it), on failure a part of the stderr line
    std::string reason = {};                                           // of the JSON error
    std::vector<std::pair<std::string, std::string>> json = {};        // members of the document, as written
    std::optional<std::vector<MpqBuilderFile>> archive = std::nullopt; // replaces War3Patch.mpq
    bool garbage = false;                                              // War3Patch.mpq is no archive
    bool gameDir = true;
    bool part = false;
};

class CliRunTest : public CliTest, public testing::WithParamInterface<std::tuple<RunCase, bool>> {};

TEST_P(CliRunTest, ExitCodeOutputAndArchive) {
    const auto& [row, json] = GetParam();
    if (row.archive)
        testkit::BuildArchive(Patch(), *row.archive);
    if (row.garbage)
        testkit::WriteFile(Patch(), testkit::PatternBytes(70000, 3, false));
    const auto before = StateOf(Patch());
    const CliResult result = Run(row.arguments, json, row.gameDir);
    EXPECT_EQ(result.exitCode, row.exitCode) << result.err;
    const bool failed = row.exitCode != 0;
    EXPECT_EQ(result.err.empty(), !failed);
    if (failed) {
        EXPECT_TRUE(result.err.starts_with("ostrawen-cli: ") && result.err.find('\n') + 1 == result.err.size() &&
                    result.err.find(row.text) != std::string::npos)
            << result.err;
        EXPECT_EQ(StateOf(Patch()), before) << "a failed run changed the archive";
    }
    if (!json) {
        EXPECT_TRUE(row.part ? result.out.find(row.text) != std::string::npos : result.out == (failed ? "" : row.text))
            << result.out;
        return;
    }
    auto document = Document(result);
    for (const auto& [path, value] : row.json)
        EXPECT_EQ(document[path], value) << path;
    EXPECT_EQ(document["error/reason"] + document["error/exitCode"],
              failed ? '"' + row.reason + '"' + std::to_string(row.exitCode) : "");
    EXPECT_TRUE(!failed ||
                (document["error/message"].find(row.text) != std::string::npos && !document["error/archive"].empty()));
    EXPECT_TRUE(!row.part || document["help"].find(row.text) != std::string::npos);
}

// clang-format off
const RunCase kRunCases[] = {
    {"LanName", {"lan-name", "get"}, 0, "Host\n", "", {{"value", R"("Host")"}, {"invalidUtf8", "false"}}},
    {"LanNameInvalidUtf8", {"lan-name", "get"}, 0, "A\uFFFDB\n", "", {{"value", "\"A\uFFFDB\""}, {"invalidUtf8", "true"}},
     {{Strings("A\xFF" "B")}}},
    {"LanNameRealReplacementChar", {"lan-name", "get"}, 0, "A\uFFFD\n", "", {{"invalidUtf8", "false"}}, {{Strings("A\uFFFD")}}},
    {"NoStringsFile", {"lan-name", "get"}, 0, "", "", {{"value", "null"}}, {{kMarker}}},
    {"NoGameNameEntry", {"lan-name", "get"}, 0, "", "", {{"value", "null"}}, {{kNoGameNameEntry}}},
    {"Cursor", {"cursor", "get"}, 0, "human\n", "", {{"value", R"("human")"}}},
    {"NoSkinsFile", {"cursor", "get"}, 0, "", "", {{"value", "null"}}, {{Strings("Host")}}},
    {"UnknownRaceWord", {"cursor", "get"}, 0, "", "", {{"value", "null"}}, {{Skins("Dwarf")}}},
    {"QuietChanged", {"--quiet", "lan-name", "set", "Q"}, 0, "", "", {{"changed", "true"}}},
    {"QuietUnchanged", {"cursor", "set", "human", "-q"}, 0, "", "", {{"changed", "false"}}},
    {"QuietValueStillPrinted", {"-q", "lan-name", "get"}, 0, "Host\n", "", {{"value", R"("Host")"}}},
    {.name = "Help", .arguments = {"--help"}, .text = "Exit codes: 0 success", .part = true},
    {.name = "HelpAfterCommand", .arguments = {"lan-name", "--help"}, .text = "CR or LF", .part = true},
    {.name = "HelpBeforeCommand", .arguments = {"-h", "resource"}, .text = "界面背景 (冰封王座)", .part = true},
    {"NoCommand", {}, 2, "no command", "usage", {{"error/archive", "null"}}},
    {"UnknownCommand", {"frobnicate"}, 2, "unknown command frobnicate", "usage"},
    {"UnknownOption", {"status", "--verbose"}, 2, "unknown option --verbose", "usage"},
    {"OptionWithoutValue", {"status", "--archive"}, 2, "--archive needs a value", "usage"},
    {"UnknownArchive", {"--archive", "War4.mpq", "lan-name", "get"}, 2, "unknown archive War4.mpq", "usage"},
    {"UnknownRace", {"cursor", "set", "dwarf"}, 2, "unknown race dwarf", "usage"},
    {"NameWithQuote", {"lan-name", "set", "a\"b"}, 2, "may not hold", "usage"},
    {"NameWithLineFeed", {"lan-name", "set", "a\nb"}, 2, "may not hold", "usage"},
    {"NameWithCarriageReturn", {"lan-name", "set", "a\rb"}, 2, "may not hold", "usage"},
    {"UnknownResource", {"resource", "delete", "music"}, 2, "unknown resource item music", "usage"},
    {"ExtraWord", {"lan-name", "get", "extra"}, 2, "wrong arguments for lan-name", "usage"},
    {"MissingWord", {"resource", "extract", "font-en"}, 2, "wrong arguments for resource", "usage"},
    {"GameDirIsAFile", {"--game-dir", "Warcraft III/war3.exe", "status"}, 3, "not a directory", "no game directory", {},
     std::nullopt, false, false},
    {"NoGameDirFound", {"lan-name", "get"}, 3, "no game directory found", "no game directory", {}, std::nullopt, false, false},
    {"MissingArchive", {"--archive", "war3x.mpq", "lan-name", "get"}, 1, "GlobalStrings.fdf: no archive", "no archive",
     {{"error/archive", R"("War3x.mpq")"}}},
    {"GarbageArchive", {"cursor", "set", "orc"}, 1, "war3skins.txt: malformed", "malformed",
     {{"error/archive", R"("War3Patch.mpq")"}}, std::nullopt, true},
    {"CompactGarbage", {"compact"}, 1, "War3Patch.mpq: cannot compact: malformed", "malformed", {}, std::nullopt, true},
    {"SetWithoutTheFile", {"lan-name", "set", "New"}, 1, "GlobalStrings.fdf: not found", "not found", {}, {{kMarker}}},
    {"CursorWithoutTheFile", {"cursor", "set", "orc"}, 1, "war3skins.txt: not found", "not found", {}, {{kMarker}}},
    {"ExtractAbsentItem", {"resource", "extract", "font-zhcn", "font.ttf"}, 1, "dfst-m3u.ttf: not found", "not found"},
    {"ReplaceFromMissingFile", {"resource", "replace", "font-en", "none.ttf"}, 1, "cannot read", "cannot read file"},
};
// clang-format on

INSTANTIATE_TEST_SUITE_P(Rows, CliRunTest, testing::Combine(testing::ValuesIn(kRunCases), testing::Bool()),
                         [](const auto& info) { return RowAndMode(info); });

struct EditCase {
    const char* name;
    std::vector<std::string> arguments;
    std::string checkOutPart; // of the get or list afterwards
};

class CliEditTest : public CliTest, public testing::WithParamInterface<std::tuple<EditCase, bool>> {};

// A fleet tool runs the same write again and again: the second run finds the value in place and writes nothing.
TEST_P(CliEditTest, SecondRunWritesNothing) {
    const auto& [row, json] = GetParam();
    testkit::WriteFile(m_root / "font.ttf", testkit::PatternBytes(3000, 11));
    auto state = StateOf(Patch());
    for (const bool first : {true, false}) {
        const CliResult result = Run(row.arguments, json);
        ASSERT_TRUE(result.exitCode == 0 && result.err.empty()) << result.err;
        if (json)
            EXPECT_EQ(Document(result)["changed"], first ? "true" : "false");
        else
            EXPECT_TRUE(first ? result.out.starts_with("War3Patch.mpq: ") && !result.out.ends_with("unchanged\n")
                              : result.out == "War3Patch.mpq: unchanged\n")
                << result.out;
        EXPECT_EQ(StateOf(Patch()) == state, !first) << (first ? "first run" : "second run");
        state = StateOf(Patch());
    }
    const std::string check = Run({row.arguments[0], row.arguments[0] == "resource" ? "list" : "get"}).out;
    EXPECT_NE(check.find(row.checkOutPart), std::string::npos) << check;
}

// clang-format off
const EditCase kEditCases[] = {
    {"LanName", {"lan-name", "set", "Café 主机"}, "Café 主机\n"},
    {"LanNameStartingWithDash", {"lan-name", "set", "--", "-host-"}, "-host-\n"},
    {"OptionsAfterTheCommand", {"lan-name", "set", "Late", "--archive", "war3patch.MPQ"}, "Late\n"},
    {"Cursor", {"cursor", "set", "NightElf"}, "nightelf\n"},
    {"ReplaceByKey", {"resource", "replace", "font-en", "font.ttf"}, "font-en\t3000\tFonts\\FRIZQT__.TTF\n"},
    {"ReplaceByEntryText", {"resource", "replace", "游戏字体 (英文)", "font.ttf"}, "font-en\t3000\t"},
    {"Delete", {"resource", "delete", "menu-music-roc"}, "menu-music-roc\t-\t"},
};
// clang-format on

INSTANTIATE_TEST_SUITE_P(Rows, CliEditTest, testing::Combine(testing::ValuesIn(kEditCases), testing::Bool()),
                         [](const auto& info) { return RowAndMode(info); });

TEST_F(CliTest, CompactAlwaysWritesAndKeepsTheContent) {
    ASSERT_EQ(Run({"lan-name", "set", "Before compaction"}).exitCode, 0);
    const CliResult json = Run({"compact"}, true);
    EXPECT_TRUE(json.exitCode == 0 && json.err.empty()) << "a progress bar went into a file: " << json.err;
    EXPECT_EQ(Document(json)["changed"], "true");
    EXPECT_EQ(Run({"compact"}).out, "War3Patch.mpq: compacted\n");
    EXPECT_EQ(Run({"lan-name", "get"}).out, "Before compaction\n");
    EXPECT_EQ(Run({"resource", "extract", "背景音乐 (混乱之治)", "music.mp3"}).exitCode, 0);
    EXPECT_EQ(testkit::ReadFile(m_root / "music.mp3"), testkit::PatternBytes(5000, 7));
}

TEST_F(CliTest, ProgressBarOnlyOnATerminalWithoutQuiet) {
    for (const bool quiet : {false, true}) {
        const std::string err = Run({"compact", quiet ? "-q" : "--"}, false, true, true).err;
        // Drawn as "War3Patch.mpq [###   ] 40%", and wiped before the result is printed.
        EXPECT_EQ(err.find("War3Patch.mpq [") != std::string::npos && err.ends_with("\r"), !quiet) << err;
    }
}

class CliHostileTest : public CliTest, public testing::WithParamInterface<testkit::HostileShape> {};

// Each command ends normally on each hostile archive; only a successful write changes the archive.
TEST_P(CliHostileTest, EndsNormallyAndLeavesTheArchive) {
    for (const auto& [arguments, writes] :
         std::vector<std::pair<std::vector<std::string>, bool>>{{{"status"}, false},
                                                                {{"lan-name", "get"}, false},
                                                                {{"cursor", "get"}, false},
                                                                {{"resource", "list"}, false},
                                                                {{"lan-name", "set", "Hostile"}, true},
                                                                {{"resource", "delete", "menu-model-tft"}, true}}) {
        SCOPED_TRACE(arguments[0] + " " + arguments.back());
        testkit::MakeHostileArchive(GetParam(), Patch());
        const auto before = testkit::FileFingerprint(Patch());
        const CliResult result = Run(arguments, true);
        auto document = Document(result);
        EXPECT_TRUE(result.exitCode == 0 ||
                    (result.exitCode == 1 && result.err.starts_with("ostrawen-cli: War3Patch.mpq: ") &&
                     document["error/archive"] == R"("War3Patch.mpq")" && !document["error/reason"].empty()))
            << result.exitCode << result.out << result.err;
        if (result.exitCode != 0 || !writes) {
            EXPECT_EQ(testkit::FileFingerprint(Patch()), before);
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Rows, CliHostileTest, testing::ValuesIn(testkit::AllHostileShapes()),
                         [](const auto& info) { return std::string(testkit::HostileShapeName(info.param)); });

struct EffectiveCase {
    const char* name;
    std::vector<std::pair<const char*, std::vector<MpqBuilderFile>>> archives; // no files: no archive at all
    std::string tftLanName; // effective/0/lanName as "known value source"
    std::string lines;      // the end of the human output, a line per game
};

class CliEffectiveTest : public CliTest, public testing::WithParamInterface<EffectiveCase> {};

// For each game the first archive in its order that holds the file decides, even without the entry.
TEST_P(CliEffectiveTest, StatusShowsWhatEachGameReads) {
    fs::remove(Patch());
    for (const auto& [name, files] : GetParam().archives)
        files.empty() ? testkit::WriteFile(GameDir() / name, "no archive")
                      : testkit::BuildArchive(GameDir() / name, files);
    const CliResult human = Run({"status"});
    EXPECT_TRUE(human.exitCode == 0 && human.out.ends_with(GetParam().lines)) << human.out << human.err;
    auto json = Document(Run({"status"}, true));
    const std::string lanName = "effective/0/lanName/";
    EXPECT_EQ(json[lanName + "known"] + " " + json[lanName + "value"] + " " + json[lanName + "source"],
              GetParam().tftLanName);
}

// clang-format off
const EffectiveCase kEffectiveCases[] = {
    {"PatchThenLocalThenExpansion", {{"War3Patch.mpq", {Skins("Orc")}}, {"War3xLocal.mpq", {Strings("L")}},
      {"War3x.mpq", {Strings("X"), Skins("NightElf")}}, {"War3.mpq", {Strings("R"), Skins("Human")}}}, R"(true "L" "War3xLocal.mpq")",
     "The Frozen Throne: LAN name \"L\" from War3xLocal.mpq; cursor \"orc\" from War3Patch.mpq\n"
     "Reign of Chaos: LAN name \"R\" from War3.mpq; cursor \"orc\" from War3Patch.mpq\n"},
    {"FileWithoutGameNameStillDecides", {{"War3x.mpq", {kNoGameNameEntry}}, {"War3.mpq", {Strings("R"), Skins("Undead")}}},
     R"(true null "War3x.mpq")",
     "The Frozen Throne: LAN name none from War3x.mpq; cursor \"undead\" from War3.mpq\n"
     "Reign of Chaos: LAN name \"R\" from War3.mpq; cursor \"undead\" from War3.mpq\n"},
    {"UnreadableArchiveMakesItUnknown", {{"War3xLocal.mpq", {}}, {"War3.mpq", {Strings("R"), Skins("Human")}}},
     R"(false null "War3xLocal.mpq")",
     "The Frozen Throne: LAN name unknown from War3xLocal.mpq; cursor unknown from War3xLocal.mpq\n"
     "Reign of Chaos: LAN name \"R\" from War3.mpq; cursor \"human\" from War3.mpq\n"},
    {"NoArchiveHoldsTheFile", {{"War3Patch.mpq", {kMarker}}, {"War3.mpq", {kMarker}}}, "true null null",
     "The Frozen Throne: LAN name none; cursor none\nReign of Chaos: LAN name none; cursor none\n"},
};
// clang-format on

INSTANTIATE_TEST_SUITE_P(Rows, CliEffectiveTest, testing::ValuesIn(kEffectiveCases),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(CliTest, StatusFoundThroughWineNeitherRecoversNorWaitsForALock) {
    testkit::BuildArchive(GameDir() / "War3x.mpq", {kMarker});
    testkit::BuildArchive(GameDir() / "War3.mpq", {Strings("R\xFF")});
    // Whatever the journal holds, putting it right is a write; status only reports it.
    testkit::WriteFile(GameDir() / "War3x.mpq-journal", testkit::PatternBytes(700, 9, false));
    const auto before = std::pair(StateOf(Patch()), StateOf(GameDir() / "War3x.mpq-journal"));
    // A Wine prefix whose registry names C:\Warcraft III, drive C being the test's directory.
    const fs::path prefix = m_root / "prefix";
    fs::create_directories(prefix / "dosdevices");
    fs::create_directory_symlink(m_root.path(), prefix / "dosdevices" / "c:");
    testkit::WriteFile(prefix / "user.reg",
                       "WINE REGISTRY Version 2\n\n[Software\\\\Blizzard Entertainment\\\\Warcraft "
                       "III] 1\n\"InstallPath\"=\"C:\\\\Warcraft III\"\n");
    const testkit::ScopedEnv wine("WINEPREFIX", prefix.string());
    auto document = Document(Run({"status"}, true, false));
    std::string described;
    for (const char* path : {"foundBy", "gameDir", "archives/0/name", "archives/0/opens", "archives/0/gameName",
                             "archives/0/cursor", "archives/0/resources/0/key", "archives/0/resources/0/size",
                             "archives/0/resources/1", "archives/1/present", "archives/1/why", "archives/2/opens",
                             "archives/2/why", "archives/3/gameName", "archives/3/gameNameInvalidUtf8"})
        described += document[path] + " ";
    EXPECT_EQ(described,
              "\"registry\" \"" + (prefix / "dosdevices/c:/Warcraft III/").string() +
                  "\" \"War3Patch.mpq\" true \"Host\" \"human\" \"menu-music-roc\" 5000  false \"no archive\" "
                  "false \"pending recovery\" \"R\uFFFD\" true ");

    // Another process's operation holds War3Patch.mpq: a flock on its lock file.
    const int fd = ::open((GameDir() / "War3Patch.mpq-lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
    ASSERT_EQ(::flock(fd, LOCK_EX), 0);
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(Document(Run({"status"}, true))["archives/0/why"], R"("locked")");
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(3));
    const CliResult write = Run({"lan-name", "set", "Blocked"});
    EXPECT_EQ(write.exitCode, 1);
    EXPECT_EQ(write.err, "ostrawen-cli: War3Patch.mpq: cannot read UI\\FrameDef\\GlobalStrings.fdf: locked\n");
    ::close(fd);
    EXPECT_EQ(std::pair(StateOf(Patch()), StateOf(GameDir() / "War3x.mpq-journal")), before);
}

} // namespace
} // namespace clitest
