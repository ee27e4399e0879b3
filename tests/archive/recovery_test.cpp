// What the next operation does with the files a killed operation left: only a complete journal of
// ours that belongs to the archive in place is replayed; one cut short is dropped; a damaged one,
// an old-format one or one left from an archive that has since been replaced is moved aside and
// never applied; a file of one of our names that is not ours is never touched.
#include "archive/door/archive_guard.h"
#include "archive/door/mpq_control.h"
#include "support/text_path.h"
#include "testkit/child_process.h"
#include "testkit/faulty_mpq_engine.h"
#include "testkit/mpq_fixtures.h"
#include "testkit/temp_dir.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <optional>

namespace fs = std::filesystem;
using testkit::Bytes;
using testkit::MpqStep;
using Buffer = std::vector<std::uint8_t>;

namespace {

TESTKIT_CHILD_ROLE(SaveLargeUntilStep) {
    return testkit::RunUntilStep(args, [](clsMpqControl& control) {
        control.SaveFileToMpq(u"Fonts\\big.ttf", testkit::PatternBytes(200000, 4, false));
    });
}

TESTKIT_CHILD_ROLE(CompactUntilStep) {
    return testkit::RunUntilStep(args, [](clsMpqControl& control) { control.CompressMpq(); });
}

// A save of a large file (or a compaction) in a child that kills itself when the engine reaches
// the step; at OpenArchive the journal is complete and the archive not yet touched.
void KillChildAt(const fs::path& archive, MpqStep step, bool compaction = false) {
    ASSERT_TRUE(testkit::KilledAt(archive, step, compaction ? "CompactUntilStep" : "SaveLargeUntilStep"))
        << "the child was not killed";
}

// What a crash or the player left beside the archive (given with its bytes before); returns the file
// left under one of our names.
using Leave = std::function<fs::path(const fs::path& archive, const Buffer& original)>;

Leave Journal(MpqStep killAt, std::function<void(Buffer& journal, const Buffer& archive)> damage) {
    return [=](const fs::path& archive, const Buffer& original) {
        KillChildAt(archive, killAt);
        Buffer bytes = testkit::ReadBytes(archive_guard::JournalPath(archive));
        damage(bytes, original);
        testkit::WriteFile(archive_guard::JournalPath(archive), bytes);
        return archive_guard::JournalPath(archive);
    };
}

void Keep(Buffer&, const Buffer&) {}

// A sector of the journal's copy of the archive's header or tail lost or rewritten by a power cut,
// found whatever the journal's layout.
std::function<void(Buffer&, const Buffer&)> DamageCopy(bool tail, bool zeroed) {
    return [=](Buffer& journal, const Buffer& archive) {
        const std::size_t span = 32;
        const auto needle = tail ? archive.end() - span : archive.begin();
        const auto found = std::search(journal.begin(), journal.end(), needle, needle + span);
        ASSERT_NE(found, journal.end()) << "the journal holds no copy of these archive bytes";
        zeroed ? std::fill(found, found + span, 0) : void(found[span / 2] ^= 0x10);
    };
}

// After a crash the player puts another archive in place before the next start.
Leave Replaced(bool compaction, MpqStep killAt, bool renamedOver) {
    return [=](const fs::path& archive, const Buffer&) {
        KillChildAt(archive, killAt, compaction);
        const fs::path other = archive.parent_path() / "other.mpq";
        testkit::BuildArchive(other, {{u"other.txt", Bytes("another archive")}}, 1);
        if (!renamedOver)
            testkit::WriteFile(archive, testkit::ReadBytes(other)); // same inode, new bytes
        renamedOver ? fs::rename(other, archive) : void(fs::remove(other));
        return archive_guard::JournalPath(archive);
    };
}

Leave Foreign(fs::path (*name)(const fs::path&), Buffer content) {
    return [=](const fs::path& archive, const Buffer&) {
        testkit::WriteFile(name(archive), content);
        return name(archive);
    };
}

// ForeignJournal: saves fail; ForeignCompactionFile: compactions fail, saves work.
enum class Outcome { Replayed, Dropped, MovedAside, ForeignJournal, ForeignCompactionFile };

struct LeftoverCase {
    const char* name;
    Leave leave;
    Outcome outcome;
};

void PrintTo(const LeftoverCase& leftoverCase, std::ostream* out) {
    *out << leftoverCase.name;
}

class Leftover : public ::testing::TestWithParam<LeftoverCase> {
protected:
    void SetUp() override {
        testkit::BuildArchive(m_archive, testkit::SampleArchiveFiles(), 1);
        clsMpqControl control;
        control.SetMpqFileName(TextFromPath(m_archive));
        ASSERT_TRUE(control.SaveFileToMpq(u"Fonts\\dfst-m3u.ttf", Bytes("short")));
        m_original = testkit::ReadBytes(m_archive);
    }

