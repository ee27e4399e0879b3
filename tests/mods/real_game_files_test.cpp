// The game's own string and skin files, as players have them, read and written through an archive.
// The expected results come from the plain first-match search (the first key anywhere, letter case
// ignored; the first cursor prefix anywhere): on these files the entry rules must agree with it.
#include "archive/mpq_control.h"
#include "game_files.h"
#include "mods/modifications.h"
#include "support/text_path.h"
#include "support/utf8_convert.h"
#include "testkit/mpq_fixtures.h"
#include "testkit/temp_dir.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <filesystem>

namespace {

namespace fs = std::filesystem;
using Bytes = std::vector<std::uint8_t>;

// The real file's bytes, or nothing when it is absent.
std::optional<Bytes> RealFile(const char* name) {
    const fs::path path = fs::path(REAL_DATA_DIR) / name;
    std::error_code error;
    if (!fs::is_regular_file(path, error))
        return std::nullopt;
    return testkit::ReadBytes(path);
}

// Under CI a file missing from the shared real data fails; a checkout with no shared data beside
// it at all (a clone on its own) skips, as it does elsewhere.
#define REQUIRE_REAL_FILE(original)                                                                                    \
    if (!(original)) {                                                                                                 \
        if (std::getenv("CI") && fs::is_directory(REAL_DATA_DIR))                                                      \
            FAIL() << "missing real file " << GetParam().file << " in " << REAL_DATA_DIR;                              \
        GTEST_SKIP() << "real file not present: " << GetParam().file;                                                  \
    }

std::size_t Find(const Bytes& bytes, std::string_view what, std::size_t from) {
    const auto it =
        std::search(bytes.begin() + static_cast<std::ptrdiff_t>(std::min(from, bytes.size())), bytes.end(),
                    what.begin(), what.end(), [](std::uint8_t a, char b) { return a == static_cast<std::uint8_t>(b); });
    return it == bytes.end() ? std::string::npos : static_cast<std::size_t>(it - bytes.begin());
}

std::size_t FindIgnoringAsciiCase(const Bytes& bytes, std::string_view what) {
    const auto it = std::search(bytes.begin(), bytes.end(), what.begin(), what.end(), [](std::uint8_t a, char b) {
        return std::tolower(a) == std::tolower(static_cast<unsigned char>(b));
    });
    return it == bytes.end() ? std::string::npos : static_cast<std::size_t>(it - bytes.begin());
}

// [begin, end) of the old value, by the plain first-match search; nothing when it finds none.
std::optional<std::pair<std::size_t, std::size_t>> PlainValueRange(const Bytes& bytes) {
    const std::size_t key = FindIgnoringAsciiCase(bytes, "GAMENAME");
    if (key == std::string::npos)
        return std::nullopt;
    const std::size_t quote = Find(bytes, "\"", key + 1);
    if (quote == std::string::npos)
        return std::nullopt;
    const std::size_t pair = Find(bytes, "\",", quote + 1);
    if (pair == std::string::npos)
        return std::nullopt;
    return std::make_pair(quote + 1, pair);
}

std::optional<std::pair<std::size_t, std::size_t>> PlainRaceRange(const Bytes& bytes) {
    const std::size_t prefix = Find(bytes, "Cursor=UI\\Cursor\\", 0);
    if (prefix == std::string::npos)
        return std::nullopt;
    const std::size_t suffix = Find(bytes, "Cursor.mdl", prefix + 17);
    if (suffix == std::string::npos)
        return std::nullopt;
    return std::make_pair(prefix + 17, suffix);
}

Bytes Splice(const Bytes& bytes, std::pair<std::size_t, std::size_t> range, const Bytes& middle) {
    Bytes result(bytes.begin(), bytes.begin() + static_cast<std::ptrdiff_t>(range.first));
    result.insert(result.end(), middle.begin(), middle.end());
    result.insert(result.end(), bytes.begin() + static_cast<std::ptrdiff_t>(range.second), bytes.end());
    return result;
}

class RealFileArchive {
public:
    RealFileArchive(const std::u16string& entry, const Bytes& content) {
        testkit::BuildArchive(m_path, {{entry, content}});
        m_mpq.SetMpqFileName(TextFromPath(m_path));
    }
    clsMpqControl& mpq() { return m_mpq; }
    const fs::path& path() const { return m_path; }
    Bytes Stored(const std::u16string& entry) {
        Bytes bytes;
        EXPECT_TRUE(m_mpq.ReadFileFromMpq(entry, bytes));
        return bytes;
    }

private:
    testkit::TempDir m_dir;
    fs::path m_path = m_dir / "War3Patch.mpq";
    clsMpqControl m_mpq;
};

struct RealFileCase {
    const char* name;
    const char* file;
};

void PrintTo(const RealFileCase& c, std::ostream* os) {
    *os << c.name;
}

class RealGlobalStrings : public testing::TestWithParam<RealFileCase> {};

TEST_P(RealGlobalStrings, ReadsAndWritesTheNameAsThePlainSearchDoes) {
    const auto original = RealFile(GetParam().file);
    REQUIRE_REAL_FILE(original);
    const auto range = PlainValueRange(*original);
    ASSERT_TRUE(range);
    const Bytes oldValue(original->begin() + static_cast<std::ptrdiff_t>(range->first),
                         original->begin() + static_cast<std::ptrdiff_t>(range->second));

    RealFileArchive archive(mods::kGlobalStringsPath, *original);
    EXPECT_EQ(mods::ReadLanGameName(archive.mpq()), modUtf8Convert::Utf8BytesToString(oldValue));

    const std::u16string newName = u"局域网 LAN %s";
    const mods::Outcome outcome = mods::WriteLanGameName(archive.mpq(), newName);
    EXPECT_EQ(outcome.text, u"命令成功完成.");
    EXPECT_EQ(archive.Stored(mods::kGlobalStringsPath),
              Splice(*original, *range, modUtf8Convert::StringToUtf8Bytes(newName)));
    EXPECT_EQ(mods::ReadLanGameName(archive.mpq()), newName);
}

INSTANTIATE_TEST_SUITE_P(Files, RealGlobalStrings,
                         testing::Values(RealFileCase{"EnglishCrLf", "GlobalStrings.enUS.openwarcraft3.fdf"},
                                         RealFileCase{"ChineseCrLf", "GlobalStrings.zhCN.v127.hunzsig.fdf"},
                                         RealFileCase{"KoreanLf", "GlobalStrings.koKR.reforged.TRPG4.fdf"}),
                         [](const testing::TestParamInfo<RealFileCase>& info) { return info.param.name; });

class RealSkins : public testing::TestWithParam<RealFileCase> {};

TEST_P(RealSkins, ReadsAndWritesTheRaceAsThePlainSearchDoes) {
    const auto original = RealFile(GetParam().file);
    REQUIRE_REAL_FILE(original);
    const auto range = PlainRaceRange(*original);

    RealFileArchive archive(mods::kWar3SkinsPath, *original);
    const Bytes archiveBefore = modstest::ArchiveBytes(archive.path());
    const auto race = mods::ReadCursorRace(archive.mpq());
    const mods::Outcome outcome = mods::WriteCursorRace(archive.mpq(), mods::Race::NightElf);
    if (!range) {
        // A fragment without a cursor entry: nothing to show, nothing written.
        EXPECT_EQ(race, std::nullopt);
        EXPECT_EQ(outcome.text, u"操作过程中发生错误.");
        EXPECT_EQ(modstest::ArchiveBytes(archive.path()), archiveBefore);
        return;
    }
    const std::string word(original->begin() + static_cast<std::ptrdiff_t>(range->first),
                           original->begin() + static_cast<std::ptrdiff_t>(range->second));
    ASSERT_TRUE(race);
    EXPECT_EQ(mods::RaceWord(*race), std::u16string(word.begin(), word.end()));
    EXPECT_EQ(outcome.text, u"命令完成.");
    EXPECT_EQ(archive.Stored(mods::kWar3SkinsPath), Splice(*original, *range, testkit::Bytes("NightElf")));
    EXPECT_EQ(mods::ReadCursorRace(archive.mpq()), mods::Race::NightElf);
}

INSTANTIATE_TEST_SUITE_P(Files, RealSkins,
                         testing::Values(RealFileCase{"KoreanFiveEntries", "war3skins.koKR.reforged.TRPG4.txt"},
                                         RealFileCase{"FragmentWithoutCursor", "war3skins.fragment.LegionTD.txt"}),
                         [](const testing::TestParamInfo<RealFileCase>& info) { return info.param.name; });

} // namespace
