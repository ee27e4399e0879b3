// The players' own string and skin files read and written through an archive just where the plain
// first-match search (the first key anywhere, case ignored; the first cursor prefix anywhere) finds them.
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

namespace fs = std::filesystem;

class RealGameFiles : public testing::TestWithParam<std::tuple<const char*, const char*, bool>> {};

TEST_P(RealGameFiles, ReadAndWriteAsThePlainSearchDoes) {
    const auto& [name, file, skins] = GetParam(); // skins: war3skins.txt's cursor, else GAMENAME
    const fs::path path = fs::path(REAL_DATA_DIR) / file;
    if (!fs::is_regular_file(path)) {
        // Under CI a missing file fails; a clone with no shared data beside it at all skips.
        if (std::getenv("CI") && fs::is_directory(REAL_DATA_DIR))
            FAIL() << "missing real file " << path;
        GTEST_SKIP() << "real file not present: " << path;
    }
    const std::vector<std::uint8_t> original = testkit::ReadBytes(path);
    std::string text(original.begin(), original.end()), upper = text;
    std::transform(text.begin(), text.end(), upper.begin(), [](unsigned char c) { return std::toupper(c); });
    const std::size_t open = skins ? text.find("Cursor=UI\\Cursor\\") : text.find('"', upper.find("GAMENAME"));
    const std::size_t begin = open == std::string::npos ? open : open + (skins ? 17 : 1);
    const std::size_t end = text.find(skins ? "Cursor.mdl" : "\",", begin);

    testkit::TempDir dir;
    const std::u16string entry = skins ? mods::kWar3SkinsPath : mods::kGlobalStringsPath;
    testkit::BuildArchive(dir / "War3Patch.mpq", {{entry, original}});
    const std::vector<std::uint8_t> archiveBefore = modstest::ArchiveBytes(dir / "War3Patch.mpq");
    clsMpqControl mpq;
    mpq.SetMpqFileName(TextFromPath(dir / "War3Patch.mpq"));
    const std::optional<mods::Race> race = skins ? mods::ReadCursorRace(mpq) : std::nullopt;
    const std::u16string before =
        skins ? (race ? mods::RaceWord(*race) : u"") : mods::ReadLanGameName(mpq).value_or(u"");
    const std::u16string newValue = skins ? u"NightElf" : u"局域网 LAN %s";
    const mods::Outcome outcome =
        skins ? mods::WriteCursorRace(mpq, mods::Race::NightElf) : mods::WriteLanGameName(mpq, newValue);
    std::vector<std::uint8_t> stored;
    EXPECT_TRUE(mpq.ReadFileFromMpq(entry, stored));
    if (end == std::string::npos) { // a fragment without an entry: nothing to show, nothing written
        EXPECT_EQ(before, u"");
        EXPECT_EQ(outcome.text, mods::kTextFailed);
        EXPECT_EQ(modstest::ArchiveBytes(dir / "War3Patch.mpq"), archiveBefore);
        return;
    }
    EXPECT_EQ(before, modUtf8Convert::Utf8ToText(text.substr(begin, end - begin)));
    EXPECT_EQ(outcome.text, skins ? mods::kTextCompleted : mods::kTextSucceeded);
    EXPECT_EQ(std::string(stored.begin(), stored.end()),
              text.replace(begin, end - begin, modUtf8Convert::TextToUtf8(newValue)));
}

INSTANTIATE_TEST_SUITE_P(
    Files, RealGameFiles,
    testing::Values(std::make_tuple("EnglishCrLf", "GlobalStrings.enUS.openwarcraft3.fdf", false),
                    std::make_tuple("ChineseCrLf", "GlobalStrings.zhCN.v127.hunzsig.fdf", false),
                    std::make_tuple("KoreanLf", "GlobalStrings.koKR.reforged.TRPG4.fdf", false),
                    std::make_tuple("KoreanSkinsFiveEntries", "war3skins.koKR.reforged.TRPG4.txt", true),
                    std::make_tuple("SkinsFragmentWithoutCursor", "war3skins.fragment.LegionTD.txt", true)),
    [](const auto& info) { return std::string(std::get<0>(info.param)); });
