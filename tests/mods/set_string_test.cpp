#include "mods/set_string.h"

#include <gtest/gtest.h>

namespace {

struct SetStringCase {
    const char* name;
    std::u16string text;
    std::u16string key;
    std::u16string newValue;
    bool found;
    std::u16string newText; // expected when found
    std::u16string oldValue;
};

void PrintTo(const SetStringCase& c, std::ostream* os) {
    *os << c.name;
}

class SetStringTest : public testing::TestWithParam<SetStringCase> {};

TEST_P(SetStringTest, FindsAndReplacesTheFirstEntryValue) {
    const SetStringCase& c = GetParam();
    std::u16string newText = u"untouched text";
    std::u16string oldValue = u"untouched value";
    const bool found = mods::SetString(c.text, c.key, c.newValue, newText, oldValue);
    ASSERT_EQ(found, c.found);
    if (c.found) {
        EXPECT_EQ(newText, c.newText);
        EXPECT_EQ(oldValue, c.oldValue);
    } else {
        EXPECT_EQ(newText, u"untouched text");
        EXPECT_EQ(oldValue, u"untouched value");
    }
}

const SetStringCase kCases[] = {
    {"PlainEntry", u"GAMENAME \"My Game\",", u"GAMENAME", u"LAN", true, u"GAMENAME \"LAN\",", u"My Game"},
    {"KeyInLowerCaseInText", u"gamename \"a\",", u"GAMENAME", u"b", true, u"gamename \"b\",", u"a"},
    {"KeyArgumentInMixedCase", u"GameName \"a\",", u"gAMEnAME", u"b", true, u"GameName \"b\",", u"a"},
    {"Latin1LettersFoldCase", u"ÉTÉ \"a\",", u"été", u"b", true, u"ÉTÉ \"b\",", u"a"},
    {"CyrillicLettersFoldCase", u"ИМЯ \"a\",", u"имя", u"b", true, u"ИМЯ \"b\",", u"a"},
    {"FullWidthLettersFoldCase", u"ＧＡＭＥ \"a\",", u"ｇａｍｅ", u"b", true, u"ＧＡＭＥ \"b\",", u"a"},
    {"DifferentLettersDoNotMatch", u"GAMENAMF \"a\",", u"GAMENAME", u"b", false, u"", u""},
    {"OnlyFirstOfTwoEntriesChanges", u"GAMENAME \"one\",\r\nGAMENAME \"two\",", u"GAMENAME", u"new", true,
     u"GAMENAME \"new\",\r\nGAMENAME \"two\",", u"one"},
    {"KeyEndingALongerWordIsSkipped", u"MYGAMENAME \"x\",\r\nGAMENAME \"y\",", u"GAMENAME", u"z", true,
     u"MYGAMENAME \"x\",\r\nGAMENAME \"z\",", u"y"},
    {"KeyStartingALongerWordIsSkipped", u"GAMENAME_OLD \"x\",\nGAMENAME2 \"y\",\nGAMENAME \"z\",", u"GAMENAME", u"n",
     true, u"GAMENAME_OLD \"x\",\nGAMENAME2 \"y\",\nGAMENAME \"n\",", u"z"},
    {"KeyInCommentIsSkipped", u"// GAMENAME is below\r\nACCEPT \"ok\",\r\n  GAMENAME \"real\",", u"GAMENAME", u"n",
     true, u"// GAMENAME is below\r\nACCEPT \"ok\",\r\n  GAMENAME \"n\",", u"real"},
    {"BlanksAndTabsBeforeKey", u"x\n \t GAMENAME\t\"v\",", u"GAMENAME", u"w", true, u"x\n \t GAMENAME\t\"w\",", u"v"},
    {"LineBreakBetweenKeyAndQuote", u"GAMENAME\r\n\t\"v\",", u"GAMENAME", u"w", false, u"", u""},
    {"ClosingPairAfterBareLineFeed", u"GAMENAME \"old\"\n    FOO \"bar\",", u"GAMENAME", u"new", false, u"", u""},
    {"ClosingPairAfterBareCarriageReturn", u"GAMENAME \"old\"\r    FOO \"bar\",", u"GAMENAME", u"new", false, u"", u""},
    {"FirstEntryDecides", u"GAMENAME \"old\"\r\nGAMENAME \"later\",", u"GAMENAME", u"new", false, u"", u""},
    {"KeyAtTextEnd", u"A \"v\",\r\nGAMENAME", u"GAMENAME", u"new", false, u"", u""},
    {"EmptyOldValue", u"GAMENAME \"\",", u"GAMENAME", u"filled", true, u"GAMENAME \"filled\",", u""},
    {"EmptyNewValue", u"GAMENAME \"abc\", tail", u"GAMENAME", u"", true, u"GAMENAME \"\", tail", u"abc"},
    {"InnerQuoteBelongsToValue", u"GAMENAME \"say \"hi\" now\",", u"GAMENAME", u"x", true, u"GAMENAME \"x\",",
     u"say \"hi\" now"},
    {"BackslashesAndEscapesAreVerbatim", u"GAMENAME \"a\\n\\\"b\",", u"GAMENAME", u"c\\d", true, u"GAMENAME \"c\\d\",",
     u"a\\n\\\"b"},
    {"NewValueWithClosingPairIsVerbatim", u"GAMENAME \"a\",", u"GAMENAME", u"x\",y", true, u"GAMENAME \"x\",y\",",
     u"a"},
    {"ChineseValueAndByteOrderMark", u"\uFEFFGAMENAME                        \"%s的游戏\",\r\n", u"GAMENAME", u"局域网",
     true, u"\uFEFFGAMENAME                        \"局域网\",\r\n", u"%s的游戏"},
    {"SurrogatePairsInValue", u"K \"\U0001F600\",", u"K", u"\U0001F47E", true, u"K \"\U0001F47E\",", u"\U0001F600"},
    {"EverythingAfterThePairStays", u"A \"v\",\"w\", end", u"A", u"", true, u"A \"\",\"w\", end", u"v"},
    {"MissingKey", u"NAME \"a\",", u"GAMENAME", u"b", false, u"", u""},
    {"QuoteOnlyBeforeKey", u"\"a\", GAMENAME", u"GAMENAME", u"b", false, u"", u""},
    {"NoClosingPair", u"GAMENAME \"a\"\r\n", u"GAMENAME", u"b", false, u"", u""},
    {"OpeningQuoteIsNotItsOwnClosingPair", u"GAMENAME \",", u"GAMENAME", u"b", false, u"", u""},
    {"CommaWithoutQuote", u"GAMENAME \"a,", u"GAMENAME", u"b", false, u"", u""},
    {"EmptyText", u"", u"GAMENAME", u"b", false, u"", u""},
};

INSTANTIATE_TEST_SUITE_P(Cases, SetStringTest, testing::ValuesIn(kCases),
                         [](const testing::TestParamInfo<SetStringCase>& info) { return info.param.name; });

TEST(SetStringAliasing, SameVariableAsSourceAndResultIsReplacedOnlyOnSuccess) {
    std::u16string text = u"GAMENAME \"old\",";
    std::u16string oldValue;
    ASSERT_TRUE(mods::SetString(text, u"GAMENAME", u"new", text, oldValue));
    EXPECT_EQ(text, u"GAMENAME \"new\",");
    EXPECT_EQ(oldValue, u"old");

    std::u16string broken = u"GAMENAME \"no pair";
    EXPECT_FALSE(mods::SetString(broken, u"GAMENAME", u"new", broken, oldValue));
    EXPECT_EQ(broken, u"GAMENAME \"no pair");
    EXPECT_EQ(oldValue, u"old");
}

TEST(SetStringReading, EmptyNewValueReadsTheValueAndReadingAgainGivesTheWrittenPart) {
    // A name holding '",' is written verbatim; reading it back stops at that pair.
    std::u16string written;
    std::u16string old;
    ASSERT_TRUE(mods::SetString(u"GAMENAME \"a\",", u"GAMENAME", u"x\",y", written, old));
    std::u16string ignored;
    std::u16string read;
    ASSERT_TRUE(mods::SetString(written, u"GAMENAME", u"", ignored, read));
    EXPECT_EQ(read, u"x");
    EXPECT_EQ(ignored, u"GAMENAME \"\",y\",");
}

} // namespace
