// ostrawen-cli run as a script runs it, on a game directory per test (war3.exe, War3Patch.mpq with GAMENAME "Host",
// the Human cursor, PatternBytes(5000, 7) as menu-music-roc): output and exit code of each command in both modes;
// writes that find their value in place write nothing; status never waits or recovers; hostile archives.
#include "../mods/game_files.h"
#include "archive/archive_file.h"
#include "archive/door/archive_lock.h"
#include "testkit/child_process.h"
#include "testkit/hostile_archives.h"
#include "testkit/mpq_fixtures.h"
#include "testkit/program_run.h"
#include "testkit/temp_dir.h"

#include <gtest/gtest.h>

#include <chrono>
#include <fstream>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <tuple>

namespace clitest {
namespace {
namespace fs = std::filesystem;

struct CliResult {
    int exitCode = -1;
    std::string out, err;
};

MpqBuilderFile Strings(const std::string& gameName) {
    return {u"UI\\FrameDef\\GlobalStrings.fdf", modstest::GlobalStringsFile(gameName)};
}
MpqBuilderFile Skins(const std::string& firstRace) {
    return {u"UI\\war3skins.txt", modstest::War3SkinsFile(firstRace)};
}
// GlobalStrings.fdf with only an entry whose name begins with GAMENAME; a file for archives without game files.
const MpqBuilderFile kNoGameNameEntry = {u"UI\\FrameDef\\GlobalStrings.fdf",
                                         testkit::Bytes("StringList {\r\n    GAMENAME_SHORT \"%s\",\r\n}\r\n")};
const MpqBuilderFile kMarker = {u"readme.txt", testkit::Bytes("marker")};
// A game file padded with blanks to `size` bytes; 4 MiB is the most the program reads of either.
MpqBuilderFile Padded(MpqBuilderFile file, std::size_t size) {
    file.content.resize(size, ' ');
    return file;
}
constexpr std::size_t kTextLimit = 4u << 20;

// A strict reader of one JSON document: anything malformed, or a second document, makes Value() or Document() fail.
struct JsonParser {
    const std::string& text;
    std::size_t pos = 0;
    std::map<std::string, std::string> document = {};

    bool Eat(char c) {
        pos = std::min(text.find_first_not_of(" \t\r\n", pos), text.size());
        return pos < text.size() && text[pos] == c && ++pos;
    }
    // Checks a string and gives what it holds as written, escapes and all.
    bool String(std::string& raw) {
        if (!Eat('"'))
            return false;
        const std::size_t begin = pos;
        while (pos < text.size() && text[pos] != '"') {
            if (static_cast<unsigned char>(text[pos]) < 0x20)
                return false;
            if (text[pos++] != '\\')
                continue;
            const std::size_t length = text.compare(pos, 1, "u") == 0 ? 5 : 1;
            if (pos + length > text.size() || std::string_view("\"\\/bfnrtu").find(text[pos]) == std::string::npos ||
                text.substr(pos + 1, length - 1).find_first_not_of("0123456789abcdefABCDEF") != std::string::npos)
                return false;
            pos += length;
        }
        raw = text.substr(begin, pos - begin);
        return Eat('"');
    }
    // The program prints no numbers but whole ones.
    bool Scalar() {
        const std::string token = text.substr(pos, text.find_first_not_of("0123456789aeflnrstu", pos) - pos);
        pos += token.size();
        return token == "true" || token == "false" || token == "null" ||
               (!token.empty() && token.find_first_not_of("0123456789") == std::string::npos);
    }
    bool Value(const std::string& path) {
        std::string& slot = document[path];
        if (Eat('{') || Eat('[')) {
            const bool object = text[pos - 1] == '{';
            slot = object ? "{}" : "[]";
            for (std::size_t index = 0; !Eat(object ? '}' : ']'); ++index) {
                std::string key = std::to_string(index);
                if ((index > 0 && !Eat(',')) || (object && !(String(key) && Eat(':'))))
                    return false;
                // A key twice would make the document ambiguous.
                const std::string member = path.empty() ? key : path + "/" + key;
                if (document.count(member) || !Value(member))
                    return false;
            }
            return true;
        }
        const std::size_t start = pos;
        if (std::string raw; pos < text.size() && text[pos] == '"' ? !String(raw) : !Scalar())
            return false;
        slot = text.substr(start, pos - start);
        return true;
    }
};

class CliTest : public testing::Test {
protected:
    CliTest() {
        fs::create_directories(GameDir());
        testkit::WriteFile(GameDir() / "war3.exe", "MZ");
        testkit::BuildArchive(Patch(), {Strings("Host"),
                                        Skins("Human"),
                                        {u"Sound\\Music\\mp3Music\\Mainscreen.mp3", testkit::PatternBytes(5000, 7)}});
    }
    std::filesystem::path GameDir() const { return m_root / "Warcraft III"; }
    std::filesystem::path Patch() const { return GameDir() / "War3Patch.mpq"; }
    // Runs in the test's directory; `terminal` gives stderr a pseudo-terminal, as a person at a shell has it.
    CliResult Run(std::vector<std::string> arguments, bool json = false, bool gameDir = true, bool terminal = false) {
        if (json)
            arguments.insert(arguments.begin(), "--json");
        if (gameDir)
            arguments.insert(arguments.begin(), {"--game-dir", testkit::child::PathArgument(GameDir())});
        const testkit::ProgramResult result =
            terminal ? testkit::RunProgramWithTerminalStderr(OSTRAWEN_CLI, arguments, m_root.path())
                     : testkit::RunProgram(OSTRAWEN_CLI, arguments, m_root.path());
        return {result.exitCode, result.out, result.err};
    }
    // The output's one JSON document flattened to its values as written: {"a":[{"b":"x"}]} gives "a" -> "[]",
    // "a/0" -> "{}", "a/0/b" -> "\"x\"". Fails the test when the output is anything else.
    static std::map<std::string, std::string> Document(const CliResult& result) {
        JsonParser parser{result.out};
        const bool valid = parser.Value("") && !parser.Eat(' ') && parser.pos == result.out.size();
        EXPECT_TRUE(valid) << "not one JSON document: " << result.out;
        return valid ? parser.document : std::map<std::string, std::string>{};
    }
    // status finds the game through a Wine prefix's user.reg only with WINEPREFIX naming it.
    void ExpectFoundThroughWinePrefix() {
        const fs::path prefix = m_root / "prefix";
        fs::create_directories(prefix / "dosdevices");
        fs::create_directory_symlink(m_root.path(), prefix / "dosdevices" / "c:");
        testkit::WriteFile(prefix / "user.reg",
                           "WINE REGISTRY Version 2\n\n[Software\\\\Blizzard Entertainment\\\\Warcraft "
                           "III] 1\n\"InstallPath\"=\"C:\\\\Warcraft III\"\n");
        const CliResult lost = Run({"status"}, true, false);
        EXPECT_EQ(std::to_string(lost.exitCode) + Document(lost)["error/reason"], R"(3"no-game")");
        const testkit::ScopedEnv wine("WINEPREFIX", prefix.string());
        auto document = Document(Run({"status"}, true, false));
        std::string described;
        for (const char* path : {"foundBy", "gameDir", "archives/0/name", "archives/0/opens", "archives/0/gameName",
                                 "archives/0/cursor", "archives/0/resources/0/key", "archives/0/resources/0/size",
                                 "archives/0/resources/1", "archives/1/present", "archives/1/why", "archives/2/opens",
                                 "archives/2/why", "archives/3/gameName", "archives/3/gameNameInvalidUtf8"})
            described += document[path] + " ";
        EXPECT_EQ(described,
                  "\"registry\" \"" + (prefix / "dosdevices/c:/Warcraft III").string() +
                      "\" \"War3Patch.mpq\" true \"Host\" \"human\" \"menu-music-roc\" 5000  false \"no-archive\" "
                      "false \"foreign-file\" \"R\uFFFD\" true ");
    }
    // Bytes, modification time and the file itself: equal when nothing was written. (Windows' C
    // runtime gives the time in whole seconds, so a new file of the same bytes shows in its identity.)
    static auto StateOf(const std::filesystem::path& path) {
        const std::optional<archive_io::FileIdentity> identity = archive_io::IdentityOf(path);
        return std::tuple(testkit::ReadFile(path), std::filesystem::last_write_time(path),
                          identity ? identity->inode : 0);
    }

