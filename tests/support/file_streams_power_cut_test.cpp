// WriteWholeFile under power loss (testkit/power_cut.h): cut before each of its file-system calls
// or not at all, the file holds its old or its new bytes, and the new ones once the call had
// returned true: the rename must reach the disk before WriteWholeFile reports success.
#include "support/file_streams.h"
#include "support/text_path.h"
#include "testkit/child_process.h"
#include "testkit/power_cut.h"
#include "testkit/temp_dir.h"

#include <gtest/gtest.h>

#include <limits>
#include <optional>

namespace fs = std::filesystem;
namespace power_cut = testkit::power_cut;

namespace {

struct WholeFileCase {
    const char* name;
    std::optional<std::string> old; // the target's content before; none when it does not exist
    std::string replacement;
};

void PrintTo(const WholeFileCase& wholeFileCase, std::ostream* out) {
    *out << wholeFileCase.name;
}

std::vector<WholeFileCase> WholeFileCases() {
    return {{"Replace", "[Orc]\r\nold skins\r\n", "[Human]\r\nnew\r\n"},
            {"Create", std::nullopt, "[Human]\r\nnew\r\n"},
            {"ReplaceByEmpty", "old bytes", ""}};
}

// args: the case's name, the target.
TESTKIT_CHILD_ROLE(WriteWholeFileOnce) {
    for (const WholeFileCase& wholeFileCase : WholeFileCases()) {
        const std::vector<std::uint8_t> bytes(wholeFileCase.replacement.begin(), wholeFileCase.replacement.end());
        if (args.size() == 2 && args[0] == wholeFileCase.name)
            return modFileStreams::WriteWholeFile(TextFromPath(testkit::child::ArgumentPath(args[1])), bytes) ? 0 : 1;
    }
    return 2;
}

class WriteWholeFilePowerCut : public ::testing::TestWithParam<WholeFileCase> {
protected:
    void TearDown() override { power_cut::Disarm(); }
};

TEST_P(WriteWholeFilePowerCut, KeepsOldOrNewAndNewOnceReturned) {
    testkit::TempDir dir;
    const fs::path target = dir / "game" / "war3skins.txt";
    const std::optional<std::string> old = GetParam().old;
    const std::vector<std::uint8_t> replacement(GetParam().replacement.begin(), GetParam().replacement.end());
    const auto run = [&](std::size_t point) {
        fs::remove_all(dir / "game");
        fs::create_directory(dir / "game");
        if (old)
            testkit::WriteFile(target, *old);
        power_cut::Arm(dir / "game", dir / "scratch");
        return power_cut::RunUntilCut(point, "WriteWholeFileOnce",
                                      {GetParam().name, testkit::child::PathArgument(target)});
    };
    const power_cut::CutOutcome full = run(std::numeric_limits<std::size_t>::max());
    const std::size_t calls = full.calls;
    ASSERT_TRUE(full.finished);
    ASSERT_GE(calls, 4u); // create, flush, rename, flush the directory at least

    int endedNew = 0;
    for (std::size_t point = 0; point <= calls; ++point) {
        const power_cut::CutOutcome outcome = run(point);
        ASSERT_EQ(outcome.killed, point < calls);
        for (std::uint32_t seed = 0; seed < 8; ++seed) {
            power_cut::SimulatePowerCut(seed);
            const std::string at = "cut before call " + std::to_string(point) + ", seed " + std::to_string(seed);
            const std::optional<std::vector<std::uint8_t>> now =
                fs::exists(target) ? std::optional(testkit::ReadFile(target)) : std::nullopt;
            if (now == replacement) {
                ++endedNew;
                continue;
            }
            EXPECT_EQ(now ? std::optional(std::string(now->begin(), now->end())) : std::nullopt, old) << at;
            EXPECT_FALSE(outcome.finished) << at << ": WriteWholeFile had returned true, the new bytes are lost";
        }
    }
    EXPECT_GT(endedNew, 0);
}

INSTANTIATE_TEST_SUITE_P(Files, WriteWholeFilePowerCut, ::testing::ValuesIn(WholeFileCases()),
                         [](const auto& info) { return std::string(info.param.name); });

} // namespace
