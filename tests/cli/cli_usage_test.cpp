// Exit codes 1, 2 and 3: what a script sees when it typed something wrong, when there is no game,
// and when the archive cannot do what was asked; and the help texts.
#include "cli_fixture.h"

#include "testkit/mpq_fixtures.h"

#include <filesystem>

namespace clitest {
namespace {

namespace fs = std::filesystem;

struct FailureCase {
    const char* name;
    std::vector<std::string> arguments;
    int exitCode;
    const char* reason;      // the JSON error's reason
    const char* stderrPart;  // within the one stderr line
    const char* damage = ""; // "garbage", "truncate", "nothing-held" or "" for the standard game directory
    bool withGameDir = true;
};

class CliFailureTest : public CliTest, public testing::WithParamInterface<std::tuple<FailureCase, bool>> {};

TEST_P(CliFailureTest, FailsWithItsCodeAndOneLineAndLeavesTheArchive) {
    const auto& [row, json] = GetParam();
    const std::string damage = row.damage;
    if (damage == "garbage")
        testkit::WriteFile(Patch(), testkit::PatternBytes(70000, 3, false));
    if (damage == "truncate")
        fs::resize_file(Patch(), fs::file_size(Patch()) / 2);
    if (damage == "nothing-held")
        BuildGameArchive(Patch(), {});
    const FileState before = StateOf(Patch());

    std::vector<std::string> arguments = Expand(row.arguments);
    if (row.withGameDir)
        arguments.insert(arguments.begin(), {"--game-dir", GameDir().string()});
    if (json)
        arguments.insert(arguments.begin(), "--json");
    // No game beside the program, in a Wine prefix or a settings file: the search finds nothing.
    const CliResult result =
        RunCli(arguments, m_root.path(),
               {{"WINEPREFIX", (m_root / "empty-prefix").string()}, {"HOME", m_root.path().string()}});

    EXPECT_EQ(result.exitCode, row.exitCode) << result.err;
    // One line on stderr, naming the reason.
    EXPECT_EQ(result.err.rfind("ostrawen-cli: ", 0), 0u) << result.err;
    EXPECT_EQ(std::count(result.err.begin(), result.err.end(), '\n'), 1) << result.err;
    EXPECT_NE(result.err.find(row.stderrPart), std::string::npos) << result.err;
    if (json) {
        const JsonValue document = Document(result);
        EXPECT_EQ(StringAt(document, "error/reason"), row.reason);
        const JsonValue* code = document.At("error/exitCode");
        ASSERT_NE(code, nullptr);
        EXPECT_EQ(code->number, row.exitCode);
        EXPECT_NE(StringAt(document, "error/message").find(row.stderrPart), std::string::npos);
    } else {
        EXPECT_EQ(result.out, "");
    }
    EXPECT_TRUE(StateOf(Patch()) == before) << "the archive changed";
}

const FailureCase kFailureCases[] = {
    {"NoCommand", {}, 2, "usage", "no command"},
    {"UnknownCommand", {"frobnicate"}, 2, "usage", "unknown command frobnicate"},
    {"UnknownOption", {"status", "--verbose"}, 2, "usage", "unknown option --verbose"},
    {"OptionWithoutValue", {"status", "--archive"}, 2, "usage", "--archive needs a value"},
    {"UnknownArchive", {"--archive", "War4.mpq", "lan-name", "get"}, 2, "usage", "unknown archive War4.mpq"},
    {"UnknownRace", {"cursor", "set", "dwarf"}, 2, "usage", "unknown race dwarf"},
    {"NameWithQuote", {"lan-name", "set", "a\"b"}, 2, "usage", "may not hold"},
    {"NameWithLineFeed", {"lan-name", "set", "a\nb"}, 2, "usage", "may not hold"},
    {"NameWithCarriageReturn", {"lan-name", "set", "a\rb"}, 2, "usage", "may not hold"},
    {"UnknownResource", {"resource", "delete", "music"}, 2, "usage", "unknown resource item music"},
    {"ExtraWord", {"lan-name", "get", "extra"}, 2, "usage", "wrong arguments for lan-name"},
    {"MissingWord", {"resource", "extract", "font-en"}, 2, "usage", "wrong arguments for resource"},
    {"GameDirIsAFile",
     {"--game-dir", "{dir}/war3.exe", "status"},
     3,
     "no game directory",
     "not a directory",
     "",
     false},
    {"NoGameDirFound", {"lan-name", "get"}, 3, "no game directory", "no game directory found", "", false},
    {"MissingArchive",
     {"--archive", "war3x.mpq", "lan-name", "get"},
     1,
     "no archive",
     "War3x.mpq: cannot read UI\\FrameDef\\GlobalStrings.fdf: no archive"},
    {"GarbageArchive",
     {"cursor", "set", "orc"},
     1,
     "malformed",
     "War3Patch.mpq: cannot read UI\\war3skins.txt: malformed",
     "garbage"},
    {"TruncatedArchive", {"lan-name", "set", "New"}, 1, "malformed", "War3Patch.mpq: cannot read", "truncate"},
    {"SetWithoutTheFile", {"lan-name", "set", "New"}, 1, "not found", "GlobalStrings.fdf: not found", "nothing-held"},
    {"CursorWithoutTheFile", {"cursor", "set", "orc"}, 1, "not found", "war3skins.txt: not found", "nothing-held"},
    {"ExtractAbsentItem",
     {"resource", "extract", "font-zhcn", "{scratch}/font.ttf"},
     1,
     "not found",
     "cannot read Fonts\\dfst-m3u.ttf: not found"},
    {"ReplaceFromMissingFile",
     {"resource", "replace", "font-en", "{scratch}/none.ttf"},
     1,
     "cannot read file",
     "cannot read"},
    {"CompactGarbage", {"compact"}, 1, "malformed", "War3Patch.mpq: cannot compact: malformed", "garbage"},
};

INSTANTIATE_TEST_SUITE_P(Rows, CliFailureTest, testing::Combine(testing::ValuesIn(kFailureCases), testing::Bool()),
                         [](const auto& info) {
                             return std::string(std::get<0>(info.param).name) +
                                    (std::get<1>(info.param) ? "Json" : "Human");
                         });

struct HelpCase {
    const char* name;
    std::vector<std::string> arguments;
    std::vector<std::string> textParts;
};

class CliHelpTest : public CliTest, public testing::WithParamInterface<std::tuple<HelpCase, bool>> {};

TEST_P(CliHelpTest, PrintsTheTextAndSucceeds) {
    const auto& [row, json] = GetParam();
    const CliResult result = Run(row.arguments, json);
    EXPECT_EQ(result.exitCode, 0) << result.err;
    EXPECT_EQ(result.err, "");
    const std::string text = json ? StringAt(Document(result), "help") : result.out;
    for (const std::string& part : row.textParts)
        EXPECT_NE(text.find(part), std::string::npos) << part << " not in:\n" << text;
}

const HelpCase kHelpCases[] = {
    {"Program", {"--help"}, {"Usage: ostrawen-cli [OPTIONS] COMMAND", "Exit codes", "lan-name get|set"}},
    {"SubcommandAfter", {"lan-name", "--help"}, {"Usage: ostrawen-cli lan-name get", "'\"', CR or LF"}},
    {"OptionBefore", {"-h", "cursor"}, {"ostrawen-cli cursor set human|orc|nightelf|undead"}},
    {"ResourceKeysAndEntries",
     {"resource", "--help"},
     {"menu-model-tft",
      "\xE7\x95\x8C\xE9\x9D\xA2\xE8\x83\x8C\xE6\x99\xAF (\xE5\x86\xB0\xE5\xB0\x81\xE7\x8E\x8B\xE5\xBA\xA7)",
      "font-zhcn"}},
    {"Status", {"status", "--help"}, {"Never waits for a lock", "effective"}},
    {"Compact", {"compact", "--help"}, {"Usage: ostrawen-cli compact"}},
};

INSTANTIATE_TEST_SUITE_P(Rows, CliHelpTest, testing::Combine(testing::ValuesIn(kHelpCases), testing::Bool()),
                         [](const auto& info) {
                             return std::string(std::get<0>(info.param).name) +
                                    (std::get<1>(info.param) ? "Json" : "Human");
                         });

} // namespace
} // namespace clitest
