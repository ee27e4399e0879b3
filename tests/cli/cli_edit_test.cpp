// The writes a fleet tool runs again and again: the first changes the archive, the second finds the
// value in place and writes nothing at all (bytes and modification time as they were); and the
// reads, with null where the archive holds no such file or entry.
#include "cli_fixture.h"

#include "testkit/mpq_fixtures.h"

#include <filesystem>

namespace clitest {
namespace {

namespace fs = std::filesystem;

struct EditCase {
    const char* name;
    std::vector<std::string> arguments; // the write
    std::vector<std::string> check;     // a read afterwards
    std::string checkOutPart;           // in the read's human output
};

class CliEditTest : public CliTest, public testing::WithParamInterface<std::tuple<EditCase, bool>> {
protected:
    CliEditTest() { testkit::WriteFile(m_root / "replacement.ttf", testkit::PatternBytes(3000, 11)); }
};

TEST_P(CliEditTest, SecondRunWritesNothing) {
    const auto& [row, json] = GetParam();
    const FileState original = StateOf(Patch());

    const CliResult first = Run(row.arguments, json);
    ASSERT_EQ(first.exitCode, 0) << first.err;
    EXPECT_EQ(first.err, "");
    const FileState written = StateOf(Patch());
    EXPECT_NE(written.bytes, original.bytes);
    if (json) {
        const JsonValue document = Document(first);
        const JsonValue* changed = document.At("changed");
        ASSERT_NE(changed, nullptr);
        EXPECT_TRUE(changed->boolean);
    } else {
        EXPECT_EQ(first.out.rfind("War3Patch.mpq: ", 0), 0u) << first.out;
        EXPECT_EQ(first.out.find("unchanged"), std::string::npos) << first.out;
    }

    const CliResult second = Run(row.arguments, json);
    ASSERT_EQ(second.exitCode, 0) << second.err;
    if (json) {
        const JsonValue document = Document(second);
        const JsonValue* changed = document.At("changed");
        ASSERT_NE(changed, nullptr);
        EXPECT_FALSE(changed->boolean);
    } else {
        EXPECT_EQ(second.out, "War3Patch.mpq: unchanged\n");
    }
    EXPECT_TRUE(StateOf(Patch()) == written) << "the second run wrote the archive";

    const CliResult check = Run(row.check);
    EXPECT_EQ(check.exitCode, 0) << check.err;
    EXPECT_NE(check.out.find(row.checkOutPart), std::string::npos) << check.out;
}

const EditCase kEditCases[] = {
    {"LanName",
     {"lan-name", "set", "Caf\xC3\xA9 \xE4\xB8\xBB\xE6\x9C\xBA"},
     {"lan-name", "get"},
     "Caf\xC3\xA9 \xE4\xB8\xBB\xE6\x9C\xBA\n"},
    {"LanNameStartingWithDash", {"lan-name", "set", "--", "-host-"}, {"lan-name", "get"}, "-host-\n"},
    {"OptionsAfterTheCommand",
     {"lan-name", "set", "Late", "--archive", "war3patch.MPQ"},
     {"lan-name", "get"},
     "Late\n"},
    {"Cursor", {"cursor", "set", "NightElf"}, {"cursor", "get"}, "nightelf\n"},
    {"ResourceReplaceByKey",
     {"resource", "replace", "font-en", "{scratch}/replacement.ttf"},
     {"resource", "list"},
     "font-en\t3000\tFonts\\FRIZQT__.TTF"},
    {"ResourceReplaceByEntryText",
     {"resource", "replace", "\xE6\xB8\xB8\xE6\x88\x8F\xE5\xAD\x97\xE4\xBD\x93 (\xE8\x8B\xB1\xE6\x96\x87)",
      "{scratch}/replacement.ttf"},
     {"resource", "list"},
     "font-en\t3000\t"},
    {"ResourceDelete", {"resource", "delete", "menu-music-roc"}, {"resource", "list"}, "menu-music-roc\t-\t"},
};

INSTANTIATE_TEST_SUITE_P(Rows, CliEditTest, testing::Combine(testing::ValuesIn(kEditCases), testing::Bool()),
                         [](const auto& info) {
                             return std::string(std::get<0>(info.param).name) +
                                    (std::get<1>(info.param) ? "Json" : "Human");
                         });

TEST_F(CliTest, ExtractGivesTheStoredBytesAndCompactKeepsThem) {
    const CliResult extract = Run({"resource", "extract", "menu-music-roc", "{scratch}/music.mp3"}, true);
    ASSERT_EQ(extract.exitCode, 0) << extract.err;
    EXPECT_EQ(testkit::ReadFile(m_root / "music.mp3"), testkit::PatternBytes(5000, 7));

    ASSERT_EQ(Run({"lan-name", "set", "Before compaction"}).exitCode, 0);
    const CliResult compact = Run({"compact"}, true);
    ASSERT_EQ(compact.exitCode, 0) << compact.err;
    EXPECT_EQ(compact.err, "") << "a progress bar went into a file";
    const JsonValue document = Document(compact);
    const JsonValue* changed = document.At("changed");
    ASSERT_NE(changed, nullptr);
    EXPECT_TRUE(changed->boolean);
    EXPECT_EQ(Run({"lan-name", "get"}).out, "Before compaction\n");
    EXPECT_EQ(Run({"resource", "extract", "menu-music-roc", "{scratch}/again.mp3"}).exitCode, 0);
    EXPECT_EQ(testkit::ReadFile(m_root / "again.mp3"), testkit::PatternBytes(5000, 7));
}

struct TerminalCase {
    const char* name;
    std::vector<std::string> arguments;
    bool bar;
};

class CliTerminalTest : public CliTest, public testing::WithParamInterface<TerminalCase> {};

TEST_P(CliTerminalTest, ProgressBarOnlyForAPersonWatching) {
    std::vector<std::string> arguments = {"--game-dir", GameDir().string()};
    arguments.insert(arguments.end(), GetParam().arguments.begin(), GetParam().arguments.end());
    const CliResult result = RunCliOnTerminal(arguments, m_root.path());
    ASSERT_EQ(result.exitCode, 0) << result.err;
    const bool bar =
        result.err.find("War3Patch.mpq [") != std::string::npos && result.err.find("%") != std::string::npos;
    EXPECT_EQ(bar, GetParam().bar) << result.err;
    // The bar is wiped before the result is printed.
    if (bar) {
        EXPECT_EQ(result.err.back(), '\r');
    }
}

INSTANTIATE_TEST_SUITE_P(Rows, CliTerminalTest,
                         testing::Values(TerminalCase{"Compact", {"compact"}, true},
                                         TerminalCase{"CompactQuiet", {"compact", "--quiet"}, false}),
                         [](const auto& info) { return std::string(info.param.name); });

struct QuietCase {
    const char* name;
    std::vector<std::string> arguments;
    std::string out; // what still reaches stdout
};

class CliQuietTest : public CliTest, public testing::WithParamInterface<QuietCase> {};

TEST_P(CliQuietTest, OnlyValuesReachStdout) {
    const CliResult result = Run(GetParam().arguments);
    EXPECT_EQ(result.exitCode, 0) << result.err;
    EXPECT_EQ(result.out, GetParam().out);
    EXPECT_EQ(result.err, "");
}

INSTANTIATE_TEST_SUITE_P(Rows, CliQuietTest,
                         testing::Values(QuietCase{"Changed", {"--quiet", "lan-name", "set", "Q"}, ""},
                                         QuietCase{"Unchanged", {"cursor", "set", "human", "-q"}, ""},
                                         QuietCase{"ValueStillPrinted", {"-q", "lan-name", "get"}, "Host\n"}),
                         [](const auto& info) { return std::string(info.param.name); });

struct GetCase {
    const char* name;
    ArchiveContent content;
    std::vector<std::string> arguments;
    std::optional<std::string> value; // UTF-8; nothing for null
    bool invalidUtf8 = false;
};

class CliGetTest : public CliTest, public testing::WithParamInterface<std::tuple<GetCase, bool>> {};

TEST_P(CliGetTest, GivesTheValueOrNull) {
    const auto& [row, json] = GetParam();
    BuildGameArchive(Patch(), row.content);
    const CliResult result = Run(row.arguments, json);
    ASSERT_EQ(result.exitCode, 0) << result.err;
    EXPECT_EQ(result.err, "");
    if (!json) {
        EXPECT_EQ(result.out, row.value ? *row.value + "\n" : "");
        return;
    }
    const JsonValue document = Document(result);
    const JsonValue* value = document.At("value");
    ASSERT_NE(value, nullptr);
    if (row.value)
        EXPECT_EQ(StringAt(document, "value"), *row.value);
    else
        EXPECT_TRUE(value->IsNull());
    if (const JsonValue* flag = document.At("invalidUtf8"))
        EXPECT_EQ(flag->boolean, row.invalidUtf8);
    else
        EXPECT_FALSE(row.invalidUtf8);
}

const std::vector<std::pair<std::u16string, std::vector<std::uint8_t>>> kStringsWithoutEntry = {
    {u"UI\\FrameDef\\GlobalStrings.fdf", testkit::Bytes("StringList {\r\n    GAMENAME_SHORT \"%s\",\r\n}\r\n")}};

const GetCase kGetCases[] = {
    {"LanName", {"Host", std::nullopt, {}}, {"lan-name", "get"}, "Host"},
    {"LanNameInvalidUtf8",
     {"A\xFF"
      "B",
      std::nullopt,
      {}},
     {"lan-name", "get"},
     "A\xEF\xBF\xBD"
     "B",
     true},
    {"LanNameRealReplacementCharacter", {"A\xEF\xBF\xBD", std::nullopt, {}}, {"lan-name", "get"}, "A\xEF\xBF\xBD"},
    {"NoStringsFile", {std::nullopt, "Orc", {}}, {"lan-name", "get"}, std::nullopt},
    {"NoGameNameEntry", {std::nullopt, std::nullopt, kStringsWithoutEntry}, {"lan-name", "get"}, std::nullopt},
    {"Cursor", {std::nullopt, "Undead", {}}, {"cursor", "get"}, "undead"},
    {"NoSkinsFile", {"Host", std::nullopt, {}}, {"cursor", "get"}, std::nullopt},
    {"UnknownRaceWord", {std::nullopt, "Dwarf", {}}, {"cursor", "get"}, std::nullopt},
};

INSTANTIATE_TEST_SUITE_P(Rows, CliGetTest, testing::Combine(testing::ValuesIn(kGetCases), testing::Bool()),
                         [](const auto& info) {
                             return std::string(std::get<0>(info.param).name) +
                                    (std::get<1>(info.param) ? "Json" : "Human");
                         });

} // namespace
} // namespace clitest
