#include "support/utf8_convert.h"

#include <gtest/gtest.h>

using modUtf8Convert::StringToUtf8Bytes;
using modUtf8Convert::Utf8BytesToString;
using Bytes = std::vector<std::uint8_t>;

struct ValidCase {
    const char* name;
    Bytes bytes;
    std::u16string text;
};

class Utf8ValidRoundTrip : public testing::TestWithParam<ValidCase> {};

TEST_P(Utf8ValidRoundTrip, DecodesAndEncodesBackExactly) {
    const ValidCase& c = GetParam();
    EXPECT_EQ(Utf8BytesToString(c.bytes), c.text);
    EXPECT_EQ(StringToUtf8Bytes(c.text), c.bytes);
}

INSTANTIATE_TEST_SUITE_P(Cases, Utf8ValidRoundTrip,
                         testing::Values(ValidCase{"Empty", {}, u""}, ValidCase{"Ascii", {'G', 'A', 'M', 'E'}, u"GAME"},
                                         ValidCase{"ChineseCharacter", {0xE4, 0xB8, 0xAD}, u"\u4E2D"},
                                         ValidCase{"BomKept", {0xEF, 0xBB, 0xBF, 'a'}, u"\uFEFFa"},
                                         ValidCase{"ZeroByteInside", {'a', 0x00, 'b'}, std::u16string(u"a\0b", 3)},
                                         ValidCase{"AboveBmpIsSurrogatePair", {0xF0, 0x9F, 0x98, 0x80}, u"\U0001F600"},
                                         ValidCase{"TwoByteSequence", {0xC3, 0xA9}, u"\u00E9"},
                                         ValidCase{"HighestCodePoint", {0xF4, 0x8F, 0xBF, 0xBF}, u"\U0010FFFF"}),
                         [](const auto& info) { return std::string(info.param.name); });

struct InvalidCase {
    const char* name;
    Bytes bytes;
    std::u16string text;
};

class Utf8InvalidInput : public testing::TestWithParam<InvalidCase> {};

TEST_P(Utf8InvalidInput, EachBrokenSequenceBecomesOneReplacementCharacter) {
    EXPECT_EQ(Utf8BytesToString(GetParam().bytes), GetParam().text);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, Utf8InvalidInput,
    testing::Values(InvalidCase{"StrayFF", {'a', 0xFF, 'b'}, u"a\uFFFDb"},
                    InvalidCase{"LoneContinuation", {0x80}, u"\uFFFD"},
                    InvalidCase{"TruncatedThreeByteAtEnd", {'x', 0xE4, 0xB8}, u"x\uFFFD"},
                    InvalidCase{"TruncatedThenAscii", {0xE4, 0xB8, 'y'}, u"\uFFFDy"},
                    InvalidCase{"OverlongSlash", {0xC0, 0xAF}, u"\uFFFD\uFFFD"},
                    InvalidCase{"EncodedSurrogate", {0xED, 0xA0, 0x80}, u"\uFFFD\uFFFD\uFFFD"},
                    InvalidCase{"AboveUnicodeRange", {0xF4, 0x90, 0x80, 0x80}, u"\uFFFD\uFFFD\uFFFD\uFFFD"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(Utf8Encode, UnpairedSurrogatesEncodeAsReplacementCharacter) {
    EXPECT_EQ(StringToUtf8Bytes(std::u16string{u'a', char16_t(0xD800), u'b'}), (Bytes{'a', 0xEF, 0xBF, 0xBD, 'b'}));
    EXPECT_EQ(StringToUtf8Bytes(std::u16string{char16_t(0xDC00)}), (Bytes{0xEF, 0xBF, 0xBD}));
    // A high surrogate at the very end has no partner either.
    EXPECT_EQ(StringToUtf8Bytes(std::u16string{u'a', char16_t(0xDBFF)}), (Bytes{'a', 0xEF, 0xBF, 0xBD}));
}

TEST(Utf8RoundTrip, EveryBmpCharacterOutsideSurrogatesSurvives) {
    std::u16string all;
    for (char32_t c = 1; c < 0x10000; ++c)
        if (c < 0xD800 || c > 0xDFFF)
            all.push_back(static_cast<char16_t>(c));
    EXPECT_EQ(Utf8BytesToString(StringToUtf8Bytes(all)), all);
}
