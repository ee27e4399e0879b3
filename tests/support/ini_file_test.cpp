#include "support/ini_file.h"
#include "support/public_vars.h"
#include "support/text_path.h"
#include "testkit/temp_dir.h"

#include <gtest/gtest.h>

namespace {

std::u16string Read(std::string_view file, const std::u16string& section = u"War3Main",
                    const std::u16string& key = u"WarPath") {
    return ini_file::ReadValue(testkit::Bytes(file), section, key);
}

std::string Repeat(std::string_view piece, int count) {
    std::string out;
    for (int i = 0; i < count; ++i)
        out += piece;
    return out;
}

std::u16string Repeat(std::u16string_view piece, int count) {
    std::u16string out;
    for (int i = 0; i < count; ++i)
        out += piece;
    return out;
}

struct IniCase {
    const char* name;
    std::string file;
    std::u16string expected;
};

class IniValue : public testing::TestWithParam<IniCase> {};

TEST_P(IniValue, ReadsAsTheProfileReaderDoes) {
    EXPECT_EQ(Read(GetParam().file), GetParam().expected);
}

const std::string kGbkWarcraft = "\xC4\xA7\xCA\xDE\xD5\xF9\xB0\xD4"; // 魔兽争霸 in code page 936

INSTANTIATE_TEST_SUITE_P(
    Rules, IniValue,
    testing::Values(IniCase{"Plain", "[War3Main]\r\nWarPath=D:\\Games\\Warcraft III\r\n", u"D:\\Games\\Warcraft III"},
                    IniCase{"NamesIgnoreCaseAndBlanks", "  [ war3main ]\nwarpath   =  D:\\W  \n", u"D:\\W"},
                    IniCase{"TabsAroundValue", "[War3Main]\nWarPath=\t D:\\W \t\n", u"D:\\W"},
                    IniCase{"DoubleQuotesRemoved", "[War3Main]\nWarPath=\"D:\\W 3\"\n", u"D:\\W 3"},
                    IniCase{"SingleQuotesRemoved", "[War3Main]\nWarPath='D:\\W'\n", u"D:\\W"},
                    IniCase{"BlanksInsideQuotesKept", "[War3Main]\nWarPath=\" D:\\W \"\n", u" D:\\W "},
                    IniCase{"LoneQuoteStays", "[War3Main]\nWarPath=\"D:\\W\n", u"\"D:\\W"},
                    IniCase{"MismatchedQuotesStay", "[War3Main]\nWarPath=\"D:\\W'\n", u"\"D:\\W'"},
                    IniCase{"CarriageReturnOnlyLines", "[Other]\rWarPath=x\r[War3Main]\rWarPath=y\r", u"y"},
                    IniCase{"NoFinalLineBreak", "[War3Main]\nWarPath=z", u"z"},
                    IniCase{"FirstKeyWins", "[War3Main]\nWarPath=first\nWarPath=second\n", u"first"},
                    IniCase{"OnlyFirstSectionSearched", "[War3Main]\nOther=1\n[War3Main]\nWarPath=second\n", u""},
                    IniCase{"KeyInOtherSectionIgnored", "[Pellidor]\nWarPath=x\n[War3Main]\nKey=1\n", u""},
                    IniCase{"CommentLineNeverMatches", "[War3Main]\n;WarPath=commented\nWarPath=real\n", u"real"},
                    IniCase{"CommentedKeyOnlyGivesEmpty", "[War3Main]\n; WarPath=commented\n", u""},
                    IniCase{"MissingSection", "WarPath=outside\n", u""},
                    IniCase{"EmptyValue", "[War3Main]\nWarPath=\n", u""}, IniCase{"EmptyFile", "", u""},
                    IniCase{"GbkValue", "[War3Main]\nWarPath=D:\\" + kGbkWarcraft + "\n", u"D:\\魔兽争霸"},
                    IniCase{"Windows936EuroSign", "[War3Main]\nWarPath=\x80\n", u"\u20AC"},
                    IniCase{"Utf8Value", "[War3Main]\nWarPath=D:\\魔兽争霸\n", u"D:\\魔兽争霸"},
                    IniCase{"BomFile", "\xEF\xBB\xBF[War3Main]\nWarPath=D:\\W\n", u"D:\\W"},
                    IniCase{"GbkCutBeforeHalfCharacter", "[War3Main]\nWarPath=a" + Repeat(kGbkWarcraft, 32) + "\n",
                            u"a" + Repeat(u"魔兽争霸", 31) + u"魔兽"},
                    IniCase{"GbkCutAfterWholeCharacters",
                            "[War3Main]\nWarPath=" + Repeat(kGbkWarcraft, 31) + "\xC4\xA7\xCA\xDE" + "abc\n",
                            Repeat(u"魔兽争霸", 31) + u"魔兽ab"},
                    IniCase{"AsciiCutAt254", "[War3Main]\nWarPath=" + std::string(300, 'x') + "\n",
                            std::u16string(254, u'x')},
                    IniCase{"Utf8CutAtCharacterBoundary", "\xEF\xBB\xBF[War3Main]\nWarPath=" + Repeat("魔", 100) + "\n",
                            Repeat(u"魔", 84)},
                    IniCase{"QuotesRemovedBeforeCut", "[War3Main]\nWarPath=\"" + std::string(260, 'q') + "\"\n",
                            std::u16string(254, u'q')}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(ReadIniValue, ReadsFileFromDiskAndGivesEmptyWhenMissing) {
    testkit::TempDir dir;
    testkit::WriteFile(dir / "PD_Set.ini", "[War3Main]\r\nWarPath=/games/w3\r\n");
    EXPECT_EQ(modPublicVars::ReadIniValue(TextFromPath(dir / "PD_Set.ini"), u"War3Main", u"WarPath"), u"/games/w3");
    EXPECT_EQ(modPublicVars::ReadIniValue(TextFromPath(dir / "none.ini"), u"War3Main", u"WarPath"), u"");
    EXPECT_EQ(modPublicVars::ReadIniValue(TextFromPath(dir.path()), u"War3Main", u"WarPath"), u"");
}

} // namespace
