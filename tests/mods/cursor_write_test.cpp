#include "archive/door/mpq_control.h"
#include "game_files.h"
#include "mods/modifications.h"
#include "support/text_path.h"
#include "testkit/faulty_mpq_engine.h"
#include "testkit/mpq_fixtures.h"
#include "testkit/temp_dir.h"

#include <gtest/gtest.h>

namespace {

using Bytes = std::vector<std::uint8_t>;
using mods::MessageIcon;
using mods::Race;

class SkinArchive {
public:
    explicit SkinArchive(const Bytes& skins, std::shared_ptr<MpqEngine> engine = MakeOwnMpqEngine())
        : m_mpq(std::move(engine)) {
        testkit::BuildArchive(
            m_path, {{mods::kGlobalStringsPath, modstest::GlobalStringsFile()}, {mods::kWar3SkinsPath, skins}});
        m_mpq.SetMpqFileName(TextFromPath(m_path));
    }
    clsMpqControl& mpq() { return m_mpq; }
    const std::filesystem::path& path() const { return m_path; }
    Bytes StoredSkins() {
        Bytes bytes;
        EXPECT_TRUE(m_mpq.ReadFileFromMpq(mods::kWar3SkinsPath, bytes));
        return bytes;
    }

private:
    testkit::TempDir m_dir;
    std::filesystem::path m_path = m_dir / "War3Patch.mpq";
    clsMpqControl m_mpq;
};

struct WriteCase {
    const char* name;
    std::string storedRace;
    Race chosen;
    std::string writtenRace;
};

void PrintTo(const WriteCase& c, std::ostream* os) {
    *os << c.name;
}

class WriteCursorRaceTest : public testing::TestWithParam<WriteCase> {};

TEST_P(WriteCursorRaceTest, RewritesTheFirstEntryAndReportsCompletion) {
    const WriteCase& c = GetParam();
    SkinArchive archive(modstest::War3SkinsFile(c.storedRace));
    const mods::Outcome outcome = mods::WriteCursorRace(archive.mpq(), c.chosen);
    EXPECT_EQ(outcome.text, u"命令完成.");
    EXPECT_EQ(outcome.icon, MessageIcon::Information);

    const Bytes expected = modstest::War3SkinsFile(c.writtenRace);
    EXPECT_EQ(archive.StoredSkins(), expected);
    if (testkit::HaveSmpq()) {
        EXPECT_EQ(testkit::SmpqExtract(archive.path(), "UI\\war3skins.txt"), expected);
    }
    EXPECT_EQ(mods::ReadCursorRace(archive.mpq()), c.chosen);
}

const WriteCase kWriteCases[] = {
    {"HumanToOrc", "Human", Race::Orc, "Orc"},
    {"HumanToNightElf", "Human", Race::NightElf, "NightElf"},
    {"NightElfToUndead", "NightElf", Race::Undead, "Undead"},
    {"UndeadToHuman", "Undead", Race::Human, "Human"},
    {"SameRaceAgain", "Orc", Race::Orc, "Orc"},
    {"UnknownWordReplaced", "Demon", Race::Human, "Human"},
};

INSTANTIATE_TEST_SUITE_P(Cases, WriteCursorRaceTest, testing::ValuesIn(kWriteCases),
                         [](const testing::TestParamInfo<WriteCase>& info) { return info.param.name; });

struct FailureCase {
    const char* name;
    Bytes skins;
    std::optional<Race> chosen;
};

void PrintTo(const FailureCase& c, std::ostream* os) {
    *os << c.name;
}

class WriteCursorRaceFailureTest : public testing::TestWithParam<FailureCase> {};

TEST_P(WriteCursorRaceFailureTest, ReportsTheErrorAndWritesNothing) {
    SkinArchive archive(GetParam().skins);
    const Bytes before = modstest::ArchiveBytes(archive.path());
    const mods::Outcome outcome = mods::WriteCursorRace(archive.mpq(), GetParam().chosen);
    EXPECT_EQ(outcome.text, u"操作过程中发生错误.");
    EXPECT_EQ(outcome.icon, MessageIcon::Exclamation);
    EXPECT_EQ(modstest::ArchiveBytes(archive.path()), before);
}

const FailureCase kFailureCases[] = {
    {"NoRaceChosen", modstest::War3SkinsFile(), std::nullopt},
    {"NoPrefix", testkit::Bytes("[Human]\r\nPortrait=UI\\Cursor\\HumanCursor.mdl\r\n"), Race::Orc},
    {"PrefixInOtherCase", testkit::Bytes("cursor=ui\\cursor\\HumanCursor.mdl\r\n"), Race::Orc},
    {"NoSuffixAfterPrefix", testkit::Bytes("HumanCursor.mdl\r\nCursor=UI\\Cursor\\Human.blp\r\n"), Race::Orc},
    {"EmptyStoredFile", {}, Race::Orc},
};

INSTANTIATE_TEST_SUITE_P(Cases, WriteCursorRaceFailureTest, testing::ValuesIn(kFailureCases),
                         [](const testing::TestParamInfo<FailureCase>& info) { return info.param.name; });

TEST(WriteCursorRace, MissingSkinFileIsAnError) {
    testkit::TempDir dir;
    const auto path = dir / "War3x.mpq";
    testkit::BuildArchive(path, {{mods::kGlobalStringsPath, modstest::GlobalStringsFile()}});
    const Bytes before = modstest::ArchiveBytes(path);
    clsMpqControl mpq;
    mpq.SetMpqFileName(TextFromPath(path));
    EXPECT_EQ(mods::WriteCursorRace(mpq, Race::Orc).text, u"操作过程中发生错误.");
    EXPECT_EQ(modstest::ArchiveBytes(path), before);
    EXPECT_EQ(mods::ReadCursorRace(mpq), std::nullopt);
}

TEST(WriteCursorRace, FailedStoreIsAnErrorAndLeavesTheArchive) {
    auto engine = std::make_shared<testkit::FaultyMpqEngine>();
    SkinArchive archive(modstest::War3SkinsFile(), engine);
    const Bytes before = modstest::ArchiveBytes(archive.path());
    engine->FailAt(testkit::MpqStep::CreateFile);
    EXPECT_EQ(mods::WriteCursorRace(archive.mpq(), Race::Undead).text, u"操作过程中发生错误.");
    EXPECT_EQ(modstest::ArchiveBytes(archive.path()), before);
}

TEST(WriteCursorRace, KeepsEveryByteOutsideTheRaceWord) {
    const std::string head = "\xEF\xBB\xBF\xFF\xFE[Human]\r\nCursor=UI\\Cursor\\";
    const std::string tail = "Cursor.mdl\r\n\x80 \xC3\r\nCursor=UI\\Cursor\\HumanCursor.mdl\r\n";
    SkinArchive archive(testkit::Bytes(head + "Human" + tail));
    ASSERT_EQ(mods::WriteCursorRace(archive.mpq(), Race::NightElf).text, u"命令完成.");
    EXPECT_EQ(archive.StoredSkins(), testkit::Bytes(head + "NightElf" + tail));
}

} // namespace
