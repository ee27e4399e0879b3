// WriteWholeFile under power loss: a child writes, its process is killed before any of its
// file-system calls (or not at all), and the directory is rebuilt as a power cut leaves it
// (testkit/power_cut.h). The file holds its old or its new bytes, and the new ones once the call
// had returned true: the rename must reach the disk before WriteWholeFile reports success.
#include "support/file_streams.h"
#include "support/text_path.h"
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

class WriteWholeFilePowerCut : public ::testing::TestWithParam<WholeFileCase> {
protected:
    void TearDown() override { power_cut::Disarm(); }

    void ResetAndArm() {
        fs::remove_all(m_dir / "game");
        fs::create_directory(m_dir / "game");
        if (GetParam().old)
            testkit::WriteFile(m_target, *GetParam().old);
        power_cut::Arm(m_dir / "game", m_dir / "scratch");
    }

    testkit::TempDir m_dir;
    fs::path m_target = m_dir / "game" / "war3skins.txt";
};

TEST_P(WriteWholeFilePowerCut, KeepsOldOrNewAndNewOnceReturned) {
    const std::vector<std::uint8_t> replacement(GetParam().replacement.begin(), GetParam().replacement.end());
    const auto operation = [&] { return modFileStreams::WriteWholeFile(TextFromPath(m_target), replacement); };
    ResetAndArm();
    const power_cut::CutOutcome full = power_cut::RunUntilCut(std::numeric_limits<std::size_t>::max(), operation);
    ASSERT_TRUE(full.finished);
    ASSERT_GE(full.calls, 4u); // create, write, flush, rename at least

    int endedNew = 0;
    for (std::size_t point = 0; point <= full.calls; ++point) {
        ResetAndArm();
        const power_cut::CutOutcome outcome = power_cut::RunUntilCut(point, operation);
        ASSERT_EQ(outcome.killed, point < full.calls);
        for (std::uint32_t seed = 0; seed < 8; ++seed) {
            power_cut::SimulatePowerCut(seed);
            const std::string at = "cut before call " + std::to_string(point) + ", seed " + std::to_string(seed);
            std::error_code error;
            if (fs::exists(m_target, error)) {
                const std::vector<std::uint8_t> now = testkit::ReadFile(m_target);
                if (now == replacement) {
                    ++endedNew;
                    continue;
                }
                ASSERT_TRUE(GetParam().old.has_value()) << at << ": a file that was not there holds other bytes";
                EXPECT_EQ(std::string(now.begin(), now.end()), *GetParam().old) << at;
            } else {
                EXPECT_FALSE(GetParam().old.has_value()) << at << ": the old file is gone";
            }
            EXPECT_FALSE(outcome.finished) << at << ": WriteWholeFile had returned true, the new bytes are lost";
        }
    }
    EXPECT_GT(endedNew, 0);
}

INSTANTIATE_TEST_SUITE_P(Files, WriteWholeFilePowerCut,
                         ::testing::Values(WholeFileCase{"Replace", "[Orc]\r\nold skins\r\n", "[Human]\r\nnew\r\n"},
                                           WholeFileCase{"Create", std::nullopt, "[Human]\r\nnew\r\n"},
                                           WholeFileCase{"ReplaceByEmpty", "old bytes", ""}),
                         [](const auto& info) { return std::string(info.param.name); });

} // namespace