    testkit::TempDir m_dir;
    fs::path m_archive = m_dir / "War3Patch.mpq";
    Buffer m_original;
};

std::optional<Buffer> BytesIfThere(const fs::path& path) {
    return fs::exists(path) ? std::optional(testkit::ReadBytes(path)) : std::nullopt;
}

TEST_P(Leftover, IsReplayedDroppedOrMovedAsideOnlyWhenOursAndNeverAppliedToAnotherArchive) {
    const Outcome outcome = GetParam().outcome;
    const fs::path left = GetParam().leave(m_archive, m_original);
    ASSERT_FALSE(HasFatalFailure());
    const std::optional<Buffer> leftBytes = BytesIfThere(left);
    const Buffer expected = outcome == Outcome::Replayed ? m_original : testkit::ReadBytes(m_archive);
    const bool foreign = outcome == Outcome::ForeignJournal || outcome == Outcome::ForeignCompactionFile;
    const fs::path aside = archive_guard::AsideJournalPath(m_archive, 1);

    // A caller that only looks (a status) reports an interrupted write, or a player's file under one
    // of our names as such, and changes nothing.
    clsMpqControl looking;
    looking.SetRecovery(false);
    looking.SetMpqFileName(TextFromPath(m_archive));
    const Buffer before = testkit::ReadBytes(m_archive);
    const bool leftover = archive_guard::HasRecoveryFiles(m_archive);
    MpqFailure lookWhy = MpqFailure::None;
    EXPECT_EQ(looking.ArchiveOpens(&lookWhy), !leftover);
    EXPECT_EQ(lookWhy, !leftover ? MpqFailure::None : foreign ? MpqFailure::ForeignFile : MpqFailure::PendingRecovery);
    EXPECT_EQ(testkit::ReadBytes(m_archive), before);
    EXPECT_EQ(BytesIfThere(left), leftBytes);

    clsMpqControl control;
    control.SetMpqFileName(TextFromPath(m_archive));
    EXPECT_TRUE(control.ArchiveOpens()) << "reads must work";
    EXPECT_EQ(testkit::ReadBytes(m_archive), expected) << "a leftover was applied, or a journal of ours was not";
    if (foreign) {
        MpqFailure why = MpqFailure::None;
        EXPECT_FALSE(outcome == Outcome::ForeignJournal ? control.SaveFileToMpq(u"UI\\later.txt", Bytes("x"), &why)
                                                        : control.CompressMpq(&why));
        EXPECT_EQ(why, MpqFailure::ForeignFile);
        EXPECT_EQ(testkit::ReadBytes(m_archive), expected);
    } else {
        EXPECT_FALSE(fs::exists(left));
        EXPECT_FALSE(fs::exists(archive_guard::CompactPath(m_archive)));
        EXPECT_FALSE(fs::exists(archive_guard::CompactMarkerPath(m_archive)));
        EXPECT_EQ(BytesIfThere(aside), outcome == Outcome::MovedAside ? leftBytes : std::nullopt);
    }
    if (outcome != Outcome::ForeignJournal) {
        MpqFailure why = MpqFailure::None;
        EXPECT_TRUE(control.SaveFileToMpq(u"UI\\later.txt", Bytes("later"), &why)) << MpqFailureText(why);
        Buffer read;
        EXPECT_TRUE(control.ReadFileFromMpq(u"UI\\later.txt", read));
        EXPECT_EQ(read, Bytes("later"));
    }
    // Nothing set aside or not ours is touched again.
    if (foreign) {
        EXPECT_EQ(BytesIfThere(left), leftBytes);
    }
    if (outcome == Outcome::MovedAside) {
        EXPECT_EQ(BytesIfThere(aside), leftBytes);
    }
}

void FlipAt(Buffer& bytes, std::size_t at) {
    bytes.at(at) ^= 0x20;
}

INSTANTIATE_TEST_SUITE_P(
    Leftovers, Leftover,
    ::testing::Values(
        LeftoverCase{"CompleteAfterStormLibWrote", Journal(MpqStep::FlushArchive, Keep), Outcome::Replayed},
        LeftoverCase{"CompleteBeforeStormLibBegan", Journal(MpqStep::OpenArchive, Keep), Outcome::Replayed},
        LeftoverCase{"EmptyAfterPowerCut", Journal(MpqStep::OpenArchive, [](auto& j, auto&) { j.clear(); }),
                     Outcome::Dropped},
        LeftoverCase{"CutInTheBody", Journal(MpqStep::OpenArchive, [](auto& j, auto&) { j.resize(j.size() - 100); }),
                     Outcome::Dropped},
        LeftoverCase{"FlippedByteInTheBody",
                     Journal(MpqStep::OpenArchive, [](auto& j, auto&) { FlipAt(j, j.size() / 2); }),
                     Outcome::MovedAside},
        LeftoverCase{"ZeroedBodyRightShape",
                     Journal(MpqStep::OpenArchive, [](auto& j, auto&) { std::fill(j.begin() + 100, j.end() - 8, 0); }),
                     Outcome::MovedAside},
        LeftoverCase{"FlippedByteInTheHeader", Journal(MpqStep::OpenArchive, [](auto& j, auto&) { FlipAt(j, 20); }),
                     Outcome::MovedAside},
        LeftoverCase{"OldFormat", Journal(MpqStep::OpenArchive, [](auto& j, auto&) { j.at(7) = '1'; }),
                     Outcome::MovedAside},
        LeftoverCase{"ZeroedHeaderCopy", Journal(MpqStep::OpenArchive, DamageCopy(false, true)), Outcome::MovedAside},
        LeftoverCase{"FlippedHeaderCopy", Journal(MpqStep::OpenArchive, DamageCopy(false, false)), Outcome::MovedAside},
        LeftoverCase{"ZeroedTailCopy", Journal(MpqStep::OpenArchive, DamageCopy(true, true)), Outcome::MovedAside},
        LeftoverCase{"FlippedTailCopy", Journal(MpqStep::OpenArchive, DamageCopy(true, false)), Outcome::MovedAside},
        LeftoverCase{"JournalThenRenamedOver", Replaced(false, MpqStep::FlushArchive, true), Outcome::MovedAside},
        LeftoverCase{"JournalThenCopiedOver", Replaced(false, MpqStep::FlushArchive, false), Outcome::MovedAside},
        LeftoverCase{"CompactionThenRenamedOver", Replaced(true, MpqStep::CloseArchive, true), Outcome::Dropped},
        LeftoverCase{"CompactionBeforeStormLibThenCopiedOver", Replaced(true, MpqStep::CompactArchive, false),
                     Outcome::Dropped},
        LeftoverCase{"PlayersTextFile", Foreign(archive_guard::JournalPath, Bytes("notes about War3Patch.mpq")),
                     Outcome::ForeignJournal},
        LeftoverCase{"PlayersBinaryFile", Foreign(archive_guard::JournalPath, testkit::PatternBytes(70000, 3, false)),
                     Outcome::ForeignJournal},
        LeftoverCase{"CompactName", Foreign(archive_guard::CompactPath, Bytes("a player's copy")),
                     Outcome::ForeignCompactionFile},
        LeftoverCase{"MarkerName", Foreign(archive_guard::CompactMarkerPath, Bytes("ok")),
                     Outcome::ForeignCompactionFile},
        LeftoverCase{"MarkerOfOursCutShort", Foreign(archive_guard::CompactMarkerPath, Bytes("OSTCMP")),
                     Outcome::Dropped}),
    [](const auto& info) { return std::string(info.param.name); });

} // namespace
