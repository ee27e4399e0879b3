// What a script sees for each exit code in both output modes: the value (or nothing, JSON null) of a get;
// on failure one stderr line, an "error" member and the archive as it was; and on hostile archives.
#include "cli_fixture.h"

#include "testkit/hostile_archives.h"
#include "testkit/mpq_fixtures.h"

namespace clitest {
namespace {

struct RunCase {
    const char* name;
    std::vector<std::string> arguments;
    int exitCode;
    std::string text;   // on success all of stdout, on failure a part of the stderr line
    std::string reason; // of the JSON error
    std::vector<std::pair<std::string, std::string>> json = {}; // members of the document, as written
    std::optional<ArchiveContent> archive = std::nullopt;       // replaces War3Patch.mpq
    bool garbage = false;                                       // War3Patch.mpq is no archive
    bool gameDir = true;
};

class CliRunTest : public CliTest, public testing::WithParamInterface<std::tuple<RunCase, bool>> {};

TEST_P(CliRunTest, ExitCodeOutputAndArchive) {
    const auto& [row, json] = GetParam();
    if (row.archive)
        BuildGameArchive(Patch(), *row.archive);
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
        EXPECT_EQ(result.out, failed ? "" : row.text);
        return;
    }
    const JsonDocument document = Document(result);
    for (const auto& [path, value] : row.json)
        EXPECT_EQ(At(document, path), value);
    EXPECT_EQ(At(document, "error/reason") + At(document, "error/exitCode"),
              failed ? '"' + row.reason + '"' + std::to_string(row.exitCode) : "<no error/reason><no error/exitCode>");
    EXPECT_TRUE(!failed ||
                (At(document, "error/message").find(row.text) != std::string::npos && document.count("error/archive")));
}

// clang-format off
const RunCase kRunCases[] = {
    {"LanName", {"lan-name", "get"}, 0, "Host\n", "", {{"value", R"("Host")"}, {"invalidUtf8", "false"}}},
    {"LanNameInvalidUtf8", {"lan-name", "get"}, 0, "A\uFFFDB\n", "", {{"value", "\"A\uFFFDB\""}, {"invalidUtf8", "true"}},
     ArchiveContent{"A\xFF" "B"}},
    {"LanNameRealReplacementChar", {"lan-name", "get"}, 0, "A\uFFFD\n", "", {{"invalidUtf8", "false"}}, ArchiveContent{"A\uFFFD"}},
    {"NoStringsFile", {"lan-name", "get"}, 0, "", "", {{"value", "null"}}, ArchiveContent{}},
    {"NoGameNameEntry", {"lan-name", "get"}, 0, "", "", {{"value", "null"}}, ArchiveContent{{}, {}, {kNoGameNameEntry}}},
    {"Cursor", {"cursor", "get"}, 0, "human\n", "", {{"value", R"("human")"}}},
    {"NoSkinsFile", {"cursor", "get"}, 0, "", "", {{"value", "null"}}, ArchiveContent{"Host"}},
    {"UnknownRaceWord", {"cursor", "get"}, 0, "", "", {{"value", "null"}}, ArchiveContent{"Host", "Dwarf"}},
    {"QuietChanged", {"--quiet", "lan-name", "set", "Q"}, 0, "", "", {{"changed", "true"}}},
    {"QuietUnchanged", {"cursor", "set", "human", "-q"}, 0, "", "", {{"changed", "false"}}},
    {"QuietValueStillPrinted", {"-q", "lan-name", "get"}, 0, "Host\n", "", {{"value", R"("Host")"}}},
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
    {"GameDirIsAFile", {"--game-dir", "{scratch}/Warcraft III/war3.exe", "status"}, 3, "not a directory",
     "no game directory", {}, std::nullopt, false, false},
    {"NoGameDirFound", {"lan-name", "get"}, 3, "no game directory found", "no game directory", {}, std::nullopt, false, false},
    {"MissingArchive", {"--archive", "war3x.mpq", "lan-name", "get"}, 1,
     "GlobalStrings.fdf: no archive", "no archive", {{"error/archive", R"("War3x.mpq")"}}},
    {"GarbageArchive", {"cursor", "set", "orc"}, 1, "war3skins.txt: malformed", "malformed",
     {{"error/archive", R"("War3Patch.mpq")"}}, std::nullopt, true},
    {"CompactGarbage", {"compact"}, 1, "War3Patch.mpq: cannot compact: malformed", "malformed", {}, std::nullopt, true},
    {"SetWithoutTheFile", {"lan-name", "set", "New"}, 1, "GlobalStrings.fdf: not found", "not found", {}, ArchiveContent{}},
    {"CursorWithoutTheFile", {"cursor", "set", "orc"}, 1, "war3skins.txt: not found", "not found", {}, ArchiveContent{}},
    {"ExtractAbsentItem", {"resource", "extract", "font-zhcn", "{scratch}/f"}, 1, "dfst-m3u.ttf: not found", "not found"},
    {"ReplaceFromMissingFile", {"resource", "replace", "font-en", "{scratch}/none"}, 1, "cannot read", "cannot read file"},
};
// clang-format on

INSTANTIATE_TEST_SUITE_P(Rows, CliRunTest, testing::Combine(testing::ValuesIn(kRunCases), testing::Bool()),
                         [](const auto& info) {
                             return std::string(std::get<0>(info.param).name) +
                                    (std::get<1>(info.param) ? "Json" : "Human");
                         });

TEST_F(CliTest, HelpSucceedsWithTheText) {
    for (const auto& [arguments, part] :
         std::vector<std::pair<std::vector<std::string>, std::string>>{{{"--help"}, "Exit codes: 0 success"},
                                                                       {{"lan-name", "--help"}, "CR or LF"},
                                                                       {{"-h", "resource"}, "界面背景 (冰封王座)"}}) {
        for (const bool json : {false, true}) {
            const CliResult result = Run(arguments, json);
            EXPECT_TRUE(result.exitCode == 0 && result.err.empty()) << result.err;
            EXPECT_NE((json ? At(Document(result), "help") : result.out).find(part), std::string::npos) << result.out;
        }
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
        ASSERT_TRUE(result.exitCode == 0 || result.exitCode == 1) << "exit " << result.exitCode << ": " << result.err;
        const JsonDocument document = Document(result);
        EXPECT_TRUE(result.exitCode == 0 ||
                    (result.err.starts_with("ostrawen-cli: War3Patch.mpq: ") &&
                     At(document, "error/archive") == R"("War3Patch.mpq")" && document.count("error/reason")))
            << result.out << result.err;
        if (result.exitCode == 1 || !writes) {
            EXPECT_EQ(testkit::FileFingerprint(Patch()), before);
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Rows, CliHostileTest, testing::ValuesIn(testkit::AllHostileShapes()),
                         [](const auto& info) { return std::string(testkit::HostileShapeName(info.param)); });

} // namespace
} // namespace clitest
