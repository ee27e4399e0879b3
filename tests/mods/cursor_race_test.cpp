#include "mods/cursor_race.h"

#include <gtest/gtest.h>

namespace {

using mods::Race;

struct RecognitionCase {
    const char* name;
    std::u16string text;
    std::optional<Race> race;
};

void PrintTo(const RecognitionCase& c, std::ostream* os) {
    *os << c.name;
}

class RecognizeRaceTest : public testing::TestWithParam<RecognitionCase> {};

TEST_P(RecognizeRaceTest, ReadsTheWindowAfterTheFirstPrefix) {
    EXPECT_EQ(mods::RecognizeRace(GetParam().text), GetParam().race);
}

const RecognitionCase kRecognitionCases[] = {
    {"Human", u"[Human]\r\nCursor=UI\\Cursor\\HumanCursor.mdl\r\n", Race::Human},
    {"Orc", u"Cursor=UI\\Cursor\\OrcCursor.mdl", Race::Orc},
    {"NightElf", u"Cursor=UI\\Cursor\\NightElfCursor.mdl", Race::NightElf},
    {"Undead", u"Cursor=UI\\Cursor\\UndeadCursor.mdl", Race::Undead},
    {"UnknownWord", u"Cursor=UI\\Cursor\\DemonCursor.mdl", std::nullopt},
    {"RaceWordInOtherCase", u"Cursor=UI\\Cursor\\humanCursor.mdl", std::nullopt},
    {"PrefixInOtherCase", u"cursor=ui\\cursor\\HumanCursor.mdl", std::nullopt},
    {"NoPrefix", u"[Human]\r\nPortrait=UI\\Human.mdl\r\n", std::nullopt},
    {"EmptyText", u"", std::nullopt},
    {"OnlyTheFirstEntryCounts", u"Cursor=UI\\Cursor\\DemonCursor.mdl\r\nCursor=UI\\Cursor\\OrcCursor.mdl",
     std::nullopt},
    {"WordBeyondTheEightCharacterWindow", u"Cursor=UI\\Cursor\\XXXXHumanCursor.mdl", std::nullopt},
    {"WordAtTheWindowsEnd", u"Cursor=UI\\Cursor\\XXXHumanCursor.mdl", Race::Human},
    {"PrefixAtTextEnd", u"Cursor=UI\\Cursor\\", std::nullopt},
    {"HumanTestedBeforeOrc", u"Cursor=UI\\Cursor\\OrcHumanCursor.mdl", Race::Human},
    {"FirstEntryWithoutSuffixDecides", u"Cursor=UI\\Cursor\\Human.blp\nCursor=UI\\Cursor\\OrcCursor.mdl", std::nullopt},
};

INSTANTIATE_TEST_SUITE_P(Cases, RecognizeRaceTest, testing::ValuesIn(kRecognitionCases),
                         [](const testing::TestParamInfo<RecognitionCase>& info) { return info.param.name; });

struct RewriteCase {
    const char* name;
    std::u16string text;
    Race race;
    std::optional<std::u16string> rewritten;
};

void PrintTo(const RewriteCase& c, std::ostream* os) {
    *os << c.name;
}

class RewriteRaceTest : public testing::TestWithParam<RewriteCase> {};

TEST_P(RewriteRaceTest, ReplacesOnlyTheFirstEntrysWord) {
    EXPECT_EQ(mods::RewriteRace(GetParam().text, GetParam().race), GetParam().rewritten);
}

const RewriteCase kRewriteCases[] = {
    {"HumanToOrc", u"[Human]\r\nCursor=UI\\Cursor\\HumanCursor.mdl\r\nx", Race::Orc,
     u"[Human]\r\nCursor=UI\\Cursor\\OrcCursor.mdl\r\nx"},
    {"SameRaceGivesSameText", u"Cursor=UI\\Cursor\\UndeadCursor.mdl", Race::Undead,
     u"Cursor=UI\\Cursor\\UndeadCursor.mdl"},
    {"ShorterWordToLonger", u"Cursor=UI\\Cursor\\OrcCursor.mdl", Race::NightElf,
     u"Cursor=UI\\Cursor\\NightElfCursor.mdl"},
    {"LongerWordToShorter", u"Cursor=UI\\Cursor\\NightElfCursor.mdl", Race::Orc, u"Cursor=UI\\Cursor\\OrcCursor.mdl"},
    {"UnknownWordIsDropped", u"Cursor=UI\\Cursor\\SomethingVeryLongCursor.mdl", Race::Human,
     u"Cursor=UI\\Cursor\\HumanCursor.mdl"},
    {"EmptyWord", u"Cursor=UI\\Cursor\\Cursor.mdl", Race::Orc, u"Cursor=UI\\Cursor\\OrcCursor.mdl"},
    {"OnlyFirstOfSeveralEntries",
     u"Cursor=UI\\Cursor\\HumanCursor.mdl\nCursor=UI\\Cursor\\HumanCursor.mdl\nPlacementCursor=UI\\Cursor\\HumanCursor."
     u"mdl",
     Race::Undead,
     u"Cursor=UI\\Cursor\\UndeadCursor.mdl\nCursor=UI\\Cursor\\HumanCursor.mdl\nPlacementCursor="
     u"UI\\Cursor\\HumanCursor.mdl"},
    {"SuffixOnLaterLine", u"Cursor=UI\\Cursor\\Human.blp\nPortrait=XCursor.mdl", Race::Orc, std::nullopt},
    {"SuffixAfterBareCarriageReturn", u"Cursor=UI\\Cursor\\Human\rXCursor.mdl", Race::Orc, std::nullopt},
    {"LongerKeyBeforeEntryIsSkipped", u"XCursor=UI\\Cursor\\HumanCursor.mdl\nCursor=UI\\Cursor\\Cursor.mdl", Race::Orc,
     u"XCursor=UI\\Cursor\\HumanCursor.mdl\nCursor=UI\\Cursor\\OrcCursor.mdl"},
    {"CommentedEntryIsSkipped", u"//Cursor=UI\\Cursor\\HumanCursor.mdl\n  Cursor=UI\\Cursor\\HumanCursor.mdl",
     Race::NightElf, u"//Cursor=UI\\Cursor\\HumanCursor.mdl\n  Cursor=UI\\Cursor\\NightElfCursor.mdl"},
    {"NoPrefix", u"Portrait=UI\\Cursor\\HumanCursor.mdl", Race::Orc, std::nullopt},
    {"PrefixInOtherCase", u"cursor=ui\\cursor\\HumanCursor.mdl", Race::Orc, std::nullopt},
    {"NoSuffixAfterPrefix", u"Cursor=UI\\Cursor\\Human.mdl", Race::Orc, std::nullopt},
    {"SuffixOnlyBeforePrefix", u"HumanCursor.mdl\nCursor=UI\\Cursor\\Human", Race::Orc, std::nullopt},
    {"SuffixInOtherCase", u"Cursor=UI\\Cursor\\Humancursor.MDL", Race::Orc, std::nullopt},
};

INSTANTIATE_TEST_SUITE_P(Cases, RewriteRaceTest, testing::ValuesIn(kRewriteCases),
                         [](const testing::TestParamInfo<RewriteCase>& info) { return info.param.name; });

} // namespace
