// Between two timed runs the working archive must get back exactly its starting bytes, whatever
// the run did to it: changed blocks, grown, shrunk, renamed away or replaced.
#include "bench/file_restore.h"

#include "testkit/mpq_fixtures.h"
#include "testkit/temp_dir.h"

#include <gtest/gtest.h>

#include <ostream>

#include <functional>

namespace {

namespace fs = std::filesystem;

struct RestoreCase {
    const char* name;
    std::function<void(const fs::path& target)> damage;
};
void PrintTo(const RestoreCase& row, std::ostream* out) {
    *out << row.name;
}

class FileRestoreTest : public ::testing::TestWithParam<RestoreCase> {};

TEST_P(FileRestoreTest, GivesBackTheReferenceBytes) {
    testkit::TempDir dir;
    // Three and a bit blocks, so that changes land inside, across and after block boundaries.
    const std::vector<std::uint8_t> reference = testkit::PatternBytes((3u << 20) + 12345, 11, false);
    testkit::WriteFile(dir / "reference", reference);
    testkit::WriteFile(dir / "target", reference);
    GetParam().damage(dir / "target");

    ASSERT_TRUE(bench::RestoreFile(dir / "reference", dir / "target"));
    EXPECT_EQ(testkit::ReadFile(dir / "target"), reference);
}

void Overwrite(const fs::path& path, std::size_t offset, std::size_t length) {
    std::vector<std::uint8_t> bytes = testkit::ReadFile(path);
    for (std::size_t i = offset; i < offset + length && i < bytes.size(); ++i)
        bytes[i] ^= 0x5A;
    testkit::WriteFile(path, bytes);
}

INSTANTIATE_TEST_SUITE_P(Damage, FileRestoreTest,
                         ::testing::Values(RestoreCase{"untouched", [](const fs::path&) {}},
                                           RestoreCase{"one_byte_in_the_second_block",
                                                       [](const fs::path& p) { Overwrite(p, (1u << 20) + 7, 1); }},
                                           RestoreCase{"across_a_block_boundary",
                                                       [](const fs::path& p) { Overwrite(p, (2u << 20) - 100, 200); }},
                                           RestoreCase{"last_byte",
                                                       [](const fs::path& p) { Overwrite(p, (3u << 20) + 12344, 1); }},
                                           RestoreCase{"grown",
                                                       [](const fs::path& p) {
                                                           std::vector<std::uint8_t> bytes = testkit::ReadFile(p);
                                                           bytes.resize(bytes.size() + 5000, 0xEE);
                                                           testkit::WriteFile(p, bytes);
                                                       }},
                                           RestoreCase{"shrunk", [](const fs::path& p) { fs::resize_file(p, 1000); }},
                                           RestoreCase{"emptied", [](const fs::path& p) { fs::resize_file(p, 0); }},
                                           RestoreCase{"removed", [](const fs::path& p) { fs::remove(p); }},
                                           RestoreCase{"a_directory_in_its_place",
                                                       [](const fs::path& p) {
                                                           fs::remove(p);
                                                           fs::create_directory(p);
                                                           testkit::WriteFile(p / "inside", "x");
                                                       }}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(FileRestore, FailsWithoutAReferenceAndLeavesTheTargetAlone) {
    testkit::TempDir dir;
    testkit::WriteFile(dir / "target", "unchanged");
    EXPECT_FALSE(bench::RestoreFile(dir / "missing", dir / "target"));
    EXPECT_EQ(testkit::ReadFile(dir / "target"), testkit::Bytes("unchanged"));
}

} // namespace
