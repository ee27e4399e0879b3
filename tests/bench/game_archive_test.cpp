// The generated archives must be what the benchmark claims: the size and file count asked for,
// most files small, the edited files in place and readable through the door.
#include "bench/game_archive.h"

#include "archive/door/mpq_control.h"
#include "mods/modifications.h"
#include "support/text_path.h"
#include "testkit/mpq_fixtures.h"
#include "testkit/temp_dir.h"

#include <gtest/gtest.h>

#include <ostream>

#include <algorithm>
#include <numeric>

namespace {

constexpr std::uint64_t kMiB = 1u << 20;

struct SizePlanCase {
    const char* name;
    std::size_t count;
    std::uint64_t rawTotal;
};
void PrintTo(const SizePlanCase& row, std::ostream* out) {
    *out << row.name;
}

class SizePlanTest : public ::testing::TestWithParam<SizePlanCase> {};

TEST_P(SizePlanTest, StaysWithinTheBoundsAndMeetsTheTotal) {
    const SizePlanCase& row = GetParam();
    const std::vector<std::uint32_t> sizes = bench::PlanFileSizes(row.count, row.rawTotal, 7);
    ASSERT_EQ(sizes.size(), row.count);
    EXPECT_GE(*std::min_element(sizes.begin(), sizes.end()), 200u);
    EXPECT_LE(*std::max_element(sizes.begin(), sizes.end()), 2u << 20);
    const double total = std::accumulate(sizes.begin(), sizes.end(), 0.0);
    EXPECT_NEAR(total, static_cast<double>(row.rawTotal), 0.005 * static_cast<double>(row.rawTotal));
}

TEST_P(SizePlanTest, MostFilesAreSmall) {
    const SizePlanCase& row = GetParam();
    std::vector<std::uint32_t> sizes = bench::PlanFileSizes(row.count, row.rawTotal, 7);
    const double mean = static_cast<double>(row.rawTotal) / static_cast<double>(row.count);
    std::nth_element(sizes.begin(), sizes.begin() + sizes.size() / 2, sizes.end());
    EXPECT_LT(sizes[sizes.size() / 2], mean / 2) << "a few large files should carry most of the bytes";
}

INSTANTIATE_TEST_SUITE_P(Shapes, SizePlanTest,
                         ::testing::Values(SizePlanCase{"small_archive", 1997, 30 * kMiB},
                                           SizePlanCase{"large_archive", 19997, 740 * kMiB},
                                           SizePlanCase{"few_files", 60, 20 * kMiB}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(SizePlan, SameSeedSamePlanOtherSeedAnother) {
    EXPECT_EQ(bench::PlanFileSizes(500, 10 * kMiB, 1), bench::PlanFileSizes(500, 10 * kMiB, 1));
    EXPECT_NE(bench::PlanFileSizes(500, 10 * kMiB, 1), bench::PlanFileSizes(500, 10 * kMiB, 2));
}

TEST(SizePlan, UnreachableTotalsStopAtTheBounds) {
    const std::vector<std::uint32_t> tiny = bench::PlanFileSizes(10, 100, 1);
    EXPECT_TRUE(std::all_of(tiny.begin(), tiny.end(), [](std::uint32_t s) { return s == 200; }));
    const std::vector<std::uint32_t> huge = bench::PlanFileSizes(10, 1ull << 40, 1);
    EXPECT_TRUE(std::all_of(huge.begin(), huge.end(), [](std::uint32_t s) { return s == 2u << 20; }));
}

TEST(GameArchive, HasTheAskedShapeAndTheEditedFiles) {
    testkit::TempDir dir;
    const auto path = dir / "War3Patch.mpq";
    constexpr std::size_t kFiles = 400;
    ASSERT_TRUE(bench::GenerateGameArchive(path, {12 * kMiB, kFiles, 3}));

    const std::vector<std::uint8_t> bytes = testkit::ReadFile(path);
    EXPECT_NEAR(static_cast<double>(bytes.size()), 12.0 * kMiB, 0.15 * 12 * kMiB);
    ASSERT_GE(bytes.size(), 32u);
    EXPECT_EQ(std::string(bytes.begin(), bytes.begin() + 4), "MPQ\x1A");
    EXPECT_EQ(bytes[12] | (bytes[13] << 8), 1) << "format version";

    clsMpqControl mpq;
    mpq.SetMpqFileName(TextFromPath(path));
    std::vector<std::uint8_t> content;
    ASSERT_TRUE(mpq.ReadFileFromMpq(u"UI\\FrameDef\\GlobalStrings.fdf", content));
    EXPECT_EQ(content, bench::GlobalStringsContent());
    EXPECT_EQ(mods::ReadLanGameName(mpq), std::optional<std::u16string>(u"%s的游戏"));
    ASSERT_TRUE(mpq.ReadFileFromMpq(u"Sound\\Music\\mp3Music\\War3XMainScreen.mp3", content));
    EXPECT_EQ(content, bench::ResourceContent(0));
    ASSERT_TRUE(mpq.ReadFileFromMpq(u"UI\\war3skins.txt", content));
    EXPECT_EQ(content, bench::SmallFileContent());

    if (!testkit::HaveSmpq())
        GTEST_SKIP() << "smpq not found: the file count is not checked";
    const auto names = testkit::SmpqList(path);
    ASSERT_TRUE(names.has_value());
    const auto ours = std::count_if(names->begin(), names->end(), [](const std::string& n) { return n[0] != '('; });
    EXPECT_EQ(static_cast<std::size_t>(ours), kFiles);
}

TEST(GameArchive, RefusesAShapeItsFixedFilesDoNotFitIn) {
    testkit::TempDir dir;
    const auto path = dir / "War3Patch.mpq";
    EXPECT_FALSE(bench::GenerateGameArchive(path, {4 * kMiB, 400, 3}));
    EXPECT_FALSE(bench::GenerateGameArchive(path, {12 * kMiB, 3, 3}));
    EXPECT_FALSE(std::filesystem::exists(path));
}

TEST(GameArchive, TheReplacementResourceDiffersFromTheStoredOne) {
    const std::vector<std::uint8_t> stored = bench::ResourceContent(0);
    const std::vector<std::uint8_t> replacement = bench::ResourceContent(1);
    EXPECT_EQ(stored.size(), bench::kResourceBytes);
    EXPECT_EQ(replacement.size(), bench::kResourceBytes);
    EXPECT_NE(stored, replacement);
}

} // namespace
