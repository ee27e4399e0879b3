#include "archive/door/mpq_control.h"
#include "game_files.h"
#include "mods/modifications.h"
#include "support/text_path.h"
#include "support/utf8_convert.h"
#include "testkit/faulty_mpq_engine.h"
#include "testkit/mpq_fixtures.h"
#include "testkit/temp_dir.h"

#include <gtest/gtest.h>

namespace {

using Bytes = std::vector<std::uint8_t>;
using mods::MessageIcon;

std::string Utf8(const std::u16string& text) {
    const Bytes bytes = modUtf8Convert::StringToUtf8Bytes(text);
    return std::string(bytes.begin(), bytes.end());
}

class LanGameNameArchive {
public:
    explicit LanGameNameArchive(const Bytes& globalStrings, std::shared_ptr<MpqEngine> engine = nullptr)
        : m_mpq(engine ? engine : MakeOwnMpqEngine()) {
        testkit::BuildArchive(
            m_path, {{mods::kGlobalStringsPath, globalStrings}, {mods::kWar3SkinsPath, modstest::War3SkinsFile()}});
        m_mpq.SetMpqFileName(TextFromPath(m_path));
    }
    clsMpqControl& mpq() { return m_mpq; }
    const std::filesystem::path& path() const { return m_path; }
    Bytes StoredGlobalStrings() {
        Bytes bytes;
        EXPECT_TRUE(m_mpq.ReadFileFromMpq(mods::kGlobalStringsPath, bytes));
        return bytes;
    }

private:
    testkit::TempDir m_dir;
    std::filesystem::path m_path = m_dir / "War3Patch.mpq";
    clsMpqControl m_mpq;
};

struct NameCase {
    const char* name;
    std::u16string lanName;
};

void PrintTo(const NameCase& c, std::ostream* os) {
    *os << c.name;
}

class WriteLanGameNameTest : public testing::TestWithParam<NameCase> {};

TEST_P(WriteLanGameNameTest, StoresTheNameAndReportsSuccess) {
    const std::u16string& name = GetParam().lanName;
    LanGameNameArchive archive(modstest::GlobalStringsFile());
    const mods::Outcome outcome = mods::WriteLanGameName(archive.mpq(), name);
    EXPECT_EQ(outcome.text, u"命令成功完成.");
    EXPECT_EQ(outcome.icon, MessageIcon::Information);

    const Bytes expected = modstest::GlobalStringsFile(Utf8(name));
    EXPECT_EQ(archive.StoredGlobalStrings(), expected);
    if (testkit::HaveSmpq()) {
        EXPECT_EQ(testkit::SmpqExtract(archive.path(), "UI\\FrameDef\\GlobalStrings.fdf"), expected);
    }
    EXPECT_EQ(mods::ReadLanGameName(archive.mpq()), name);
}

const NameCase kNameCases[] = {
    {"Ascii", u"LAN Party"},
    {"Empty", u""},
    {"Chinese", u"局域网 的游戏 %s"},
    {"OutsideBmp", u"\U0001F3AE 游戏"},
    {"BackslashCommaApostrophe", u"a\\b,c'd"},
    {"Blanks", u"   padded   "},
    {"Tab", u"\t"},
};

INSTANTIATE_TEST_SUITE_P(Names, WriteLanGameNameTest, testing::ValuesIn(kNameCases),
                         [](const testing::TestParamInfo<NameCase>& info) { return info.param.name; });

struct FailureCase {
    const char* name;
    Bytes globalStrings;
    std::u16string newName;
};

void PrintTo(const FailureCase& c, std::ostream* os) {
    *os << c.name;
}

class WriteLanGameNameFailureTest : public testing::TestWithParam<FailureCase> {};

TEST_P(WriteLanGameNameFailureTest, ReportsTheErrorAndWritesNothing) {
    LanGameNameArchive archive(GetParam().globalStrings);
    const Bytes before = modstest::ArchiveBytes(archive.path());
    const mods::Outcome outcome = mods::WriteLanGameName(archive.mpq(), GetParam().newName);
    EXPECT_EQ(outcome.text, u"操作过程中发生错误.");
    EXPECT_EQ(outcome.icon, MessageIcon::Exclamation);
    EXPECT_EQ(modstest::ArchiveBytes(archive.path()), before);
}

const FailureCase kFailureCases[] = {
    {"NameWithQuote", modstest::GlobalStringsFile(), u"say \"hi\""},
    {"NameWithClosingPair", modstest::GlobalStringsFile(), u"a\",b"},
    {"NameWithCarriageReturn", modstest::GlobalStringsFile(), u"a\rb"},
    {"NameWithLineFeed", modstest::GlobalStringsFile(), u"a\nb"},
    {"NoGameNameKey", testkit::Bytes("\xEF\xBB\xBFStringList {\r\n    CHAT \"x\",\r\n}\r\n"), u"x"},
    {"NoQuoteAfterKey", testkit::Bytes("\"a\",\r\nGAMENAME\r\n"), u"x"},
    {"NoClosingPair", testkit::Bytes("GAMENAME \"unterminated\r\n}\r\n"), u"x"},
    {"EmptyStoredFile", {}, u"x"},
};

INSTANTIATE_TEST_SUITE_P(Cases, WriteLanGameNameFailureTest, testing::ValuesIn(kFailureCases),
                         [](const testing::TestParamInfo<FailureCase>& info) { return info.param.name; });

TEST(WriteLanGameName, FileMissingFromTheArchiveIsAnError) {
    testkit::TempDir dir;
    const auto path = dir / "War3Patch.mpq";
    testkit::BuildArchive(path, {{mods::kWar3SkinsPath, modstest::War3SkinsFile()}});
    const Bytes before = modstest::ArchiveBytes(path);
    clsMpqControl mpq;
    mpq.SetMpqFileName(TextFromPath(path));
    EXPECT_EQ(mods::WriteLanGameName(mpq, u"x").text, u"操作过程中发生错误.");
    EXPECT_EQ(modstest::ArchiveBytes(path), before);
    EXPECT_EQ(mods::ReadLanGameName(mpq), std::nullopt);
}

TEST(WriteLanGameName, MissingArchiveIsAnErrorAndIsNotCreated) {
    testkit::TempDir dir;
    clsMpqControl mpq;
    mpq.SetMpqFileName(TextFromPath(dir / "War3Patch.mpq"));
    EXPECT_EQ(mods::WriteLanGameName(mpq, u"x").icon, MessageIcon::Exclamation);
    EXPECT_FALSE(std::filesystem::exists(dir / "War3Patch.mpq"));
    EXPECT_EQ(mods::ReadLanGameName(mpq), std::nullopt);
}

TEST(WriteLanGameName, FailedStoreIsAnErrorAndLeavesTheArchive) {
    auto engine = std::make_shared<testkit::FaultyMpqEngine>();
    LanGameNameArchive archive(modstest::GlobalStringsFile(), engine);
    const Bytes before = modstest::ArchiveBytes(archive.path());
    engine->FailAt(testkit::MpqStep::CreateFile);
    EXPECT_EQ(mods::WriteLanGameName(archive.mpq(), u"x").text, u"操作过程中发生错误.");
    EXPECT_EQ(modstest::ArchiveBytes(archive.path()), before);
}

TEST(WriteLanGameName, KeepsEveryByteOutsideTheValueOfAFileThatIsNotValidUtf8) {
    // A BOM, a stray 0xFF in a comment and a cut-off sequence behind the entry.
    const Bytes original =
        testkit::Bytes("\xEF\xBB\xBF// \xFF broken\r\n"
                       "    GAMENAME                        \"%s\xE7\x9A\x84\xE6\xB8\xB8\xE6\x88\x8F\",\r\n"
                       "    OTHER \"\xE6\xB8\",\r\n");
    LanGameNameArchive archive(original);
    ASSERT_EQ(mods::WriteLanGameName(archive.mpq(), u"新名字").text, u"命令成功完成.");
    EXPECT_EQ(archive.StoredGlobalStrings(), testkit::Bytes("\xEF\xBB\xBF// \xFF broken\r\n"
                                                            "    GAMENAME                        \"" +
                                                            Utf8(u"新名字") +
                                                            "\",\r\n"
                                                            "    OTHER \"\xE6\xB8\",\r\n"));
}

TEST(WriteLanGameName, WritingTheSameNameTwiceGivesTheSameFile) {
    LanGameNameArchive archive(modstest::GlobalStringsFile());
    ASSERT_EQ(mods::WriteLanGameName(archive.mpq(), u"Twice").icon, MessageIcon::Information);
    const Bytes first = archive.StoredGlobalStrings();
    ASSERT_EQ(mods::WriteLanGameName(archive.mpq(), u"Twice").icon, MessageIcon::Information);
    EXPECT_EQ(archive.StoredGlobalStrings(), first);
}

struct ReadCase {
    const char* name;
    Bytes globalStrings;
    std::optional<std::u16string> shown;
};

void PrintTo(const ReadCase& c, std::ostream* os) {
    *os << c.name;
}

class ReadLanGameNameTest : public testing::TestWithParam<ReadCase> {};

TEST_P(ReadLanGameNameTest, ShowsTheStoredValue) {
    LanGameNameArchive archive(GetParam().globalStrings);
    EXPECT_EQ(mods::ReadLanGameName(archive.mpq()), GetParam().shown);
}

const ReadCase kReadCases[] = {
    {"GameShape", modstest::GlobalStringsFile(), u"%s的游戏"},
    {"InnerQuote", modstest::GlobalStringsFile("a\"b"), u"a\"b"},
    {"InvalidByteInValue", testkit::Bytes("GAMENAME \"a\xFF\","), u"a\uFFFD"},
    {"NoEntry", testkit::Bytes("NAME \"x\","), std::nullopt},
    {"EmptyFile", {}, std::nullopt},
};

INSTANTIATE_TEST_SUITE_P(Cases, ReadLanGameNameTest, testing::ValuesIn(kReadCases),
                         [](const testing::TestParamInfo<ReadCase>& info) { return info.param.name; });

} // namespace
