// The writes a fleet tool runs again and again: the first changes the archive, the second finds the value
// in place and writes nothing (bytes and modification time as they were); compaction always writes.
#include "cli_fixture.h"

#include "testkit/mpq_fixtures.h"

namespace clitest {
namespace {

struct EditCase {
    const char* name;
    std::vector<std::string> arguments;
    std::vector<std::string> check; // a read afterwards
    std::string checkOutPart;
};

class CliEditTest : public CliTest, public testing::WithParamInterface<std::tuple<EditCase, bool>> {};

TEST_P(CliEditTest, SecondRunWritesNothing) {
    const auto& [row, json] = GetParam();
    testkit::WriteFile(m_root / "font.ttf", testkit::PatternBytes(3000, 11));
    auto state = StateOf(Patch());
    for (const bool first : {true, false}) {
        SCOPED_TRACE(first ? "first run" : "second run");
        const CliResult result = Run(row.arguments, json);
        ASSERT_TRUE(result.exitCode == 0 && result.err.empty()) << result.err;
        if (json)
            EXPECT_EQ(At(Document(result), "changed"), first ? "true" : "false");
        else if (first)
            EXPECT_TRUE(result.out.starts_with("War3Patch.mpq: ") && !result.out.ends_with("unchanged\n"))
                << result.out;
        else
            EXPECT_EQ(result.out, "War3Patch.mpq: unchanged\n");
        EXPECT_EQ(StateOf(Patch()) == state, !first);
        state = StateOf(Patch());
    }
    EXPECT_NE(Run(row.check).out.find(row.checkOutPart), std::string::npos);
}

// clang-format off
const EditCase kEditCases[] = {
    {"LanName", {"lan-name", "set", "Café 主机"}, {"lan-name", "get"}, "Café 主机\n"},
    {"LanNameStartingWithDash", {"lan-name", "set", "--", "-host-"}, {"lan-name", "get"}, "-host-\n"},
    {"OptionsAfterTheCommand", {"lan-name", "set", "Late", "--archive", "war3patch.MPQ"}, {"lan-name", "get"}, "Late\n"},
    {"Cursor", {"cursor", "set", "NightElf"}, {"cursor", "get"}, "nightelf\n"},
    {"ReplaceByKey", {"resource", "replace", "font-en", "{scratch}/font.ttf"}, {"resource", "list"},
     "font-en\t3000\tFonts\\FRIZQT__.TTF\n"},
    {"ReplaceByEntryText", {"resource", "replace", "游戏字体 (英文)", "{scratch}/font.ttf"}, {"resource", "list"},
     "font-en\t3000\t"},
    {"Delete", {"resource", "delete", "menu-music-roc"}, {"resource", "list"}, "menu-music-roc\t-\t"},
};
// clang-format on

INSTANTIATE_TEST_SUITE_P(Rows, CliEditTest, testing::Combine(testing::ValuesIn(kEditCases), testing::Bool()),
                         [](const auto& info) {
                             return std::string(std::get<0>(info.param).name) +
                                    (std::get<1>(info.param) ? "Json" : "Human");
                         });

TEST_F(CliTest, CompactAlwaysWritesAndKeepsTheContent) {
    ASSERT_EQ(Run({"lan-name", "set", "Before compaction"}).exitCode, 0);
    const CliResult json = Run({"compact"}, true);
    EXPECT_TRUE(json.exitCode == 0 && json.err.empty()) << "a progress bar went into a file: " << json.err;
    EXPECT_EQ(At(Document(json), "changed"), "true");
    EXPECT_EQ(Run({"compact"}).out, "War3Patch.mpq: compacted\n");
    EXPECT_EQ(Run({"lan-name", "get"}).out, "Before compaction\n");
    EXPECT_EQ(Run({"resource", "extract", "背景音乐 (混乱之治)", "{scratch}/music.mp3"}).exitCode, 0);
    EXPECT_EQ(testkit::ReadFile(m_root / "music.mp3"), testkit::PatternBytes(5000, 7));
}

TEST_F(CliTest, ProgressBarOnlyOnATerminalWithoutQuiet) {
    for (const bool quiet : {false, true}) {
        const CliResult result = Run({"compact", quiet ? "-q" : "--"}, false, true, true);
        ASSERT_EQ(result.exitCode, 0) << result.err;
        // Drawn as "War3Patch.mpq [###   ] 40%", and wiped before the result is printed.
        const bool bar = result.err.find("War3Patch.mpq [") != std::string::npos && result.err.ends_with("\r");
        EXPECT_EQ(bar, !quiet) << result.err;
    }
}

} // namespace
} // namespace clitest
