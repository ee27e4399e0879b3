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

TEST(CompactArchive, CompactsAndTheOtherModificationsStillWork) {
    testkit::TempDir dir;
    const auto path = dir / "War3Patch.mpq";
    const Bytes model = testkit::PatternBytes(300000, 9, false);
    // The model comes first so that deleting it leaves a hole for the compaction to close.
    testkit::BuildArchive(path, {{u"UI\\Glues\\MainMenu\\MainMenu3d\\MainMenu3d.mdx", model},
                                 {mods::kGlobalStringsPath, modstest::GlobalStringsFile()},
                                 {mods::kWar3SkinsPath, modstest::War3SkinsFile()}});
    clsMpqControl mpq;
    mpq.SetMpqFileName(TextFromPath(path));
    ASSERT_TRUE(mpq.DeleteFileFromMpq(u"UI\\Glues\\MainMenu\\MainMenu3d\\MainMenu3d.mdx"));
    const auto sizeBefore = std::filesystem::file_size(path);

    const mods::Outcome outcome = mods::CompactArchive(mpq);
    EXPECT_EQ(outcome.text, u"命令成功完成.");
    EXPECT_EQ(outcome.icon, MessageIcon::Information);
    EXPECT_LT(std::filesystem::file_size(path), sizeBefore);

    EXPECT_EQ(mods::WriteLanGameName(mpq, u"After").icon, MessageIcon::Information);
    EXPECT_EQ(mods::ReadLanGameName(mpq), u"After");
    EXPECT_EQ(mods::WriteCursorRace(mpq, mods::Race::Orc).text, u"命令完成.");
    EXPECT_EQ(mods::ReadCursorRace(mpq), mods::Race::Orc);
}

TEST(CompactArchive, MissingArchiveIsAnErrorAndIsNotCreated) {
    testkit::TempDir dir;
    clsMpqControl mpq;
    mpq.SetMpqFileName(TextFromPath(dir / "War3Patch.mpq"));
    const mods::Outcome outcome = mods::CompactArchive(mpq);
    EXPECT_EQ(outcome.text, u"操作过程中发生错误.");
    EXPECT_EQ(outcome.icon, MessageIcon::Exclamation);
    EXPECT_FALSE(std::filesystem::exists(dir / "War3Patch.mpq"));
}

TEST(CompactArchive, RefusedCompactionIsAnErrorAndLeavesTheArchive) {
    testkit::TempDir dir;
    const auto path = dir / "War3Patch.mpq";
    testkit::BuildArchive(path, {{mods::kWar3SkinsPath, modstest::War3SkinsFile()}});
    const Bytes before = modstest::ArchiveBytes(path);
    auto engine = std::make_shared<testkit::FaultyMpqEngine>();
    engine->FailAt(testkit::MpqStep::CompactArchive);
    clsMpqControl mpq(engine);
    mpq.SetMpqFileName(TextFromPath(path));
    EXPECT_EQ(mods::CompactArchive(mpq).text, u"操作过程中发生错误.");
    EXPECT_EQ(modstest::ArchiveBytes(path), before);
}

} // namespace
