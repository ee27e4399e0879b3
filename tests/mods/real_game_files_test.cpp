// The players' own string and skin files read and edited just where the plain first-match search (the
// first key anywhere, case ignored; the first cursor prefix anywhere) finds them.
#include "mods/modifications.h"
#include "mods/set_string.h"
#include "support/utf8_convert.h"
#include "testkit/mpq_fixtures.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <cstdlib>

namespace fs = std::filesystem;

class RealGameFiles : public testing::TestWithParam<std::tuple<const char*, const char*, bool>> {};

TEST_P(RealGameFiles, ReadAndEditAsThePlainSearchDoes) {
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

    const std::u16string decoded = modUtf8Convert::Utf8BytesToString(original);
    std::u16string shown, ignored;
    if (!skins)
        mods::SetString(decoded, mods::kGameNameKey, u"", ignored, shown);
    else if (const auto race = mods::RecognizeRace(decoded))
        shown = mods::RaceWord(*race);
    const std::u16string newValue = skins ? u"NightElf" : u"局域网 LAN %s";
    const auto edited =
        skins ? mods::EditCursorRace(original, mods::Race::NightElf) : mods::EditLanGameName(original, newValue);
    if (end == std::string::npos) { // a fragment without an entry: nothing to show, nothing to edit
        EXPECT_EQ(shown, u"");
        EXPECT_FALSE(edited.has_value());
        return;
    }
    EXPECT_EQ(shown, modUtf8Convert::Utf8ToText(text.substr(begin, end - begin)));
    ASSERT_TRUE(edited.has_value());
    EXPECT_EQ(std::string(edited->begin(), edited->end()),
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
