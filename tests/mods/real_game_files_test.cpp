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

#include <cctype>
#include <cstdlib>

namespace {

namespace fs = std::filesystem;
using Bytes = std::vector<std::uint8_t>;

struct RealFile {
    const char* name;
    const char* file;
    bool skins; // war3skins.txt (the cursor entry), else GlobalStrings.fdf (GAMENAME)
};

// [begin, end) of the value (or the race word) by the plain first-match search.
std::optional<std::pair<std::size_t, std::size_t>> PlainRange(const std::string& text, bool skins) {
    std::string upper = text;
    for (char& c : upper)
        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    const std::size_t open = skins ? text.find("Cursor=UI\\Cursor\\") : text.find('"', upper.find("GAMENAME"));
    const std::size_t begin = open == std::string::npos ? open : open + (skins ? 17 : 1);
    const std::size_t end = text.find(skins ? "Cursor.mdl" : "\",", begin);
    if (end == std::string::npos)
        return std::nullopt;
    return std::make_pair(begin, end);
}

class RealGameFiles : public testing::TestWithParam<RealFile> {};

TEST_P(RealGameFiles, ReadAndWriteAsThePlainSearchDoes) {
    const RealFile& c = GetParam();
    const fs::path path = fs::path(REAL_DATA_DIR) / c.file;
    std::error_code error;
    if (!fs::is_regular_file(path, error)) {
        // Under CI a missing file fails; a clone with no shared data beside it at all skips.
        if (std::getenv("CI") && fs::is_directory(REAL_DATA_DIR, error))
            FAIL() << "missing real file " << path;
        GTEST_SKIP() << "real file not present: " << path;
    }
    const Bytes original = testkit::ReadBytes(path);
    const auto range = PlainRange(std::string(original.begin(), original.end()), c.skins);
    const std::u16string entry = c.skins ? mods::kWar3SkinsPath : mods::kGlobalStringsPath;
    testkit::TempDir dir;
    testkit::BuildArchive(dir / "War3Patch.mpq", {{entry, original}});
    const Bytes archiveBefore = modstest::ArchiveBytes(dir / "War3Patch.mpq");
    clsMpqControl mpq;
    mpq.SetMpqFileName(TextFromPath(dir / "War3Patch.mpq"));
    const auto read = [&]() -> std::optional<std::u16string> {
        if (!c.skins)
            return mods::ReadLanGameName(mpq);
        const auto race = mods::ReadCursorRace(mpq);
        return race ? std::optional(mods::RaceWord(*race)) : std::nullopt;
    };
    const auto shownBefore = read();
    const std::u16string newValue = c.skins ? u"NightElf" : u"局域网 LAN %s";
    const mods::Outcome outcome =
        c.skins ? mods::WriteCursorRace(mpq, mods::Race::NightElf) : mods::WriteLanGameName(mpq, newValue);
    if (!range) {
        // A fragment without an entry: nothing to show, nothing written.
        EXPECT_EQ(shownBefore, std::nullopt);
        EXPECT_EQ(outcome.text, mods::kTextFailed);
        EXPECT_EQ(modstest::ArchiveBytes(dir / "War3Patch.mpq"), archiveBefore);
        return;
    }
    const auto at = [&](std::size_t offset) { return original.begin() + static_cast<std::ptrdiff_t>(offset); };
    EXPECT_EQ(shownBefore, modUtf8Convert::Utf8BytesToString(Bytes(at(range->first), at(range->second))));
    EXPECT_EQ(outcome.text, c.skins ? mods::kTextCompleted : mods::kTextSucceeded);
    Bytes expected(original.begin(), at(range->first));
    const Bytes newBytes = modUtf8Convert::StringToUtf8Bytes(newValue);
    expected.insert(expected.end(), newBytes.begin(), newBytes.end());
    expected.insert(expected.end(), at(range->second), original.end());
    Bytes stored;
    EXPECT_TRUE(mpq.ReadFileFromMpq(entry, stored));
    EXPECT_EQ(stored, expected);
    EXPECT_EQ(read(), newValue);
}

INSTANTIATE_TEST_SUITE_P(Files, RealGameFiles,
                         testing::Values(RealFile{"EnglishCrLf", "GlobalStrings.enUS.openwarcraft3.fdf", false},
                                         RealFile{"ChineseCrLf", "GlobalStrings.zhCN.v127.hunzsig.fdf", false},
                                         RealFile{"KoreanLf", "GlobalStrings.koKR.reforged.TRPG4.fdf", false},
                                         RealFile{"KoreanSkinsFiveEntries", "war3skins.koKR.reforged.TRPG4.txt", true},
                                         RealFile{"SkinsFragmentWithoutCursor", "war3skins.fragment.LegionTD.txt",
                                                  true}),
                         [](const testing::TestParamInfo<RealFile>& info) { return std::string(info.param.name); });

} // namespace
