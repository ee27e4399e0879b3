#include "support/wine_registry.h"

#include <gtest/gtest.h>

#include <chrono>
#include <random>
#include <string>

using namespace std::literals;
using wine_registry::FindValue;
using wine_registry::RawValue;

namespace {

constexpr std::string_view kHeader = "WINE REGISTRY Version 2\n";

std::vector<std::uint8_t> Le(std::u16string_view units) {
    std::vector<std::uint8_t> bytes;
    for (const char16_t unit : units) {
        bytes.push_back(static_cast<std::uint8_t>(unit & 0xff));
        bytes.push_back(static_cast<std::uint8_t>(unit >> 8));
    }
    return bytes;
}

// A quoted string as Wine stores it: its code units and the terminating NUL.
std::vector<std::uint8_t> Sz(std::u16string_view text) {
    std::u16string units(text);
    units.push_back(u'\0');
    return Le(units);
}

std::string InKey(std::string_view lines) {
    return std::string(kHeader) + "\n[Software\\\\Ostrawen\\\\Test] 1700000000\n#time=1da0c0a8e1b2c3d\n" +
           std::string(lines) + "\n";
}

std::optional<RawValue> FindTest(const std::string& file, std::u16string_view name = u"v") {
    return FindValue(file, u"Software\\Ostrawen\\Test", name);
}

// --- Data forms: each line "v"=... gives a type and the stored bytes. ---

struct DataCase {
    const char* name;
    std::string line;
    std::uint32_t type;
    std::vector<std::uint8_t> data;
};

class DataForms : public ::testing::TestWithParam<DataCase> {};

TEST_P(DataForms, DecodesTypeAndBytes) {
    const auto value = FindTest(InKey(GetParam().line));
    ASSERT_TRUE(value.has_value());
    EXPECT_EQ(value->type, GetParam().type);
    EXPECT_EQ(value->data, GetParam().data);
}

INSTANTIATE_TEST_SUITE_P(
    WineRegistry, DataForms,
    ::testing::Values(DataCase{"Quoted", R"("v"="abc")", 1, Sz(u"abc")},
                      DataCase{"QuotedEmpty", R"("v"="")", 1, Sz(u"")},
                      DataCase{"StrTag", R"("v"=str:"abc")", 1, Sz(u"abc")},
                      DataCase{"ExpandSz", R"("v"=str(2):"%SystemRoot%\\x")", 2, Sz(u"%SystemRoot%\\x")},
                      DataCase{"MultiSz", R"("v"=str(7):"a\0b\0")", 7, Le(u"a\0b\0\0"sv)},
                      DataCase{"Dword", R"("v"=dword:00000201)", 4, {0x01, 0x02, 0x00, 0x00}},
                      DataCase{"DwordUpperCase", R"("v"=dword:DEADBEEF)", 4, {0xef, 0xbe, 0xad, 0xde}},
                      DataCase{"DwordEmptyIsZero", R"("v"=dword:)", 4, {0, 0, 0, 0}},
                      DataCase{"DwordOverflowKeepsLowBits", R"("v"=dword:1ffffffff)", 4, {0xff, 0xff, 0xff, 0xff}},
                      DataCase{"Binary", R"("v"=hex:01,02,ff)", 3, {0x01, 0x02, 0xff}},
                      DataCase{"BinaryEmpty", R"("v"=hex:)", 3, {}},
                      DataCase{"BinarySingleDigits", R"("v"=hex:1,a,0)", 3, {0x01, 0x0a, 0x00}},
                      DataCase{"BinaryBlanksAroundCommas", "\"v\"=hex:01 , 02,\t03", 3, {0x01, 0x02, 0x03}},
                      DataCase{"TypedBigEndian", R"("v"=hex(5):00,00,02,01)", 5, {0x00, 0x00, 0x02, 0x01}},
                      DataCase{"TypeNumberIsHex", R"("v"=hex(b):01,02)", 11, {0x01, 0x02}},
                      DataCase{"TypedEmptyNumberIsNone", R"("v"=hex():01)", 0, {0x01}},
                      DataCase{"TypedUtf16", R"("v"=hex(1):61,00,62,00)", 1, {0x61, 0x00, 0x62, 0x00}},
                      DataCase{"Continuation", "\"v\"=hex:01,02,\\\n  03,04", 3, {0x01, 0x02, 0x03, 0x04}},
                      DataCase{"ContinuationOverLines",
                               "\"v\"=hex(7):61,00,\\\n  62,00,\\\n\t00,00,\\\n  00,00",
                               7,
                               {0x61, 0x00, 0x62, 0x00, 0x00, 0x00, 0x00, 0x00}},
                      DataCase{"ContinuationWithoutComma", "\"v\"=hex:01\\\n  02", 3, {0x01, 0x02}},
                      DataCase{"BlanksAroundEquals", "\"v\" =\t\"x\"", 1, Sz(u"x")},
                      DataCase{"IndentedLine", "    \"v\"=\"x\"", 1, Sz(u"x")},
                      DataCase{"TrailingTextIgnored", R"("v"="x" junk)", 1, Sz(u"x")},
                      DataCase{"CrLfLine", "\"v\"=\"x\"\r", 1, Sz(u"x")}),
    [](const auto& info) { return std::string(info.param.name); });

// --- String escapes and raw UTF-8 inside quotes. ---

struct EscapeCase {
    const char* name;
    std::string quoted; // what stands between the quotes in the file
    std::u16string text;
};

class Escapes : public ::testing::TestWithParam<EscapeCase> {};

TEST_P(Escapes, DecodeToCodeUnits) {
    const auto value = FindTest(InKey("\"v\"=\"" + GetParam().quoted + "\""));
    ASSERT_TRUE(value.has_value());
    EXPECT_EQ(value->data, Sz(GetParam().text));
}

INSTANTIATE_TEST_SUITE_P(
    WineRegistry, Escapes,
    ::testing::Values(
        EscapeCase{"Backslash", R"(C:\\Program Files\\Warcraft III)", u"C:\\Program Files\\Warcraft III"},
        EscapeCase{"Quote", R"(say \"hi\")", u"say \"hi\""},
        EscapeCase{"ControlLetters", R"(\a\b\e\f\n\r\t\v)", u"\a\b\x1b\f\n\r\t\v"},
        EscapeCase{"OctalNul", R"(a\0b)", u"a\0b"s}, EscapeCase{"OctalThreeDigitsAtMost", R"(\1012)", u"A2"},
        EscapeCase{"OctalLarge", R"(\777)", u"\u01ff"}, EscapeCase{"NotOctal", R"(\8\9)", u"89"},
        EscapeCase{"HexTwoDigits", R"(\x41)", u"A"}, EscapeCase{"HexFourDigits", R"(\x4e2d\x6587)", u"中文"},
        EscapeCase{"HexFourDigitsAtMost", R"(\x12345)", u"\u12345"}, EscapeCase{"HexWithoutDigits", R"(\xg)", u"xg"},
        EscapeCase{"UnknownEscapeKeepsChar", R"(\q\[)", u"q["}, EscapeCase{"RawUtf8", "魔兽争霸", u"魔兽争霸"},
        EscapeCase{"RawUtf8FourBytes", "\xf0\x9f\x98\x80", u"\U0001F600"},
        EscapeCase{"InvalidUtf8Dropped",
                   "a\xff\xc0\x80"
                   "b",
                   u"ab"},
        EscapeCase{"TruncatedUtf8Dropped",
                   "a\xe4\xb8"
                   "b",
                   u"ab"},
        EscapeCase{"LatinOneNotUtf8", "caf\xe9", u"caf"}),
    [](const auto& info) { return std::string(info.param.name); });

// --- Malformed values: Wine keeps the value with type 0 and no data. ---

class MalformedValues : public ::testing::TestWithParam<std::pair<const char*, std::string>> {};

TEST_P(MalformedValues, ReplaceEarlierDefinitionWithEmptyNone) {
    const auto value = FindTest(InKey("\"v\"=\"earlier\"\n" + GetParam().second));
    ASSERT_TRUE(value.has_value());
    EXPECT_EQ(value->type, 0u);
    EXPECT_TRUE(value->data.empty());
}

INSTANTIATE_TEST_SUITE_P(WineRegistry, MalformedValues,
                         ::testing::Values(std::pair{"UnterminatedString", std::string(R"("v"="abc)")},
                                           std::pair{"BackslashAtEnd", std::string(R"("v"="abc\)")},
                                           std::pair{"UnknownTag", std::string(R"("v"=bogus:1)")},
                                           std::pair{"HexNonDigit", std::string(R"("v"=hex:01,zz)")},
                                           std::pair{"HexByteTooLarge", std::string(R"("v"=hex:100)")},
                                           std::pair{"HexTypeUnclosed", std::string(R"("v"=hex(1:01)")},
                                           std::pair{"ContinuationAtEndOfFile", std::string("\"v\"=hex:01,\\")}),
                         [](const auto& info) { return std::string(info.param.first); });

// --- Structure of the file: keys, names, duplicates, options. ---

struct LookupCase {
    const char* name;
    std::string file;
    std::u16string key;
    std::u16string value;
    std::optional<std::u16string> expected; // the quoted text found, or nothing
};

class Lookups : public ::testing::TestWithParam<LookupCase> {};

TEST_P(Lookups, FindTheRightDefinition) {
    const auto& param = GetParam();
    const auto value = FindValue(param.file, param.key, param.value);
    if (!param.expected) {
        EXPECT_FALSE(value.has_value());
        return;
    }
    ASSERT_TRUE(value.has_value());
    EXPECT_EQ(value->type, 1u);
    EXPECT_EQ(value->data, Sz(*param.expected));
}

const std::string kTwoKeys = std::string(kHeader) + "[Software\\\\A]\n\"v\"=\"in A\"\n\"@x\"=\"at\"\n"
                                                    "[Software\\\\A\\\\B] 1\n\"v\"=\"in B\"\n@=\"default of B\"\n";

INSTANTIATE_TEST_SUITE_P(
    WineRegistry, Lookups,
    ::testing::Values(
        LookupCase{"ParentKey", kTwoKeys, u"Software\\A", u"v", u"in A"},
        LookupCase{"ChildKey", kTwoKeys, u"Software\\A\\B", u"v", u"in B"},
        LookupCase{"DefaultValue", kTwoKeys, u"Software\\A\\B", u"", u"default of B"},
        LookupCase{"NameStartingWithAt", kTwoKeys, u"Software\\A", u"@x", u"at"},
        LookupCase{"MissingKey", kTwoKeys, u"Software\\C", u"v", std::nullopt},
        LookupCase{"MissingValue", kTwoKeys, u"Software\\A", u"w", std::nullopt},
        LookupCase{"PrefixOfKeyIsNotKey", kTwoKeys, u"Software", u"v", std::nullopt},
        LookupCase{"NoDefaultValueInParent", kTwoKeys, u"Software\\A", u"", std::nullopt},
        LookupCase{"KeyIgnoresAsciiCase", kTwoKeys, u"SOFTWARE\\a\\b", u"V", u"in B"},
        LookupCase{"ExtraBackslashesInPath", kTwoKeys, u"\\Software\\\\A\\", u"v", u"in A"},
        LookupCase{"UnicodeCase",
                   std::string(kHeader) + "[Software\\\\\xc3\x89t\xc3\xa9\\\\\xd0\x98\xd0\xb3\xd1\x80\xd0\xb0]\n"
                                          "\"\xce\x9b\xce\xb1\"=\"found\"\n",
                   u"software\\étÉ\\иГРА", u"λΑ", u"found"},
        LookupCase{"EscapedKeyName", std::string(kHeader) + "[Software\\\\x\\x4e2d]\n\"v\"=\"found\"\n",
                   u"Software\\x中", u"v", u"found"},
        LookupCase{"EscapedValueName", std::string(kHeader) + "[K]\n\"a\\\"b\"=\"found\"\n", u"K", u"a\"b", u"found"},
        LookupCase{"RootKey", std::string(kHeader) + "[]\n\"v\"=\"root\"\n[K]\n\"v\"=\"k\"\n", u"", u"v", u"root"},
        LookupCase{"LastDefinitionWins", std::string(kHeader) + "[K]\n\"v\"=\"one\"\n\"V\"=\"two\"\n", u"K", u"v",
                   u"two"},
        LookupCase{"KeyListedTwice",
                   std::string(kHeader) + "[K]\n\"v\"=\"one\"\n[L]\n\"v\"=\"l\"\n[k]\n\"v\"=\"two\"\n", u"K", u"v",
                   u"two"},
        LookupCase{"SecondListingWithoutValueKeepsFirst",
                   std::string(kHeader) + "[K]\n\"v\"=\"one\"\n[K]\n\"w\"=\"x\"\n", u"K", u"v", u"one"},
        LookupCase{"MalformedKeyEndsTheKey", std::string(kHeader) + "[K]\n\"v\"=\"one\"\n[K\n\"v\"=\"orphan\"\n", u"K",
                   u"v", u"one"},
        LookupCase{"ValueBeforeAnyKeyIgnored", std::string(kHeader) + "\"v\"=\"orphan\"\n[K]\n", u"K", u"v",
                   std::nullopt},
        LookupCase{"NameWithoutEqualsCreatesNothing", std::string(kHeader) + "[K]\n\"v\"=\"one\"\n\"v\" \"two\"\n",
                   u"K", u"v", u"one"},
        LookupCase{"CommentsOptionsAndNoise",
                   std::string(kHeader) + ";; All keys relative to \\\\User\\\\S-1-5-21\n\n#arch=win32\n[K] 17\n"
                                          "#time=1d2\n#class=\"c\"\n;\"v\"=\"commented\"\nnoise line\n\"v\"=\"real\"\n",
                   u"K", u"v", u"real"},
        LookupCase{"CrLfFile", "WINE REGISTRY Version 2\r\n[K]\r\n\"v\"=\"x\"\r\n", u"K", u"v", u"x"},
        LookupCase{"NulEndsLine", std::string(kHeader) + "[K]\n\"v\"=\"x\"\0\"junk\n"s, u"K", u"v", u"x"},
        LookupCase{"LastLineWithoutNewline", std::string(kHeader) + "[K]\n\"v\"=\"x\"", u"K", u"v", u"x"},
        // A continued hex list swallows the next line whatever it holds, here a key line.
        LookupCase{"ContinuationSwallowsKeyLine",
                   std::string(kHeader) + "[Other]\n\"h\"=hex:01,\\\n[K]\n\"v\"=\"belongs to Other\"\n", u"K", u"v",
                   std::nullopt},
        LookupCase{"ContinuationSwallowsValueLine",
                   std::string(kHeader) + "[K]\n\"v\"=\"one\"\n\"h\"=hex:01,\\\n\"v\"=\"two\"\n", u"K", u"v", u"one"},
        LookupCase{"BackslashInStringIsNoContinuation",
                   std::string(kHeader) + "[Other]\n\"p\"=\"C:\\\\\"\n[K]\n\"v\"=\"x\"\n", u"K", u"v", u"x"},
        LookupCase{"UnknownArchitectureStopsReading", std::string(kHeader) + "#arch=win16\n[K]\n\"v\"=\"x\"\n", u"K",
                   u"v", std::nullopt},
        LookupCase{"ChangingArchitectureStopsReading",
                   std::string(kHeader) + "#arch=win32\n#arch=win64\n[K]\n\"v\"=\"x\"\n", u"K", u"v", std::nullopt},
        LookupCase{"WrongVersion", "WINE REGISTRY Version 1\n[K]\n\"v\"=\"x\"\n", u"K", u"v", std::nullopt},
        LookupCase{"ByteOrderMark", "\xef\xbb\xbfWINE REGISTRY Version 2\n[K]\n\"v\"=\"x\"\n", u"K", u"v",
                   std::nullopt},
        LookupCase{"RegeditExport", "Windows Registry Editor Version 5.00\n[K]\n\"v\"=\"x\"\n", u"K", u"v",
                   std::nullopt},
        LookupCase{"EmptyFile", "", u"K", u"v", std::nullopt}),
    [](const auto& info) { return std::string(info.param.name); });

// --- Robustness: no input may crash or hang the parser. ---

const std::string kRealistic = std::string(kHeader) +
                               ";; All keys relative to \\\\User\\\\S-1-5-21-0-0-0-1000\n\n#arch=win32\n\n"
                               "[Control Panel\\\\Desktop] 1700000000\n#time=1da0c0a8e1b2c3d\n"
                               "\"UserPreferencesMask\"=hex:9e,1e,07,80,12,00,00,00\n"
                               "\"WheelScrollLines\"=\"3\"\n\n"
                               "[Software\\\\Blizzard Entertainment\\\\Warcraft III] 1700000001\n"
                               "#time=1da0c0a8e1b2c3e\n"
                               "\"Gfx\"=hex:01,02,03,04,05,06,07,08,09,0a,0b,0c,0d,0e,0f,10,11,12,13,14,15,16,\\\n"
                               "  17,18\n"
                               "\"InstallPath\"=\"C:\\\\Program Files\\\\Warcraft III\"\n"
                               "\"Program\"=\"C:\\\\Program Files\\\\Warcraft III\\\\war3.exe\"\n\n"
                               "[Software\\\\Wine\\\\Fonts] 1700000002\n\"Codepages\"=\"1252,437\"\n";

TEST(WineRegistryRobustness, EveryTruncationGivesWholeValueOrNothing) {
    const auto whole = Sz(u"C:\\Program Files\\Warcraft III");
    for (std::size_t length = 0; length <= kRealistic.size(); ++length) {
        const auto value = FindValue(std::string_view(kRealistic).substr(0, length),
                                     u"Software\\Blizzard Entertainment\\Warcraft III", u"InstallPath");
        if (value && value->type != 0) {
            EXPECT_EQ(value->data, whole) << "cut at " << length;
        }
    }
    EXPECT_TRUE(FindValue(kRealistic, u"Software\\Blizzard Entertainment\\Warcraft III", u"InstallPath"));
}

TEST(WineRegistryRobustness, RandomBytesAfterHeaderNeverCrash) {
    std::mt19937 random(20240601);
    std::uniform_int_distribution<int> byte(0, 255);
    // Bias towards the characters the parser cares about so that deep paths get exercised.
    const std::string_view special = "[]\"@#\\=,:;\n\r\t x0123456789abcdefhexstrdword()";
    std::size_t found = 0;
    for (int round = 0; round < 2000; ++round) {
        std::string file = std::string(kHeader) + "[K]\n";
        const int length = 1 + static_cast<int>(random() % 300);
        for (int i = 0; i < length; ++i) {
            file.push_back(random() % 2 ? special[random() % special.size()] : static_cast<char>(byte(random)));
        }
        if (FindValue(file, u"K", u"v"))
            ++found;
        if (FindValue(file, u"", u""))
            ++found;
    }
    // Not an expectation on content: the loop must simply finish under the sanitizers.
    SUCCEED() << found << " lookups found something";
}

TEST(WineRegistryRobustness, HugeLinesAreReadInLinearTime) {
    std::string file = std::string(kHeader) + "[K]\n\"big\"=\"" + std::string(8 << 20, 'a') +
                       "\n\"h\"=hex:" + std::string(4 << 20, ',') + "\n[" + std::string(4 << 20, 'k') +
                       "\n[K]\n\"v\"=\"x\"\n";
    const auto start = std::chrono::steady_clock::now();
    const auto value = FindValue(file, u"K", u"v");
    const auto elapsed = std::chrono::steady_clock::now() - start;
    ASSERT_TRUE(value.has_value());
    EXPECT_EQ(value->data, Sz(u"x"));
    EXPECT_LT(elapsed, std::chrono::seconds(5));
}

TEST(WineRegistryNames, CaseInsensitiveWhereWindowsIs) {
    EXPECT_TRUE(wine_registry::NamesEqual(u"InstallPath", u"INSTALLPATH"));
    EXPECT_TRUE(wine_registry::NamesEqual(u"ÀÉÎÕÜ", u"àéîõü"));
    EXPECT_TRUE(wine_registry::NamesEqual(u"ŁŹŻŸ", u"łźżÿ"));
    EXPECT_TRUE(wine_registry::NamesEqual(u"ΆΈΏΣ", u"άέώσ"));
    EXPECT_TRUE(wine_registry::NamesEqual(u"ЁЖЯ", u"ёжя"));
    EXPECT_TRUE(wine_registry::NamesEqual(u"ＡＢＣ", u"ａｂｃ"));
    EXPECT_FALSE(wine_registry::NamesEqual(u"×", u"÷"));
    EXPECT_FALSE(wine_registry::NamesEqual(u"魔兽", u"魔兵"));
    EXPECT_FALSE(wine_registry::NamesEqual(u"a", u"ab"));
}

} // namespace