    testkit::TempDir m_root;
    // The game search finds only what a test puts under its own directory.
    testkit::ScopedEnv m_home{"HOME", m_root.path().string()};
    testkit::ScopedEnv m_prefix{"WINEPREFIX", (m_root / "no-prefix").string()};
};

enum Writes { kNever, kOnce, kEveryTime };
struct RunCase {
    const char* name;
    std::vector<std::string> arguments;
    int exitCode = 0;
    std::string text = {}; // on success all of stdout (with `part`, a part of it), on failure a part of the stderr line
    std::string reason = {};                                    // of the JSON error
    std::vector<std::pair<std::string, std::string>> json = {}; // members of the document, as written
    Writes writes = kNever; // then run again: a write that finds its value in place writes nothing
    std::optional<std::vector<MpqBuilderFile>> archive = std::nullopt; // replaces War3Patch.mpq; no files: no archive
    bool part = false;
};

class CliRunTest : public CliTest, public testing::WithParamInterface<std::tuple<RunCase, bool>> {};
TEST_P(CliRunTest, ExitCodeOutputAndArchive) {
    const auto& [row, json] = GetParam();
    if (row.archive)
        row.archive->empty() ? testkit::WriteFile(Patch(), "no archive") : testkit::BuildArchive(Patch(), *row.archive);
    testkit::WriteFile(m_root / "font.ttf", testkit::PatternBytes(3000, 11));
    fs::create_directory(m_root / "adir");
    auto state = StateOf(Patch());
    const CliResult result = Run(row.arguments, json);
    EXPECT_EQ(result.exitCode, row.exitCode) << result.err;
    const bool failed = row.exitCode != 0;
    // One line naming the program, or for a bare run the short usage.
    const std::size_t lineEnd = result.err.find('\n');
    const bool errorShape =
        result.err.starts_with("ostrawen-cli: ") &&
        (row.arguments.empty() ? result.err.substr(lineEnd + 1).starts_with("Usage: ostrawen-cli [OPTIONS] COMMAND")
                               : lineEnd + 1 == result.err.size());
    EXPECT_TRUE(failed ? errorShape && result.err.find(row.text) != std::string::npos : result.err.empty())
        << result.err;
    EXPECT_EQ(StateOf(Patch()) == state, row.writes == kNever) << "the archive after the run";
    if (fs::exists(m_root / "music.mp3")) { // extracted: the stored bytes
        EXPECT_EQ(testkit::ReadFile(m_root / "music.mp3"), testkit::PatternBytes(5000, 7));
    }
    if (json) {
        auto document = Document(result);
        for (const auto& [path, value] : row.json)
            EXPECT_EQ(document[path], value) << path;
        EXPECT_EQ(document["error/reason"] + document["error/exitCode"],
                  failed ? '"' + row.reason + '"' + std::to_string(row.exitCode) : "");
        // The message as JSON holds it: a control character shown as \x1b on a terminal is \u001b there.
        std::string jsonText = row.text;
        for (std::size_t at = 0; (at = jsonText.find("\\x", at)) != std::string::npos;)
            jsonText.replace(at, 2, "\\u00");
        EXPECT_TRUE(!failed || (document["error/message"].find(jsonText) != std::string::npos &&
                                !document["error/archive"].empty()))
            << document["error/message"];
        EXPECT_TRUE(!row.part || !document.count("help") || document["help"].find(row.text) != std::string::npos);
        // Every document, failures included, has its format and says whether the archive changed.
        EXPECT_EQ(document["format"], "1");
        EXPECT_EQ(document["changed"], row.writes == kNever ? "false" : "true");
    } else {
        EXPECT_TRUE(row.part ? result.out.find(row.text) != std::string::npos : result.out == (failed ? "" : row.text))
            << result.out;
    }
    if (row.writes == kNever)
        return;
    state = StateOf(Patch());
    const CliResult again = Run(row.arguments, json);
    const bool changes = row.writes == kEveryTime;
    EXPECT_EQ(json ? Document(again)["changed"] : again.out,
              json ? (changes ? "true" : "false")
                   : (changes || row.text.empty() ? row.text : "War3Patch.mpq: unchanged\n"));
    EXPECT_TRUE(changes || StateOf(Patch()) == state) << "the second run wrote";
}

// clang-format off
const std::string kList = "menu-music-roc\t5000\tSound\\Music\\mp3Music\\Mainscreen.mp3\nmenu-music-tft\t-\tSound\\"
    "Music\\mp3Music\\War3XMainScreen.mp3\nfont-zhcn\t-\tFonts\\dfst-m3u.ttf\nfont-zhtw\t-\tFonts\\dffn_b31.ttf\n"
    "font-en\t-\tFonts\\FRIZQT__.TTF\nmenu-model-roc\t-\tUI\\Glues\\MainMenu\\MainMenu3d\\MainMenu3d.mdx\n"
    "menu-model-tft\t-\tUI\\Glues\\MainMenu\\MainMenu3d_exp\\MainMenu3d_exp.mdx\n";
const std::string kExtracted = "War3Patch.mpq: menu-music-roc extracted to music.mp3 (5000 bytes)\n";
const std::string kReplaced = "War3Patch.mpq: font-en replaced from font.ttf\n";
const RunCase kRunCases[] = {
    {"LanName", {"lan-name", "get"}, 0, "Host\n", "", {{"value", R"("Host")"}, {"invalidUtf8", "false"}}},
    {"InvalidUtf8", {"lan-name", "get"}, 0, "A\uFFFDB\n", "", {{"value", "\"A\uFFFDB\""}, {"invalidUtf8", "true"}},
     kNever, {{Strings("A\xFF" "B")}}},
    {"LanNameRealReplacementChar", {"lan-name", "get"}, 0, "A\uFFFD\n", "", {{"invalidUtf8", "false"}}, kNever,
     {{Strings("A\uFFFD")}}},
    {"NoStringsFile", {"lan-name", "get"}, 0, "", "", {{"value", "null"}}, kNever, {{kMarker}}},
    {"NoGameNameEntry", {"lan-name", "get"}, 0, "", "", {{"value", "null"}}, kNever, {{kNoGameNameEntry}}},
    {"Cursor", {"cursor", "get"}, 0, "human\n", "", {{"value", R"("human")"}}},
    {"NoSkinsFile", {"cursor", "get"}, 0, "", "", {{"value", "null"}}, kNever, {{Strings("Host")}}},
    {"UnknownRaceWord", {"cursor", "get"}, 0, "", "", {{"value", "null"}}, kNever, {{Skins("Dwarf")}}},
    {"List", {"resource", "list"}, 0, kList, "", {{"resources/0/size", "5000"}, {"resources/1/present", "false"}}},
    {"ExtractByKey", {"resource", "extract", "menu-music-roc", "music.mp3"}, 0, kExtracted, "", {{"size", "5000"}}},
    {"ExtractByEntryText", {"resource", "extract", "背景音乐 (混乱之治)", "music.mp3"}, 0, kExtracted, "", {{"size", "5000"}}},
    {"SetLanName", {"lan-name", "set", "Café 主机"}, 0, "War3Patch.mpq: LAN name set to Café 主机\n", "",
     {{"previous", R"("Host")"}, {"value", R"("Café 主机")"}}, kOnce},
    {"SetNameStartingWithDash", {"lan-name", "set", "--", "-host-"}, 0, "War3Patch.mpq: LAN name set to -host-\n", "",
     {}, kOnce},
    {"OptionsAfterTheCommand", {"lan-name", "set", "Late", "--archive", "war3patch.MPQ"}, 0,
     "War3Patch.mpq: LAN name set to Late\n", "", {}, kOnce},
    {"SetCursor", {"cursor", "set", "NightElf"}, 0, "War3Patch.mpq: cursor set to nightelf\n", "",
     {{"previous", R"("human")"}}, kOnce},
    {"ReplaceByKey", {"resource", "replace", "font-en", "font.ttf"}, 0, kReplaced, "", {{"size", "3000"}}, kOnce},
    {"ReplaceByEntryText", {"resource", "replace", "游戏字体 (英文)", "font.ttf"}, 0, kReplaced, "", {}, kOnce},
    {"Delete", {"resource", "delete", "menu-music-roc"}, 0, "War3Patch.mpq: menu-music-roc deleted\n", "", {}, kOnce},
    {"DeleteAbsentByEntryText", {"resource", "delete", "界面背景 (冰封王座)"}, 0, "War3Patch.mpq: unchanged\n", "",
     {{"changed", "false"}}},
    {"Compact", {"compact"}, 0, "War3Patch.mpq: unchanged\n", "", {}, kNever}, // as built: nothing to reclaim
    {"QuietChanged", {"--quiet", "lan-name", "set", "Q"}, 0, "", "", {}, kOnce},
    {"QuietUnchanged", {"cursor", "set", "human", "-q"}, 0, "", "", {{"changed", "false"}}},
    {"QuietValueStillPrinted", {"-q", "lan-name", "get"}, 0, "Host\n", "", {{"value", R"("Host")"}}},
    {.name = "Help", .arguments = {"--help"}, .text = "Exit codes: 0 success", .part = true},
    {.name = "HelpAfterCommand", .arguments = {"lan-name", "--help"}, .text = "CR or LF", .part = true},
    {.name = "HelpBeforeCommand", .arguments = {"-h", "resource"}, .text = "界面背景 (冰封王座)", .part = true},
    {.name = "HelpCommand", .arguments = {"help"}, .text = "4 the archive is locked", .part = true},
    {.name = "HelpCommandForACommand", .arguments = {"help", "cursor"}, .text = "first Cursor= entry", .part = true},
    {"Version", {"--version"}, 0, "ostrawen-cli " OSTRAWEN_VERSION "\n", "", {{"version", "\"" OSTRAWEN_VERSION "\""}}},
    {"VersionShort", {"-V"}, 0, "ostrawen-cli " OSTRAWEN_VERSION "\n", "", {{"command", R"("version")"}}},
    {"ShortUsageWhenBare", {}, 2, "no command given", "usage", {{"error/archive", "null"}}},
    {"UnknownCommand", {"frobnicate"}, 2, "unknown command frobnicate (see 'ostrawen-cli help')", "usage"},
    {"MisspeltCommand", {"stauts"}, 2, "unknown command stauts; did you mean 'status'?", "usage"},
    {"MisspeltCommandWithAction", {"lan-nmae", "get"}, 2, "did you mean 'lan-name'?", "usage"},
    {"HelpForUnknownCommand", {"help", "curser"}, 2, "did you mean 'cursor'?", "usage"},
    {"UsageCheckedBeforeTheGameDirectory", {"cursor", "set", "elf", "--game-dir", "nowhere"}, 2, "unknown race elf",
     "usage"},
    {"ArchiveCheckedBeforeTheGameDirectory", {"lan-name", "get", "--archive", "x.mpq", "--game-dir", "nowhere"}, 2,
     "unknown archive x.mpq", "usage"},
    {"NoGameDirectoryAfterValidWords", {"cursor", "set", "orc", "--game-dir", "nowhere"}, 3, "nowhere", "no-game"},
    {"UnknownArchiveForStatus", {"status", "--archive", "War4.mpq"}, 2, "unknown archive War4.mpq", "usage"},
    {"LockWaitNotSeconds", {"--lock-wait", "soon", "cursor", "get"}, 2, "--lock-wait takes seconds", "usage"},
    {"LockWaitBeyondADay", {"--lock-wait", "86401", "cursor", "get"}, 2, "not 86401", "usage"},
    {"LockWaitInDecimals", {"--lock-wait", "0.25", "cursor", "get"}, 0, "human\n", "", {{"value", R"("human")"}}},
    {"ControlCharactersEscaped", {"lan-name", "get"}, 0, "a\\x1b[31mb\\x7f\\x01\n", "",
     {{"value", R"("a\u001b[31mb\u007f\u0001")"}}, kNever, {{Strings("a\x1b[31mb\x7f\x01")}}},
    {"SetNameWithControlCharacter", {"lan-name", "set", "x\x1by"}, 0, "War3Patch.mpq: LAN name set to x\\x1by\n", "",
     {{"value", R"("x\u001by")"}}, kOnce},
    {.name = "StatusEscapesControlCharacters", .arguments = {"status"}, .text = "GAMENAME \"a\\x1b[31mb\\x7f\\x01\"",
     .json = {{"archives/0/gameName", R"("a\u001b[31mb\u007f\u0001")"}},
     .archive = {{Strings("a\x1b[31mb\x7f\x01")}}, .part = true},
    {"UnknownRaceEscaped", {"cursor", "set", "\x1b[2J"}, 2, "unknown race \\x1b[2J", "usage"},
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
    {"GameDirIsAFile", {"--game-dir", "Warcraft III/war3.exe", "status"}, 3, "not a directory", "no-game"},
    {"MissingArchive", {"--archive", "war3x.mpq", "lan-name", "get"}, 1, "GlobalStrings.fdf: no archive", "no-archive",
     {{"error/archive", R"("War3x.mpq")"}}},
    {"GarbageArchive", {"cursor", "set", "orc"}, 1, "war3skins.txt: malformed", "malformed",
     {{"error/archive", R"("War3Patch.mpq")"}}, kNever, std::vector<MpqBuilderFile>{}},
    {"CompactGarbage", {"compact"}, 1, "War3Patch.mpq: cannot compact: malformed", "malformed", {}, kNever,
     std::vector<MpqBuilderFile>{}},
    {"SetNoFile", {"lan-name", "set", "New"}, 1, "GlobalStrings.fdf: not found", "not-found", {}, kNever, {{kMarker}}},
    {"SetNoEntry", {"lan-name", "set", "New"}, 1, "holds no GAMENAME entry", "no-entry", {}, kNever,
     {{kNoGameNameEntry}}},
    {"SetCursorNoFile", {"cursor", "set", "orc"}, 1, "war3skins.txt: not found", "not-found", {}, kNever, {{kMarker}}},
    {"ExtractAbsentItem", {"resource", "extract", "font-zhcn", "x.ttf"}, 1, "dfst-m3u.ttf: not found", "not-found"},
    // The system's own reason, as strerror or FormatMessageW words it.
    {"ReplaceFromMissingFile", {"resource", "replace", "font-en", "none.ttf"}, 1,
     testkit::kWindows ? "cannot read none.ttf: " : "cannot read none.ttf: No such file or directory",
     "cannot-read-file"},
    {"ReplaceFromADirectory", {"resource", "replace", "font-en", "adir"}, 1,
     testkit::kWindows ? "cannot read adir: " : "cannot read adir: Is a directory", "cannot-read-file"},
    {"ExtractIntoMissingDirectory", {"resource", "extract", "menu-music-roc", "none/music.mp3"}, 1,
     testkit::kWindows ? "cannot write none/music.mp3: " : "cannot write none/music.mp3: No such file or directory",
     "cannot-write-file"},
    {"ExtractOntoADirectory", {"resource", "extract", "menu-music-roc", "adir"}, 1,
     testkit::kWindows ? "cannot write adir: " : "cannot write adir: Is a directory", "cannot-write-file"},
    {"StringsFileAtTheLimit", {"lan-name", "get"}, 0, "Host\n", "", {{"value", R"("Host")"}}, kNever,
     {{Padded(Strings("Host"), kTextLimit)}}},
    {"StringsFileOverTheLimit", {"lan-name", "get"}, 1, "GlobalStrings.fdf: too large", "too-large",
     {{"error/archive", R"("War3Patch.mpq")"}}, kNever, {{Padded(Strings("Host"), kTextLimit + 1)}}},
    {"SkinsFileOverTheLimit", {"cursor", "set", "orc"}, 1, "war3skins.txt: too large", "too-large", {}, kNever,
     {{Padded(Skins("Human"), kTextLimit + 1)}}},
};
INSTANTIATE_TEST_SUITE_P(Rows, CliRunTest, testing::Combine(testing::ValuesIn(kRunCases), testing::Bool()),
    [](auto& i) { return std::string(std::get<0>(i.param).name) + (std::get<1>(i.param) ? "Json" : "Human"); });
// clang-format on

// The reasons the manual page lists under "Reasons": each ".TP" item's ".B" word, "no\-game" -> "no-game".
std::set<std::string> ManualPageReasons() {
    std::ifstream page(OSTRAWEN_CLI_SOURCE_DIR "/ostrawen-cli.1");
    std::set<std::string> reasons;
    bool inside = false, item = false;
    for (std::string line; std::getline(page, line);) {
        if (line.starts_with(".SS") || line.starts_with(".SH"))
            inside = line == ".SS Reasons";
        else if (inside && line == ".TP")
            item = true;
        else if (inside && item && line.starts_with(".B ")) {
            std::string word = line.substr(3);
            for (std::size_t at = 0; (at = word.find("\\-", at)) != std::string::npos;)
                word.erase(at, 1);
            reasons.insert(word);
            item = false;
        }
    }
    return reasons;
}

struct SchemaCase {
    const char* name;
    std::vector<std::string> arguments;
    int exitCode = 0;
    std::optional<std::vector<MpqBuilderFile>> archive = std::nullopt; // replaces War3Patch.mpq; no files: garbage
    bool lockHeld = false;
};

class CliSchemaTest : public CliTest, public testing::WithParamInterface<SchemaCase> {};
// Every subcommand's document, success or failure, has the members scripts rely on, and a failure's reason
// is one the manual page promises.
TEST_P(CliSchemaTest, DocumentFollowsTheManualPage) {
    static const std::set<std::string> reasons = ManualPageReasons();
    ASSERT_TRUE(reasons.count("usage") && reasons.count("locked") && reasons.count("no-game")) << "the page's list";
    const SchemaCase& row = GetParam();
    if (row.archive)
        row.archive->empty() ? testkit::WriteFile(Patch(), "no archive") : testkit::BuildArchive(Patch(), *row.archive);
    testkit::WriteFile(m_root / "font.ttf", testkit::PatternBytes(3000, 11));
    fs::create_directory(m_root / "adir");
    std::unique_ptr<archive_lock::ArchiveLock> lock;
    if (row.lockHeld) {
        archive_lock::LockStatus held = archive_lock::LockStatus::Failed;
        lock = archive_lock::ArchiveLock::Acquire(Patch(), *archive_io::IdentityOf(Patch()),
                                                  std::chrono::milliseconds(0), held);
        ASSERT_EQ(held, archive_lock::LockStatus::Held);
    }
    std::vector<std::string> arguments = row.arguments;
    arguments.insert(arguments.begin(), {"--json", "--lock-wait", "0"});
    const bool noGame = row.exitCode == 3;
    const CliResult result = Run(arguments, false, !noGame);
    EXPECT_EQ(result.exitCode, row.exitCode) << result.err;
    auto document = Document(result);
    EXPECT_EQ(document["format"], "1");
    EXPECT_TRUE(document["command"].starts_with("\"")) << document["command"];
    const std::string changed = document["changed"];
    EXPECT_TRUE(changed == "true" || (changed == "false")) << changed;
    EXPECT_TRUE(row.exitCode == 0 || changed == "false") << "a failure changed nothing";
    if (document.count("gameDir")) {
        const std::string dir = document["gameDir"];
        EXPECT_FALSE(dir.ends_with("/\"") || dir.ends_with("\\\\\"")) << dir;
    }
    if (row.exitCode == 0) {
        EXPECT_EQ(document.count("error"), 0u);
        return;
    }
    const std::string reason = document["error/reason"];
    ASSERT_TRUE(reason.size() > 2 && reason.front() == '"') << reason;
    EXPECT_EQ(reasons.count(reason.substr(1, reason.size() - 2)), 1u) << reason << " is not in the manual page";
    EXPECT_EQ(reason.find(' '), std::string::npos);
    EXPECT_EQ(document["error/exitCode"], std::to_string(row.exitCode));
    EXPECT_TRUE(document["error/message"].starts_with("\"")) << document["error/message"];
    EXPECT_TRUE(document["error/archive"] == "null" || document["error/archive"].starts_with("\""));
}

// clang-format off
const SchemaCase kSchemaCases[] = {
    {"Status", {"status"}},
    {"StatusGarbageArchive", {"status"}, 0, std::vector<MpqBuilderFile>{}},
    {"StatusNoGame", {"status"}, 3},
    {"StatusLocked", {"status"}, 0, std::nullopt, true},
    {"LanNameGet", {"lan-name", "get"}},
    {"LanNameGetMalformed", {"lan-name", "get"}, 1, std::vector<MpqBuilderFile>{}},
    {"LanNameGetLocked", {"lan-name", "get"}, 4, std::nullopt, true},
    {"LanNameSet", {"lan-name", "set", "New"}},
    {"LanNameSetNoEntry", {"lan-name", "set", "New"}, 1, {{kNoGameNameEntry}}},
    {"LanNameSetUsage", {"lan-name", "set", "a\"b"}, 2},
    {"CursorGet", {"cursor", "get"}},
    {"CursorGetNoArchive", {"cursor", "get", "--archive", "war3.mpq"}, 1},
    {"CursorSet", {"cursor", "set", "orc"}},
    {"CursorSetNotFound", {"cursor", "set", "orc"}, 1, {{kMarker}}},
    {"CursorSetUsage", {"cursor", "set", "elf"}, 2},
    {"ResourceList", {"resource", "list"}},
    {"ResourceListMalformed", {"resource", "list"}, 1, std::vector<MpqBuilderFile>{}},
    {"ResourceExtract", {"resource", "extract", "menu-music-roc", "music.mp3"}},
    {"ResourceExtractUnwritable", {"resource", "extract", "menu-music-roc", "adir"}, 1},
    {"ResourceReplace", {"resource", "replace", "font-en", "font.ttf"}},
    {"ResourceReplaceUnreadable", {"resource", "replace", "font-en", "none.ttf"}, 1},
    {"ResourceDelete", {"resource", "delete", "menu-music-roc"}},
    {"ResourceDeleteLocked", {"resource", "delete", "menu-music-roc"}, 4, std::nullopt, true},
    {"Compact", {"compact"}},
    {"CompactMalformed", {"compact"}, 1, std::vector<MpqBuilderFile>{}},
    {"TooLarge", {"lan-name", "get"}, 1, {{Padded(Strings("Host"), kTextLimit + 1)}}},
    {"Help", {"help"}},
    {"HelpUnknown", {"help", "nothing"}, 2},
    {"Version", {"--version"}},
    {"Bare", {}, 2},
};
// clang-format on
INSTANTIATE_TEST_SUITE_P(Rows, CliSchemaTest, testing::ValuesIn(kSchemaCases),
                         [](const auto& info) { return std::string(info.param.name); });

// "-" as the file: the resource's bytes alone on standard output, which JSON cannot share.
TEST_F(CliTest, ExtractToStandardOutput) {
    const CliResult human = Run({"resource", "extract", "menu-music-roc", "-"});
    EXPECT_EQ(human.exitCode, 0) << human.err;
    EXPECT_TRUE(human.err.empty()) << human.err;
    const std::vector<std::uint8_t> stored = testkit::PatternBytes(5000, 7);
    EXPECT_EQ(human.out, std::string(stored.begin(), stored.end()));
    const CliResult absent = Run({"resource", "extract", "font-en", "-"});
    EXPECT_EQ(std::to_string(absent.exitCode) + absent.out, "1");
    const CliResult json = Run({"resource", "extract", "menu-music-roc", "-"}, true);
    EXPECT_EQ(json.exitCode, 2);
    EXPECT_EQ(Document(json)["error/reason"], R"("usage")");
}

struct ChineseCase {
    const char* name;
    std::vector<std::pair<const char*, const char*>> environment; // LC_ALL, LC_MESSAGES, LANG as set
    std::vector<std::string> arguments;
    std::string expected; // a part of stdout and stderr together
};

class CliChineseTest : public CliTest, public testing::WithParamInterface<ChineseCase> {};
// The messages follow the locale's variables as POSIX orders them, without the locale being installed.
TEST_P(CliChineseTest, MessagesInTheUsersLanguage) {
    const ChineseCase& row = GetParam();
    // A Windows program reads the display language, which Wine takes from its own start (the Linux
    // suite runs the Windows program with it: cli_wine_language_test.cpp), not from these variables.
    if (testkit::kWindows)
        GTEST_SKIP() << "Windows chooses by the user's display language";
    std::vector<std::unique_ptr<testkit::ScopedEnv>> environment;
    for (const char* name : {"LC_ALL", "LC_MESSAGES", "LANG"}) {
        const auto set = std::find_if(row.environment.begin(), row.environment.end(),
                                      [&](const auto& entry) { return std::string(entry.first) == name; });
        environment.push_back(
            std::make_unique<testkit::ScopedEnv>(name, set == row.environment.end() ? "" : set->second));
    }
    const CliResult result = Run(row.arguments);
    EXPECT_NE((result.out + result.err).find(row.expected), std::string::npos) << result.out << result.err;
}

// clang-format off
const ChineseCase kChineseCases[] = {
    {"LangChinese", {{"LANG", "zh_CN.UTF-8"}}, {"cursor", "set", "elf"},
     "ostrawen-cli: 未知种族 elf（human、orc、nightelf 或 undead）\n"},
    {"LangChineseSucceeds", {{"LANG", "zh_CN.UTF-8"}}, {"lan-name", "set", "大厅"},
     "War3Patch.mpq: 局域网名称已设为 大厅\n"},
    {"LangChineseUnchanged", {{"LANG", "zh_CN.UTF-8"}}, {"cursor", "set", "human"}, "War3Patch.mpq: 未更改\n"},
    {"LangChineseHelp", {{"LANG", "zh_CN.UTF-8"}}, {"help", "compact"}, "重写存档"},
    {"LangChineseSuggestion", {{"LANG", "zh_CN.UTF-8"}}, {"stauts"}, "未知命令 stauts；您是否想输入 'status'？"},
    {"LangChineseFailure", {{"LANG", "zh_CN.UTF-8"}}, {"resource", "extract", "font-en", "x.ttf"},
     "无法读取 Fonts\\FRIZQT__.TTF: 未找到"},
    {"LcAllBeforeLang", {{"LC_ALL", "zh_SG.UTF-8"}, {"LANG", "en_US.UTF-8"}}, {"cursor", "set", "elf"}, "未知种族"},
    {"LcMessagesBeforeLang", {{"LC_MESSAGES", "zh_Hans_CN"}, {"LANG", "C"}}, {"cursor", "set", "elf"}, "未知种族"},
    {"BareZh", {{"LANG", "zh"}}, {"cursor", "set", "elf"}, "未知种族"},
    {"EnglishLcAllWins", {{"LC_ALL", "en_US.UTF-8"}, {"LANG", "zh_CN.UTF-8"}}, {"cursor", "set", "elf"},
     "unknown race elf"},
    {"TraditionalIsEnglish", {{"LANG", "zh_TW.UTF-8"}}, {"cursor", "set", "elf"}, "unknown race elf"},
    {"CIsEnglish", {{"LANG", "C.UTF-8"}}, {"cursor", "set", "elf"}, "unknown race elf"},
    {"JsonStaysEnglish", {{"LANG", "zh_CN.UTF-8"}}, {"--json", "cursor", "set", "elf"},
     R"x("message":"unknown race elf (human, orc, nightelf or undead)")x"},
};
// clang-format on
INSTANTIATE_TEST_SUITE_P(Rows, CliChineseTest, testing::ValuesIn(kChineseCases),
                         [](const auto& info) { return std::string(info.param.name); });

// A Chinese LAN name set and read back in a game directory whose path holds Chinese characters and
// spaces: each argument reaches the program whole, whatever code page the system runs in, and only
// that directory's archive changes.
TEST_F(CliTest, ChineseNameInAChineseDirectoryWithSpaces) {
    const fs::path gameDir = m_root / u8"游戏 目录" / u8"魔兽争霸 III";
    fs::create_directories(gameDir);
    fs::copy_file(GameDir() / "war3.exe", gameDir / "war3.exe");
    fs::copy_file(Patch(), gameDir / "War3Patch.mpq");
    const std::u8string dirText = gameDir.u8string();
    const std::string dir(dirText.begin(), dirText.end());
    std::string dirJson = "\"";
    for (const char c : dir)
        dirJson += c == '\\' ? std::string("\\\\") : std::string(1, c);
    dirJson += "\"";
    const auto before = StateOf(Patch());

    const CliResult set = Run({"--game-dir", dir, "lan-name", "set", "大厅 7 主机"}, false, false);
    EXPECT_EQ(std::to_string(set.exitCode) + " " + set.out + set.err, "0 War3Patch.mpq: LAN name set to 大厅 7 主机\n");
    const CliResult get = Run({"--game-dir", dir, "lan-name", "get"}, false, false);
    EXPECT_EQ(std::to_string(get.exitCode) + " " + get.out + get.err, "0 大厅 7 主机\n");
    auto document = Document(Run({"--game-dir", dir, "lan-name", "get"}, true, false));
    EXPECT_EQ(document["value"], "\"大厅 7 主机\"");
    EXPECT_EQ(document["gameDir"], dirJson);
    EXPECT_TRUE(StateOf(Patch()) == before) << "the archive of the other directory was written";
}

// A resource of several pieces each way: stored, found unchanged by a comparison over every piece,
// replaced when only its last byte differs, listed and extracted byte for byte.
TEST_F(CliTest, LargeResourceInPieces) {
    const std::vector<std::uint8_t> big = testkit::PatternBytes((3u << 20) + 5, 4, false);
    std::vector<std::uint8_t> lastByte = big;
    lastByte.back() ^= 1;
    testkit::WriteFile(m_root / "big.mp3", big);
    testkit::WriteFile(m_root / "last.mp3", lastByte);
    const std::string size = std::to_string(big.size());
    const struct {
        const char* name;
        std::vector<std::string> arguments;
        std::string out;
        bool writes;
    } steps[] = {
        // clang-format off
        {"Store", {"resource", "replace", "menu-music-roc", "big.mp3"},
         "War3Patch.mpq: menu-music-roc replaced from big.mp3\n", true},
        {"SameBytesAgain", {"resource", "replace", "menu-music-roc", "big.mp3"}, "War3Patch.mpq: unchanged\n", false},
        {"LastByteDiffers", {"resource", "replace", "menu-music-roc", "last.mp3"},
         "War3Patch.mpq: menu-music-roc replaced from last.mp3\n", true},
        {"List", {"resource", "list"}, "menu-music-roc\t" + size + kList.substr(kList.find("\tSound")), false},
        {"Extract", {"resource", "extract", "menu-music-roc", "out.mp3"},
         "War3Patch.mpq: menu-music-roc extracted to out.mp3 (" + size + " bytes)\n", false},
        // clang-format on
    };
    for (const auto& step : steps) {
        SCOPED_TRACE(step.name);
        const auto before = StateOf(Patch());
        const CliResult result = Run(step.arguments);
        EXPECT_EQ(result.exitCode, 0) << result.err;
        EXPECT_EQ(result.out, step.out);
        EXPECT_EQ(StateOf(Patch()) != before, step.writes);
    }
    EXPECT_EQ(testkit::ReadFile(m_root / "out.mp3"), lastByte);
}

TEST_F(CliTest, ProgressBarOnlyOnATerminalWithoutQuiet) {
    const std::vector<std::string> commands[] = {{"compact"}, {"resource", "replace", "menu-music-roc", "big.mp3"}};
    for (const auto& command : commands) {
        for (const bool quiet : {false, true}) {
            SCOPED_TRACE(command[0] + (quiet ? " quiet" : ""));
            // A 3 MiB resource goes to the worker in several chunks; new bytes each time, so each run writes.
            testkit::WriteFile(m_root / "big.mp3", testkit::PatternBytes(3u << 20, quiet ? 1 : 2, false));
            // Space for compaction to reclaim, without which it writes nothing and has no steps to show.
            if (command[0] == "compact") {
                EXPECT_EQ(Run({"resource", "replace", "menu-music-roc", "big.mp3", "-q"}).exitCode, 0);
                EXPECT_EQ(Run({"resource", "delete", "menu-music-roc", "-q"}).exitCode, 0);
            }
            std::vector<std::string> arguments = command;
            arguments.push_back(quiet ? "-q" : "--");
            // Windows gives no pseudo-terminal here: there stderr is a file, and no bar may be drawn.
            const bool terminal = !testkit::kWindows;
            const std::string err = Run(arguments, false, true, terminal).err;
            // Drawn as "War3Patch.mpq [###   ] 40%", and wiped before the result is printed.
            EXPECT_EQ(err.find("War3Patch.mpq [") != std::string::npos && err.ends_with("\r"), terminal && !quiet)
                << err;
            if (command[0] == "resource") {
                EXPECT_EQ(err.find("100%") != std::string::npos, terminal && !quiet)
                    << "a large write ends at 100%: " << err;
            }
        }
    }
}

// clang-format off
const std::pair<std::vector<std::string>, bool> kHostileCommands[] = {{{"status"}, false}, {{"lan-name", "get"}, false},
    {{"cursor", "get"}, false}, {{"resource", "list"}, false}, {{"lan-name", "set", "Hostile"}, true},
    {{"resource", "delete", "menu-model-tft"}, true}};
// clang-format on

class CliHostileTest : public CliTest, public testing::WithParamInterface<testkit::HostileShape> {};
// Each command ends normally on each hostile archive; only a successful write changes the archive.
TEST_P(CliHostileTest, EndsNormallyAndLeavesTheArchive) {
    for (const auto& [arguments, writes] : kHostileCommands) {
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
      {"War3x.mpq", {Strings("X"), Skins("NightElf")}}, {"War3.mpq", {Strings("R"), Skins("Human")}}},
     R"(true "L" "War3xLocal.mpq")",
     "The Frozen Throne: LAN name \"L\" from War3xLocal.mpq; cursor \"orc\" from War3Patch.mpq\n"
     "Reign of Chaos: LAN name \"R\" from War3.mpq; cursor \"orc\" from War3Patch.mpq\n"},
    {"FileWithoutGameNameStillDecides", {{"War3x.mpq", {kNoGameNameEntry}},
      {"War3.mpq", {Strings("R"), Skins("Undead")}}}, R"(true null "War3x.mpq")",
     "The Frozen Throne: LAN name none from War3x.mpq; cursor \"undead\" from War3.mpq\n"
     "Reign of Chaos: LAN name \"R\" from War3.mpq; cursor \"undead\" from War3.mpq\n"},
    {"UnreadableArchiveMakesItUnknown", {{"War3xLocal.mpq", {}}, {"War3.mpq", {Strings("R"), Skins("Human")}}},
     R"(false null "War3xLocal.mpq")",
     "The Frozen Throne: LAN name unknown from War3xLocal.mpq; cursor unknown from War3xLocal.mpq\n"
     "Reign of Chaos: LAN name \"R\" from War3.mpq; cursor \"human\" from War3.mpq\n"},
    {"StringsFileOverTheLimitMakesItUnknown", {{"War3Patch.mpq", {Padded(Strings("P"), kTextLimit + 1), Skins("Orc")}},
      {"War3.mpq", {Strings("R"), Skins("Human")}}}, R"(false null "War3Patch.mpq")",
     "The Frozen Throne: LAN name unknown from War3Patch.mpq; cursor \"orc\" from War3Patch.mpq\n"
     "Reign of Chaos: LAN name unknown from War3Patch.mpq; cursor \"orc\" from War3Patch.mpq\n"},
    {"NoArchiveHoldsTheFile", {{"War3Patch.mpq", {kMarker}}, {"War3.mpq", {kMarker}}}, "true null null",
     "The Frozen Throne: LAN name none; cursor none\nReign of Chaos: LAN name none; cursor none\n"},
};
// clang-format on

INSTANTIATE_TEST_SUITE_P(Rows, CliEffectiveTest, testing::ValuesIn(kEffectiveCases),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(CliTest, StatusFoundThroughWineNeitherRecoversNorWaitsForALock) {
    testkit::BuildArchive(GameDir() / "War3x.mpq", {kMarker});
    testkit::BuildArchive(GameDir() / "War3.mpq", {Strings("R\xFF")});
    // Whatever the journal's name holds, putting it right is a write; status only reports it, and
    // a file that is not a journal of ours as such.
    testkit::WriteFile(GameDir() / "War3x.mpq-journal", testkit::PatternBytes(700, 9, false));
    const auto before = std::pair(StateOf(Patch()), StateOf(GameDir() / "War3x.mpq-journal"));
    // A Wine prefix whose registry names C:\Warcraft III, drive C being the test's directory, as the
    // Linux build reads it; a Windows program reads the registry through the system instead.
    if (!testkit::kWindows)
        ExpectFoundThroughWinePrefix();

    // Another process's operation holds War3Patch.mpq: our own lock, taken here.
    archive_lock::LockStatus held = archive_lock::LockStatus::Failed;
    auto lock = archive_lock::ArchiveLock::Acquire(Patch(), *archive_io::IdentityOf(Patch()),
                                                   std::chrono::milliseconds(0), held);
    ASSERT_EQ(held, archive_lock::LockStatus::Held);
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(Document(Run({"status"}, true))["archives/0/why"], R"("locked")");
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(3));
    // A write waits --lock-wait seconds, then gives up with "try again" (4).
    const auto waitStart = std::chrono::steady_clock::now();
    const CliResult write = Run({"--lock-wait", "1.5", "lan-name", "set", "Blocked"});
    const auto waited = std::chrono::steady_clock::now() - waitStart;
    EXPECT_EQ(write.exitCode, 4);
    EXPECT_EQ(write.err, "ostrawen-cli: War3Patch.mpq: cannot read UI\\FrameDef\\GlobalStrings.fdf: locked by another "
                         "operation; try again\n");
    EXPECT_GE(waited, std::chrono::milliseconds(1500));
    EXPECT_LT(waited, std::chrono::seconds(8)) << "the default wait is 10 s";
    auto locked = Document(Run({"--lock-wait", "0", "cursor", "set", "orc"}, true));
    EXPECT_EQ(locked["error/reason"] + locked["error/exitCode"] + locked["changed"], R"("locked"4false)");
    lock.reset();
    EXPECT_EQ(std::pair(StateOf(Patch()), StateOf(GameDir() / "War3x.mpq-journal")), before);
}

// Where a copy of the command line without --game-dir finds the game: war3.exe beside it, the
// registry (a Wine prefix's, so on Linux only: a Windows program reads the system's), PD_Set.ini
// beside it. A registry entry whose directory lacks war3.exe counts for nothing.
enum class Entry { None, Game, Stale };
struct SearchCase {
    const char* name;
    bool war3Beside;
    Entry registry;
    Entry settings;      // PD_Set.ini: Game names the game, Stale a directory without war3.exe
    const char* foundBy; // null: no game directory (exit code 3)
};
void PrintTo(const SearchCase& c, std::ostream* os) {
    *os << c.name;
}
class CliSearchTest : public CliTest, public testing::WithParamInterface<SearchCase> {};

TEST_P(CliSearchTest, FindsTheGameWhereTheDecisionDoes) {
    const SearchCase& c = GetParam();
    if (testkit::kWindows && c.registry == Entry::Game && !c.war3Beside)
        GTEST_SKIP() << "the registry a Windows program reads is the system's";
    const fs::path tool = m_root / "tool";
    fs::create_directories(tool);
    fs::create_directories(m_root / "Empty");
    const fs::path program = tool / fs::path(OSTRAWEN_CLI).filename();
    fs::copy_file(OSTRAWEN_CLI, program);
    if (c.war3Beside)
        testkit::WriteFile(tool / "war3.exe", "MZ");
    if (c.settings != Entry::None)
        testkit::WriteFile(
            tool / "PD_Set.ini",
            "[War3Main]\r\nWarPath=" + (c.settings == Entry::Game ? GameDir() : m_root / "Empty").string() + "\r\n");
    std::optional<testkit::ScopedEnv> wine;
    if (!testkit::kWindows && c.registry != Entry::None) {
        const fs::path prefix = m_root / "prefix";
        fs::create_directories(prefix / "dosdevices");
        fs::create_directory_symlink(m_root.path(), prefix / "dosdevices" / "c:");
        testkit::WriteFile(prefix / "user.reg",
                           std::string("WINE REGISTRY Version 2\n\n[Software\\\\Blizzard Entertainment\\\\Warcraft "
                                       "III] 1\n\"InstallPath\"=\"C:\\\\") +
                               (c.registry == Entry::Game ? "Warcraft III" : "Empty") + "\"\n");
        wine.emplace("WINEPREFIX", prefix.string());
    }

    const testkit::ProgramResult run = testkit::RunProgram(program, {"--json", "status"}, m_root.path());
    auto document = Document({run.exitCode, run.out, run.err});
    if (c.foundBy == nullptr) {
        EXPECT_EQ(run.exitCode, 3) << run.err;
        EXPECT_FALSE(document["error/reason"].empty()) << run.out;
        EXPECT_EQ(document.count("gameDir"), 0u) << run.out;
        return;
    }
    EXPECT_EQ(run.exitCode, 0) << run.err;
    EXPECT_EQ(document["foundBy"], std::string("\"") + c.foundBy + "\"");
    const fs::path expected = c.war3Beside                ? tool
                              : c.registry == Entry::Game ? m_root / "prefix" / "dosdevices" / "c:" / "Warcraft III"
                                                          : GameDir();
    std::string dirJson;
    for (const char ch : expected.string())
        dirJson += ch == '\\' ? std::string("\\\\") : std::string(1, ch);
    EXPECT_EQ(document["gameDir"], "\"" + dirJson + "\"");
    // The archive is read where the game was found.
    if (!c.war3Beside) {
        EXPECT_EQ(document["archives/0/gameName"], "\"Host\"");
    }
}

// clang-format off
const SearchCase kSearchCases[] = {
    {"War3BesideWinsOverEverything", true, Entry::Game, Entry::Game, "program directory"},
    {"RegistryBeforeSettings", false, Entry::Game, Entry::Stale, "registry"},
    {"StaleRegistryGivesWayToSettings", false, Entry::Stale, Entry::Game, "settings file"},
    {"StaleRegistryAndStaleSettings", false, Entry::Stale, Entry::Stale, nullptr},
    {"StaleRegistryAlone", false, Entry::Stale, Entry::None, nullptr},
};
// clang-format on
INSTANTIATE_TEST_SUITE_P(Rows, CliSearchTest, testing::ValuesIn(kSearchCases),
                         [](const auto& info) { return std::string(info.param.name); });

} // namespace
} // namespace clitest
