// A "-backup" beside a "-backup.ok" marker left by the previous version's compaction goes back
// over the archive only when it has the length the marker recorded: a file of another length under
// that name is the player's (or a stray copy) and is never renamed over the archive.
#include "archive/archive_guard.h"
#include "archive/mpq_control.h"
#include "support/text_path.h"
#include "testkit/mpq_fixtures.h"
#include "testkit/temp_dir.h"

#include <gtest/gtest.h>

namespace fs = std::filesystem;
using testkit::Bytes;

namespace {

struct ForeignBackup {
    const char* name;
    std::int64_t sizeDelta; // the backup's length against the one the marker recorded
};

void PrintTo(const ForeignBackup& backup, std::ostream* out) {
    *out << backup.name;
}

class LegacyBackupTest : public ::testing::TestWithParam<ForeignBackup> {};

TEST_P(LegacyBackupTest, OfAnotherLengthThanItsMarkerSaysIsLeftAlone) {
    testkit::TempDir dir;
    const fs::path archive = dir / "War3Patch.mpq";
    testkit::BuildArchive(archive, testkit::SampleArchiveFiles(), 1);
    const std::vector<std::uint8_t> original = testkit::ReadBytes(archive);

    // The marker describes a backup of the archive's length; the file under the backup's name is
    // a valid-looking archive of another length.
    std::vector<std::uint8_t> marker = Bytes("OSTBACK1");
    for (int i = 0; i < 8; ++i)
        marker.push_back(static_cast<std::uint8_t>(original.size() >> (8 * i)));
    testkit::WriteFile(archive_guard::BackupMarkerPath(archive), marker);
    std::vector<std::uint8_t> foreign = original;
    foreign.resize(static_cast<std::size_t>(static_cast<std::int64_t>(original.size()) + GetParam().sizeDelta), 0x5A);
    testkit::WriteFile(archive_guard::BackupPath(archive), foreign);

    clsMpqControl control;
    control.SetMpqFileName(TextFromPath(archive));
    EXPECT_TRUE(control.FileExistsInMpq(u"UI\\war3skins.txt"));
    EXPECT_EQ(testkit::ReadBytes(archive), original) << "the other file was put over the archive";
    ASSERT_TRUE(fs::exists(archive_guard::BackupPath(archive)));
    EXPECT_EQ(testkit::ReadBytes(archive_guard::BackupPath(archive)), foreign);
}

INSTANTIATE_TEST_SUITE_P(Lengths, LegacyBackupTest,
                         ::testing::Values(ForeignBackup{"OneByteLonger", 1}, ForeignBackup{"OneByteShorter", -1},
                                           ForeignBackup{"HalfAsLong", -4096}),
                         [](const auto& info) { return std::string(info.param.name); });

} // namespace
