// The yardstick must do the same work as the door, or the comparison means nothing: each in-place
// operation is checked with the independent smpq tool.
#include "bench/storm_baseline.h"

#include "testkit/mpq_fixtures.h"
#include "testkit/temp_dir.h"

#include <gtest/gtest.h>

#include <ostream>

#include <algorithm>
#include <functional>

namespace {

namespace fs = std::filesystem;

const std::string kText = "UI\\war3skins.txt";
const std::string kBig = "Units\\Human\\Footman\\Footman.mdx";
const std::string kBigListed = "Units/Human/Footman/Footman.mdx";

std::vector<std::uint8_t> TextContent() {
    return testkit::Bytes("[Human]\r\nCursor=UI\\Cursor\\HumanCursor.mdl\r\n");
}
std::vector<std::uint8_t> BigContent(std::uint32_t seed) {
    return testkit::PatternBytes(300000, seed);
}

bool MakeArchive(const fs::path& path) {
    return StormCreateArchive(path, 1, 16, 2, [](std::size_t index, StormNewFile& file) {
        file.name = index == 0 ? kText : kBig;
        file.content = index == 0 ? TextContent() : BigContent(1);
        return true;
    });
}

std::vector<std::uint8_t> Extract(const fs::path& archive, const std::string& name) {
    return testkit::SmpqExtract(archive, name).value_or(std::vector<std::uint8_t>{});
}

std::size_t Listed(const fs::path& archive, const std::string& listedName) {
    const auto names = testkit::SmpqList(archive).value_or(std::vector<std::string>{});
    return static_cast<std::size_t>(std::count(names.begin(), names.end(), listedName));
}

struct OperationCase {
    const char* name;
    std::function<bool(const fs::path&)> run;
    std::function<void(const fs::path&)> expect;
};
void PrintTo(const OperationCase& row, std::ostream* out) {
    *out << row.name;
}

class StormBaselineTest : public ::testing::TestWithParam<OperationCase> {
protected:
    void SetUp() override {
        if (!testkit::HaveSmpq())
            GTEST_SKIP() << "smpq not found";
        ASSERT_TRUE(MakeArchive(m_dir / "a.mpq"));
    }
    testkit::TempDir m_dir;
};

TEST_P(StormBaselineTest, DoesTheOperationInPlace) {
    const fs::path archive = m_dir / "a.mpq";
    ASSERT_TRUE(GetParam().run(archive));
    GetParam().expect(archive);
    // In place: nothing is left beside the archive.
    EXPECT_EQ(std::distance(fs::directory_iterator(m_dir.path()), fs::directory_iterator()), 1);
}

INSTANTIATE_TEST_SUITE_P(
    Operations, StormBaselineTest,
    ::testing::Values(OperationCase{"read",
                                    [](const fs::path& a) {
                                        std::vector<std::uint8_t> content;
                                        return StormReadFile(a, kBig, content) && content == BigContent(1);
                                    },
                                    [](const fs::path& a) { EXPECT_EQ(Extract(a, kBig), BigContent(1)); }},
                      OperationCase{"replace_keeps_one_entry",
                                    [](const fs::path& a) { return StormSaveFile(a, kBig, BigContent(2)); },
                                    [](const fs::path& a) {
                                        EXPECT_EQ(Extract(a, kBig), BigContent(2));
                                        EXPECT_EQ(Listed(a, kBigListed), 1u);
                                    }},
                      OperationCase{"save_new_empty_file",
                                    [](const fs::path& a) { return StormSaveFile(a, "Empty.txt", {}); },
                                    [](const fs::path& a) {
                                        EXPECT_EQ(Listed(a, "Empty.txt"), 1u);
                                        EXPECT_EQ(Extract(a, kText), TextContent());
                                    }},
                      OperationCase{"edit",
                                    [](const fs::path& a) {
                                        return StormEditFile(a, kText, [](std::vector<std::uint8_t>& bytes) {
                                            bytes.push_back('!');
                                            return true;
                                        });
                                    },
                                    [](const fs::path& a) {
                                        std::vector<std::uint8_t> expected = TextContent();
                                        expected.push_back('!');
                                        EXPECT_EQ(Extract(a, kText), expected);
                                    }},
                      OperationCase{"delete", [](const fs::path& a) { return StormDeleteFile(a, kBig); },
                                    [](const fs::path& a) {
                                        EXPECT_EQ(Listed(a, kBigListed), 0u);
                                        EXPECT_EQ(Extract(a, kText), TextContent());
                                    }},
                      OperationCase{"compact_after_replace",
                                    [](const fs::path& a) {
                                        const auto before = fs::file_size(a);
                                        return StormSaveFile(a, kBig, BigContent(3)) && fs::file_size(a) > before &&
                                               StormCompactArchive(a) && fs::file_size(a) <= before + 1000;
                                    },
                                    [](const fs::path& a) { EXPECT_EQ(Extract(a, kBig), BigContent(3)); }}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(StormBaseline, ARefusedEditWritesNothing) {
    testkit::TempDir dir;
    const fs::path archive = dir / "a.mpq";
    ASSERT_TRUE(MakeArchive(archive));
    EXPECT_FALSE(StormEditFile(archive, kText, [](std::vector<std::uint8_t>& bytes) {
        bytes.assign(10, 'x');
        return false;
    }));
    std::vector<std::uint8_t> content;
    ASSERT_TRUE(StormReadFile(archive, kText, content));
    EXPECT_EQ(content, TextContent());
}

TEST(StormBaseline, MissingArchiveOrFileFails) {
    testkit::TempDir dir;
    std::vector<std::uint8_t> content;
    EXPECT_FALSE(StormReadFile(dir / "none.mpq", kText, content));
    EXPECT_FALSE(StormSaveFile(dir / "none.mpq", kText, TextContent()));
    EXPECT_FALSE(fs::exists(dir / "none.mpq")) << "an in-place write never creates the archive";
    ASSERT_TRUE(MakeArchive(dir / "a.mpq"));
    EXPECT_FALSE(StormReadFile(dir / "a.mpq", "No\\such.file", content));
    EXPECT_FALSE(StormDeleteFile(dir / "a.mpq", "No\\such.file"));
}

struct CreateCase {
    const char* name;
    int formatVersion;
    std::uint32_t hashTableSize;
    std::size_t fileCount;
};
void PrintTo(const CreateCase& row, std::ostream* out) {
    *out << row.name;
}

class StormCreateRefusalTest : public ::testing::TestWithParam<CreateCase> {};

TEST_P(StormCreateRefusalTest, CreatesNothing) {
    testkit::TempDir dir;
    const CreateCase& row = GetParam();
    EXPECT_FALSE(StormCreateArchive(dir / "a.mpq", row.formatVersion, row.hashTableSize, row.fileCount,
                                    [](std::size_t index, StormNewFile& file) {
                                        file.name = "f" + std::to_string(index);
                                        return true;
                                    }));
    EXPECT_FALSE(std::filesystem::exists(dir / "a.mpq"));
}

INSTANTIATE_TEST_SUITE_P(Shapes, StormCreateRefusalTest,
                         ::testing::Values(CreateCase{"format_2", 2, 16, 2}, CreateCase{"format_negative", -1, 16, 2},
                                           CreateCase{"hash_size_not_power_of_two", 1, 24, 2},
                                           CreateCase{"more_files_than_the_table_holds", 1, 16, 15}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(StormBaseline, GeneratorStopsWhenAskedTo) {
    testkit::TempDir dir;
    EXPECT_FALSE(StormCreateArchive(dir / "a.mpq", 1, 16, 3, [](std::size_t index, StormNewFile& file) {
        file.name = "f" + std::to_string(index);
        return index < 1;
    }));
}

} // namespace
