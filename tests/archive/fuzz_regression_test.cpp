// Archives the fuzzers (fuzz/, `make fuzz`) found faults with, one row each, named after the fault.
// Each archive is a small file in tests/data/fuzz/, a mutation of one our builder wrote; the row
// says which stored files are damaged (must not read: their bytes cannot be known) and which must
// still read. Whatever reads must read the same twice, and nothing may change the archive.
#include "archive/mpq_control.h"
#include "support/text_path.h"
#include "testkit/mpq_fixtures.h"
#include "testkit/temp_dir.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

namespace fs = std::filesystem;

namespace {

struct FuzzFinding {
    const char* name;
    const char* file; // in tests/data/fuzz/
    std::vector<std::u16string> damaged;
    std::vector<std::u16string> intact;
};

void PrintTo(const FuzzFinding& finding, std::ostream* out) {
    *out << finding.name;
}

class FuzzRegressionTest : public ::testing::TestWithParam<FuzzFinding> {};

TEST_P(FuzzRegressionTest, DamagedFilesFailAndTheRestReads) {
    const FuzzFinding& finding = GetParam();
    testkit::TempDir dir;
    const fs::path archive = dir / "War3Patch.mpq";
    fs::copy_file(fs::path(FUZZ_DATA_DIR) / finding.file, archive);
    const std::vector<std::uint8_t> before = testkit::ReadBytes(archive);
    clsMpqControl door;
    door.SetMpqFileName(TextFromPath(archive));

    for (const std::u16string& address : finding.damaged) {
        std::vector<std::uint8_t> first;
        std::vector<std::uint8_t> second;
        const bool read = door.ReadFileFromMpq(address, first);
        EXPECT_FALSE(read) << "a damaged file read as " << first.size() << " bytes";
        if (read && door.ReadFileFromMpq(address, second)) {
            EXPECT_EQ(first, second) << "two reads of one damaged file gave different bytes";
        }
    }
    for (const std::u16string& address : finding.intact) {
        std::vector<std::uint8_t> first;
        std::vector<std::uint8_t> second;
        EXPECT_TRUE(door.ReadFileFromMpq(address, first));
        EXPECT_TRUE(door.ReadFileFromMpq(address, second));
        EXPECT_EQ(first, second);
    }
    EXPECT_EQ(testkit::ReadBytes(archive), before);
}

// A zlib stream with one bit changed: StormLib 9.22 takes zlib's data error for success (it only
// treats 0 as failure) and hands back the sector buffer as it was, uninitialised.
INSTANTIATE_TEST_SUITE_P(Findings, FuzzRegressionTest,
                         ::testing::Values(FuzzFinding{"ZlibDataErrorReadsMadeUpBytes",
                                                       "zlib_data_error_reads_made_up_bytes.mpq",
                                                       {u"Fonts\\dfst-m3u.ttf"},
                                                       {u"UI\\FrameDef\\GlobalStrings.fdf", u"UI\\war3skins.txt"}}),
                         [](const auto& info) { return std::string(info.param.name); });

} // namespace
