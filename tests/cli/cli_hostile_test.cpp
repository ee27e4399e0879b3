// Every command on each hostile archive of the test kit: the command line ends normally with
// exactly one JSON document, and nothing but a successful write changes the archive.
#include "cli_fixture.h"

#include "testkit/hostile_archives.h"

namespace clitest {
namespace {

struct HostileCommand {
    const char* name;
    std::vector<std::string> arguments;
    bool writes;
};

class CliHostileTest : public CliTest,
                       public testing::WithParamInterface<std::tuple<testkit::HostileShape, HostileCommand>> {};

TEST_P(CliHostileTest, EndsNormallyAndLeavesTheArchive) {
    const auto& [shape, command] = GetParam();
    testkit::MakeHostileArchive(shape, Patch());
    const std::vector<std::uint8_t> before = testkit::FileFingerprint(Patch());

    const CliResult result = Run(command.arguments, true);
    ASSERT_TRUE(result.exitCode == 0 || result.exitCode == 1) << "exit " << result.exitCode << ": " << result.err;
    const JsonValue document = Document(result);
    // A failure is one line that names the archive and the reason, and the same in the document.
    if (result.exitCode == 1) {
        EXPECT_EQ(result.err.rfind("ostrawen-cli: War3Patch.mpq: ", 0), 0u) << result.err;
        EXPECT_EQ(StringAt(document, "error/archive"), "War3Patch.mpq");
    }
    if (!command.writes || result.exitCode != 0) {
        EXPECT_EQ(testkit::FileFingerprint(Patch()), before);
    }
}

const HostileCommand kCommands[] = {
    {"Status", {"status"}, false},
    {"LanNameGet", {"lan-name", "get"}, false},
    {"CursorGet", {"cursor", "get"}, false},
    {"ResourceList", {"resource", "list"}, false},
    {"LanNameSet", {"lan-name", "set", "Hostile"}, true},
    {"ResourceDelete", {"resource", "delete", "menu-model-tft"}, true},
};

INSTANTIATE_TEST_SUITE_P(Rows, CliHostileTest,
                         testing::Combine(testing::ValuesIn(testkit::AllHostileShapes()), testing::ValuesIn(kCommands)),
                         [](const auto& info) {
                             return std::string(testkit::HostileShapeName(std::get<0>(info.param))) +
                                    std::get<1>(info.param).name;
                         });

} // namespace
} // namespace clitest
