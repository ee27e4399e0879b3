#include "mods/byte_splice.h"

#include "mods/cursor_race.h"
#include "mods/set_string.h"
#include "support/utf8_convert.h"
#include "testkit/temp_dir.h"

#include <gtest/gtest.h>

namespace {

using Bytes = std::vector<std::uint8_t>;

Bytes Join(std::initializer_list<Bytes> parts) {
    Bytes joined;
    for (const Bytes& part : parts)
        joined.insert(joined.end(), part.begin(), part.end());
    return joined;
}

Bytes Utf8(std::u16string_view text) {
    return modUtf8Convert::StringToUtf8Bytes(std::u16string(text));
}

// The GAMENAME edit as the handler does it: locate in the decoded text, splice the bytes.
std::optional<Bytes> ReplaceGameName(const Bytes& file, const std::u16string& name) {
    const std::u16string text = modUtf8Convert::Utf8BytesToString(file);
    const auto value = mods::FindQuotedValue(text, u"GAMENAME");
    if (!value)
        return std::nullopt;
    return mods::SpliceDecoded(file, text, value->valueBegin, value->valueEnd, name);
}

struct PreservationCase {
    const char* name;
    Bytes before; // bytes ahead of the entry
    Bytes after;  // bytes behind the closing pair
};

void PrintTo(const PreservationCase& c, std::ostream* os) {
    *os << c.name;
}

class BytePreservationTest : public testing::TestWithParam<PreservationCase> {};

TEST_P(BytePreservationTest, OnlyTheValuesBytesChange) {
    const PreservationCase& c = GetParam();
    const Bytes file =
        Join({c.before, testkit::Bytes("\nGAMENAME \""), Utf8(u"%s的游戏"), testkit::Bytes("\","), c.after});
    const auto edited = ReplaceGameName(file, u"局域网 ✓");
    ASSERT_TRUE(edited.has_value());
    EXPECT_EQ(*edited,
              Join({c.before, testkit::Bytes("\nGAMENAME \""), Utf8(u"局域网 ✓"), testkit::Bytes("\","), c.after}));
}

const Bytes kBom = {0xEF, 0xBB, 0xBF};

const PreservationCase kPreservationCases[] = {
    {"ValidUtf8WithBomAndCrlf", Join({kBom, testkit::Bytes("StringList {\r\n    ")}), testkit::Bytes("\r\n}\r\n")},
    {"StrayFFBeforeAndAfter", Join({kBom, {0xFF}, testkit::Bytes("\r\n")}), {0x0D, 0x0A, 0xFF, 0xFE, 0x41}},
    {"LoneContinuationBytes", {0x80, 0xBF, 0x20}, {0x20, 0x80}},
    {"TruncatedSequenceRightBeforeTheKey", {0xE4, 0xB8}, {0xE4}},
    {"TruncatedSequenceRightAfterThePair", {}, {0xF0, 0x9F, 0x98}},
    {"OverlongQuoteIsNotAQuote", {0xC0, 0xA2, 0x20}, {0xC0, 0xA2, 0xC0, 0xAC}},
    {"Cesu8SurrogateHalves", {0xED, 0xA0, 0xBD, 0xED, 0xB8, 0x80}, {0xED, 0xB2, 0x80}},
    {"QuotesAndPairsAroundTheEntry", testkit::Bytes("X \"a\", \xFF \""), testkit::Bytes("\"b\", \xFF\"")},
    {"ZeroBytes", {0x00, 0x20, 0x00}, {0x00}},
};

INSTANTIATE_TEST_SUITE_P(Files, BytePreservationTest, testing::ValuesIn(kPreservationCases),
                         [](const testing::TestParamInfo<PreservationCase>& info) { return info.param.name; });

TEST(BytePreservation, InvalidBytesInsideTheOldValueGoWithIt) {
    const Bytes file = Join({testkit::Bytes("\xFF\n GAMENAME \"a\xFF"), testkit::Bytes("b\", \xFE")});
    const auto edited = ReplaceGameName(file, u"c");
    ASSERT_TRUE(edited.has_value());
    EXPECT_EQ(*edited, testkit::Bytes("\xFF\n GAMENAME \"c\", \xFE"));
}

TEST(BytePreservation, CursorRaceWordIsSplicedBetweenBackslashAndSuffix) {
    const Bytes file = Join({kBom, testkit::Bytes("\xFF[Human]\r\nCursor=UI\\Cursor\\HumanCursor.mdl\r\n\x80"),
                             testkit::Bytes("Cursor=UI\\Cursor\\HumanCursor.mdl\r\n")});
    const std::u16string text = modUtf8Convert::Utf8BytesToString(file);
    const auto entry = mods::FindCursorEntry(text);
    ASSERT_TRUE(entry.has_value());
    const auto edited = mods::SpliceDecoded(file, text, entry->wordBegin, entry->wordEnd, u"NightElf");
    ASSERT_TRUE(edited.has_value());
    EXPECT_EQ(*edited, Join({kBom, testkit::Bytes("\xFF[Human]\r\nCursor=UI\\Cursor\\NightElfCursor.mdl\r\n\x80"),
                             testkit::Bytes("Cursor=UI\\Cursor\\HumanCursor.mdl\r\n")}));
}

struct RefusalCase {
    const char* name;
    Bytes bytes;
    std::u16string decoded;
    std::size_t begin;
    std::size_t end;
};

void PrintTo(const RefusalCase& c, std::ostream* os) {
    *os << c.name;
}

class SpliceRefusalTest : public testing::TestWithParam<RefusalCase> {};

TEST_P(SpliceRefusalTest, GivesNothingRatherThanAGuess) {
    const RefusalCase& c = GetParam();
    EXPECT_FALSE(mods::SpliceDecoded(c.bytes, c.decoded, c.begin, c.end, u"x").has_value());
}

const RefusalCase kRefusalCases[] = {
    // A decoder that made a quote out of an overlong sequence would shift every later quote.
    {"TextHoldsAnAnchorTheBytesDoNot", {0xC0, 0xA2, 0x22, 0x61, 0x22}, u"\"\"a\"", 2, 3},
    {"NonAsciiAnchor", Utf8(u"的a的"), u"的a的", 1, 2},
    {"NoCharacterBeforeThePiece", testkit::Bytes("a\""), u"a\"", 0, 1},
    {"NoCharacterAfterThePiece", testkit::Bytes("\"a"), u"\"a", 1, 2},
    {"BeginAfterEnd", testkit::Bytes("\"ab\""), u"\"ab\"", 3, 2},
};

INSTANTIATE_TEST_SUITE_P(Cases, SpliceRefusalTest, testing::ValuesIn(kRefusalCases),
                         [](const testing::TestParamInfo<RefusalCase>& info) { return info.param.name; });

} // namespace
