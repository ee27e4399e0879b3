// Writes that fail part way: an engine step that fails after StormLib has already written, a full
// disk, leftovers of an interrupted earlier run. The archive must keep exactly its old bytes.
#include "archive/door/archive_guard.h"
#include "archive/door/archive_lock.h"
#include "archive/door/mpq_control.h"
#include "archive/door/mpq_layout.h"
#include "support/text_path.h"
#include "testkit/child_process.h"
#include "testkit/faulty_mpq_engine.h"
#include "testkit/mpq_fixtures.h"
#include "testkit/temp_dir.h"
#include "testkit/worker_faults.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <functional>

namespace fs = std::filesystem;
using testkit::Bytes;
using testkit::MpqStep;

namespace {

enum class Op { Replace, AddLarge, Delete, Compact };

const char* OpName(Op op) {
    switch (op) {
    case Op::Replace:
        return "Replace";
    case Op::AddLarge:
        return "AddLarge";
    case Op::Delete:
        return "Delete";
    case Op::Compact:
        return "Compact";
    }
    return "?";
}

void PrintTo(Op op, std::ostream* out) {
    *out << OpName(op);
}

bool RunOp(clsMpqControl& control, Op op, MpqFailure* why = nullptr) {
    switch (op) {
    case Op::Replace:
        return control.SaveFileToMpq(u"UI\\war3skins.txt", Bytes("[Orc]\r\n"), why);
    case Op::AddLarge:
        return control.SaveFileToMpq(u"Fonts\\big.ttf", testkit::PatternBytes(300000, 9, false), why);
    case Op::Delete:
        return control.DeleteFileFromMpq(u"Sound\\Music\\mp3Music\\Mainscreen.mp3", why);
    case Op::Compact:
        return control.CompressMpq(why);
    }
    return false;
}

class ArchiveFixture {
public:
    ArchiveFixture() {
        m_archive = m_dir / "War3Patch.mpq";
        testkit::BuildArchive(m_archive, testkit::SampleArchiveFiles(), 1);
        // Old data for compaction to drop.
        clsMpqControl control;
        control.SetMpqFileName(TextFromPath(m_archive));
        if (!control.SaveFileToMpq(u"Fonts\\dfst-m3u.ttf", Bytes("font")))
            throw std::runtime_error("setup");
        m_original = testkit::ReadBytes(m_archive);
    }

    // The directory's files but the archive's lock file, which stays once made.
    std::vector<std::string> Entries() const {
        std::vector<std::string> names;
        for (const auto& entry : fs::directory_iterator(m_dir.path()))
            if (entry.path() != archive_lock::LockPath(m_archive))
                names.push_back(entry.path().filename().string());
        std::sort(names.begin(), names.end());
        return names;
    }

    void ExpectUntouched(const std::string& what) const {
        EXPECT_EQ(testkit::ReadBytes(m_archive), m_original) << what << ": the archive changed";
        EXPECT_EQ(Entries(), std::vector<std::string>{"War3Patch.mpq"}) << what << ": files left behind";
    }

    testkit::TempDir m_dir;
    fs::path m_archive;
    std::vector<std::uint8_t> m_original;
};

struct StepFailure {
    Op op;
    MpqStep step;
    int occurrence;
};

void PrintTo(const StepFailure& failure, std::ostream* out) {
    *out << OpName(failure.op) << " failing at " << testkit::StepName(failure.step) << " #" << failure.occurrence;
}

class EngineFailureTest : public ::testing::TestWithParam<StepFailure>, public ArchiveFixture {};

TEST_P(EngineFailureTest, FailsAndKeepsTheOldArchive) {
    auto engine = std::make_shared<testkit::FaultyMpqEngine>();
    engine->FailAt(GetParam().step, GetParam().occurrence);
    clsMpqControl control(engine);
    control.SetMpqFileName(TextFromPath(m_archive));
    EXPECT_FALSE(RunOp(control, GetParam().op));
    EXPECT_EQ(engine->Calls(GetParam().step), GetParam().occurrence) << "the step was not reached";
    ExpectUntouched(std::string(OpName(GetParam().op)) + " failing at " + testkit::StepName(GetParam().step));

    // And the next operation works normally.
    clsMpqControl next;
    next.SetMpqFileName(TextFromPath(m_archive));
    EXPECT_TRUE(RunOp(next, GetParam().op));
}

INSTANTIATE_TEST_SUITE_P(
    Steps, EngineFailureTest,
    ::testing::Values(
        StepFailure{Op::Replace, MpqStep::OpenArchive, 1}, StepFailure{Op::Replace, MpqStep::IsReadOnly, 1},
        StepFailure{Op::Replace, MpqStep::FileLocale, 1}, StepFailure{Op::Replace, MpqStep::CreateFile, 1},
        StepFailure{Op::Replace, MpqStep::WriteFile, 1}, StepFailure{Op::Replace, MpqStep::FinishFile, 1},
        StepFailure{Op::Replace, MpqStep::FlushArchive, 1}, StepFailure{Op::Replace, MpqStep::CloseArchive, 1},
        StepFailure{Op::AddLarge, MpqStep::WriteFile, 1}, StepFailure{Op::AddLarge, MpqStep::FlushArchive, 1},
        StepFailure{Op::AddLarge, MpqStep::CloseArchive, 1}, StepFailure{Op::Delete, MpqStep::IsReadOnly, 1},
        StepFailure{Op::Delete, MpqStep::RemoveFile, 1}, StepFailure{Op::Delete, MpqStep::FlushArchive, 1},
        StepFailure{Op::Delete, MpqStep::CloseArchive, 1}, StepFailure{Op::Compact, MpqStep::IsReadOnly, 1},
        StepFailure{Op::Compact, MpqStep::CompactArchive, 1}, StepFailure{Op::Compact, MpqStep::CloseArchive, 1},
        // The reopening that proves the compacted archive before the backup goes.
        StepFailure{Op::Compact, MpqStep::OpenArchive, 2}),
    [](const auto& info) {
        return std::string(OpName(info.param.op)) + "_" + testkit::StepName(info.param.step) +
               std::to_string(info.param.occurrence);
    });

// A full disk, as a file-size limit in a child process: no write may leave a trace.
struct DiskLimit {
    Op op;
    const char* name;
    std::function<std::uint64_t(std::uint64_t archiveSize)> limit;
    // The engine, not our own journal or compaction files, meets the limit; it reports that in
    // its own terms (a worker killed by the limit is WorkerDied).
    bool engineMeetsIt = false;
};

void PrintTo(const DiskLimit& limit, std::ostream* out) {
    *out << limit.name;
}

class FullDiskTest : public ::testing::TestWithParam<DiskLimit>, public ArchiveFixture {};

// The child of a full-disk row: 1 when the operation failed as it should, 0 when it succeeded on
// a full disk, 10 + the reason when it failed for another reason than DiskFull, 3 when the limit
// could not be set.
TESTKIT_CHILD_ROLE(OperateOnFullDisk) {
    if (!testkit::worker_faults::LimitFileSize(std::stoull(args.at(2))))
        return 3;
    clsMpqControl control;
    control.SetMpqFileName(TextFromPath(testkit::child::ArgumentPath(args.at(0))));
    MpqFailure why = MpqFailure::None;
    if (RunOp(control, static_cast<Op>(std::stoi(args.at(1))), &why))
        return 0;
    return why == MpqFailure::DiskFull || args.at(3) == "engine" ? 1 : 10 + static_cast<int>(why);
}

TEST_P(FullDiskTest, EveryWriteFailsAndTheArchiveIsByteIdentical) {
    const std::uint64_t limit = GetParam().limit(m_original.size());
    const testkit::child::Outcome outcome = testkit::child::Run(
        "OperateOnFullDisk", {testkit::child::PathArgument(m_archive), std::to_string(static_cast<int>(GetParam().op)),
                              std::to_string(limit), GetParam().engineMeetsIt ? "engine" : "door"});
    ASSERT_TRUE(outcome.exited) << "the child crashed";
    EXPECT_EQ(outcome.code, 1) << "0: success on a full disk; from 10: 10 + another reason than DiskFull";
    ExpectUntouched(GetParam().name);
}

INSTANTIATE_TEST_SUITE_P(
    Limits, FullDiskTest,
    ::testing::Values(DiskLimit{Op::Replace, "ReplaceNothingWritable", [](std::uint64_t) { return 0; }},
                      DiskLimit{Op::Delete, "DeleteNothingWritable", [](std::uint64_t) { return 0; }},
                      DiskLimit{Op::Compact, "CompactNothingWritable", [](std::uint64_t) { return 0; }},
                      DiskLimit{Op::AddLarge, "AddLargeNoGrowth", [](std::uint64_t size) { return size; }, true},
                      DiskLimit{Op::AddLarge, "AddLargeLittleGrowth",
                                [](std::uint64_t size) { return size + 64 * 1024; }, true},
                      DiskLimit{Op::Compact, "CompactHalfTheArchive", [](std::uint64_t size) { return size / 2; }},
                      DiskLimit{Op::Replace, "ReplaceJournalOnly", [](std::uint64_t) { return 2048; }, true}),
    [](const auto& info) { return std::string(info.param.name); });

// StormLib 9.22 re-signs an archive holding a (signature) whenever it writes it, and without the
// door's preparation the system libtomcrypt crashes doing so. Any earlier write in this process
// would already have prepared it, so each write runs in a freshly started process, on an archive
// made without StormLib's signing code: a (signature) of random bytes, which must end up valid.
class SignedWriteInFreshProcess : public ::testing::TestWithParam<Op> {};

TEST_P(SignedWriteInFreshProcess, SignsTheArchiveWithoutCrashing) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    testkit::TempDir dir;
    const fs::path archive = dir / "War3Patch.mpq";
    std::vector<MpqBuilderFile> files = testkit::SampleArchiveFiles();
    // StormLib takes a signature of zeros for one not made yet and passes it.
    files.push_back({u"signature.bin", testkit::PatternBytes(72, 5, false), false});
    testkit::BuildArchive(archive, files, 1);
    ASSERT_TRUE(testkit::RenameInHashTable(archive, "signature.bin", "(signature)"));
    ASSERT_EQ(testkit::CheckSignature(archive), testkit::SignatureCheck::WeakBroken);
    EXPECT_EXIT(
        {
            clsMpqControl control;
            control.SetMpqFileName(TextFromPath(archive));
            if (!RunOp(control, GetParam()))
                std::_Exit(1);
            const testkit::SignatureCheck check = testkit::CheckSignature(archive);
            std::fprintf(stderr, "signature after the write: %s\n", testkit::SignatureCheckName(check));
            std::_Exit(check == testkit::SignatureCheck::WeakValid ? 0 : 2);
        },
        ::testing::ExitedWithCode(0), "");
}

INSTANTIATE_TEST_SUITE_P(Writes, SignedWriteInFreshProcess,
                         ::testing::Values(Op::Replace, Op::AddLarge, Op::Delete, Op::Compact),
                         [](const auto& info) { return std::string(OpName(info.param)); });

// A write that fails after StormLib has already re-signed and written the archive still puts back
// every old byte, the old signature included.
class SignedArchiveFailure : public ::testing::TestWithParam<StepFailure> {};

TEST_P(SignedArchiveFailure, KeepsTheOldSignedArchive) {
    testkit::TempDir dir;
    const fs::path archive = dir / "War3Patch.mpq";
    testkit::BuildArchive(archive, testkit::SampleArchiveFiles(), 1);
    ASSERT_TRUE(testkit::SignArchiveWeakly(archive));
    const std::vector<std::uint8_t> original = testkit::ReadBytes(archive);
    auto engine = std::make_shared<testkit::FaultyMpqEngine>();
    engine->FailAt(GetParam().step, GetParam().occurrence);
    clsMpqControl control(engine);
    control.SetMpqFileName(TextFromPath(archive));
    EXPECT_FALSE(RunOp(control, GetParam().op));
    EXPECT_EQ(engine->Calls(GetParam().step), GetParam().occurrence) << "the step was not reached";
    EXPECT_EQ(testkit::ReadBytes(archive), original);
    EXPECT_EQ(testkit::CheckSignature(archive), testkit::SignatureCheck::WeakValid);
}

INSTANTIATE_TEST_SUITE_P(Steps, SignedArchiveFailure,
                         ::testing::Values(StepFailure{Op::Replace, MpqStep::CloseArchive, 1},
                                           StepFailure{Op::Delete, MpqStep::CloseArchive, 1},
                                           StepFailure{Op::Compact, MpqStep::CloseArchive, 1},
                                           StepFailure{Op::Compact, MpqStep::OpenArchive, 2}),
                         [](const auto& info) {
                             return std::string(OpName(info.param.op)) + "_" + testkit::StepName(info.param.step) +
                                    std::to_string(info.param.occurrence);
                         });

// Leftovers of a run that was killed: the next operation settles them first.
class LeftoverTest : public ::testing::Test, public ArchiveFixture {};

TEST_F(LeftoverTest, TornJournalIsDroppedAndTheArchiveKept) {
    // A journal cut short was never complete, so the archive was never touched.
    testkit::WriteFile(archive_guard::JournalPath(m_archive), Bytes("OSTJRNL1\x10\x00\x00"));
    clsMpqControl control;
    control.SetMpqFileName(TextFromPath(m_archive));
    EXPECT_TRUE(control.FileExistsInMpq(u"UI\\war3skins.txt"));
    ExpectUntouched("torn journal");
}

// Where a journal also saves an old block that the edit reuses, besides the tail: bytes from
// the tail's start back to the block's start (0: no such block).
struct SavedBlock {
    const char* name;
    std::uint64_t belowTail;
};

void PrintTo(const SavedBlock& block, std::ostream* out) {
    *out << block.name;
}

// Begins a journal, damages the archive's tail (and the saved block) and grows it as an
// interrupted engine would, and ends without a commit or a rollback (no destructor runs).
// args: the archive, the saved block's distance below the tail.
TESTKIT_CHILD_ROLE(DamageUnderJournalAndDie) {
    const fs::path archive = testkit::child::ArgumentPath(args.at(0));
    const std::uint64_t belowTail = std::stoull(args.at(1));
    const auto layout = ReadMpqLayout(archive);
    if (!layout)
        return 2;
    const std::uint64_t tail = layout->FirstWritableOffset({"UI\\war3skins.txt"});
    const std::uint64_t headerEnd = layout->headerOffset + layout->headerSize;
    if (belowTail > tail - headerEnd)
        return 4;
    std::vector<archive_io::ByteRange> saved;
    if (belowTail != 0)
        saved.push_back({tail - belowTail, std::min<std::uint64_t>(belowTail, 100)});
    MpqFailure why = MpqFailure::None;
    auto journal = archive_guard::RollbackJournal::Begin(archive, layout->headerOffset, layout->headerSize, tail,
                                                         UINT64_MAX, saved, why);
    if (!journal)
        return 3;
    std::vector<std::uint8_t> damaged = testkit::ReadBytes(archive);
    std::fill(damaged.end() - 300, damaged.end(), 0xEE);
    for (const archive_io::ByteRange& range : saved)
        std::fill_n(damaged.begin() + static_cast<std::ptrdiff_t>(range.offset), range.length, 0xEE);
    damaged.insert(damaged.end(), 5000, 0xEE);
    testkit::WriteFile(archive, damaged);
    std::_Exit(0);
}

class CompleteJournalTest : public LeftoverTest, public ::testing::WithParamInterface<SavedBlock> {};

TEST_P(CompleteJournalTest, IsReplayedBeforeAnyRead) {
    // A child begins a journal, damages what it saved and grows the archive as an interrupted
    // engine would, and dies without a commit or a rollback.
    const testkit::child::Outcome outcome = testkit::child::Run(
        "DamageUnderJournalAndDie", {testkit::child::PathArgument(m_archive), std::to_string(GetParam().belowTail)});
    ASSERT_TRUE(outcome.exited && outcome.code == 0) << outcome.code;
    ASSERT_TRUE(fs::exists(archive_guard::JournalPath(m_archive)));
    ASSERT_NE(testkit::ReadBytes(m_archive), m_original);

    clsMpqControl control;
    control.SetMpqFileName(TextFromPath(m_archive));
    std::vector<std::uint8_t> read;
    EXPECT_TRUE(control.ReadFileFromMpq(u"UI\\war3skins.txt", read));
    // Replayed, not set aside as another archive's: nothing the journal binds itself by was written.
    ExpectUntouched("replayed journal");
}

// A block just below the tail lies where the journal would otherwise take the bytes it binds
// itself to the archive by.
INSTANTIATE_TEST_SUITE_P(Saved, CompleteJournalTest,
                         ::testing::Values(SavedBlock{"TailOnly", 0}, SavedBlock{"BlockJustBelowTheTail", 150},
                                           SavedBlock{"BlockFarBelowTheTail", 5000}),
                         [](const auto& info) { return std::string(info.param.name); });

// The marker our compaction writes before it makes the backup.
void WriteBackupMarker(const fs::path& archive, std::uint64_t size) {
    std::vector<std::uint8_t> bytes = Bytes("OSTBACK1");
    for (int i = 0; i < 8; ++i)
        bytes.push_back(static_cast<std::uint8_t>(size >> (8 * i)));
    testkit::WriteFile(archive_guard::BackupMarkerPath(archive), bytes);
}

// A marked "-backup" of an unreleased earlier compaction can no longer say which archive it
// belongs to: it is never put back over the archive in place, whatever that is, but set aside.
struct BackupLeftover {
    const char* name;
    bool archiveReplaced; // a half-made archive was renamed over ours
    bool archiveMissing;  // deleted before the move
    int lengthDelta;      // the backup's length against the marker's record
};

class BackupLeftoverTest : public LeftoverTest, public ::testing::WithParamInterface<BackupLeftover> {};

TEST_P(BackupLeftoverTest, MarkedBackupIsSetAsideAndNeverPutBack) {
    std::vector<std::uint8_t> backup = m_original;
    backup.resize(m_original.size() + GetParam().lengthDelta, 0x5A);
    std::fill(backup.end() - 64, backup.end(), 0x5A); // a stale archive of the same base
    testkit::WriteFile(archive_guard::BackupPath(m_archive), backup);
    WriteBackupMarker(m_archive, m_original.size());
    const std::vector<std::uint8_t> inPlace = Bytes("MPQ\x1a renamed over before its tables were written");
    if (GetParam().archiveReplaced)
        testkit::WriteFile(m_archive, inPlace);
    if (GetParam().archiveMissing)
        fs::remove(m_archive);
    clsMpqControl control;
    control.SetMpqFileName(TextFromPath(m_archive));
    MpqFailure why = MpqFailure::None;
    const bool exists = control.FileExistsInMpq(u"UI\\war3skins.txt", &why);
    if (GetParam().archiveMissing) {
        EXPECT_FALSE(exists);
        EXPECT_FALSE(fs::exists(m_archive));
    } else if (GetParam().archiveReplaced) {
        EXPECT_FALSE(exists);
        EXPECT_EQ(testkit::ReadBytes(m_archive), inPlace);
    } else {
        EXPECT_TRUE(exists) << MpqFailureText(why);
        EXPECT_EQ(testkit::ReadBytes(m_archive), m_original) << "the backup was put over the archive";
    }
    if (!GetParam().archiveMissing) {
        EXPECT_FALSE(fs::exists(archive_guard::BackupPath(m_archive)));
        EXPECT_EQ(testkit::ReadBytes(fs::path(archive_guard::BackupPath(m_archive).string() + ".1")), backup);
        EXPECT_FALSE(fs::exists(archive_guard::BackupMarkerPath(m_archive)));
    }
}

INSTANTIATE_TEST_SUITE_P(States, BackupLeftoverTest,
                         ::testing::Values(BackupLeftover{"SameLengthStaleBackup", false, false, 0},
                                           BackupLeftover{"LongerBackup", false, false, 1},
                                           BackupLeftover{"ShorterBackup", false, false, -4096},
                                           BackupLeftover{"HalfMadeArchiveRenamedOver", true, false, 0},
                                           BackupLeftover{"ArchiveDeletedBeforeTheMove", false, true, 0}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(LeftoverTest, PlayersOwnFileOfTheBackupsNameIsNeverTakenForOne) {
    const fs::path players = archive_guard::BackupPath(m_archive);
    testkit::WriteFile(players, Bytes("an older War3Patch.mpq the player kept"));
    clsMpqControl control;
    control.SetMpqFileName(TextFromPath(m_archive));
    EXPECT_TRUE(control.FileExistsInMpq(u"UI\\war3skins.txt"));
    // Compaction no longer uses that name: it works and leaves the player's file alone.
    EXPECT_TRUE(control.CompressMpq());
    EXPECT_EQ(testkit::ReadBytes(players), Bytes("an older War3Patch.mpq the player kept"));
    EXPECT_TRUE(control.FileExistsInMpq(u"UI\\war3skins.txt"));
}

TEST_F(LeftoverTest, HalfCopiedBackupIsDroppedAndTheArchiveKept) {
    // Killed while copying on a file system without hard links: the copy never got the backup's name.
    WriteBackupMarker(m_archive, m_original.size());
    testkit::WriteFile(fs::path(m_archive.string() + "-backup.part"),
                       std::vector<std::uint8_t>(m_original.begin(), m_original.begin() + 100));
    clsMpqControl control;
    control.SetMpqFileName(TextFromPath(m_archive));
    EXPECT_TRUE(control.FileExistsInMpq(u"UI\\war3skins.txt"));
    ExpectUntouched("half copy dropped");
}

TEST_F(LeftoverTest, TornMarkerIsDroppedAndTheArchiveKept) {
    testkit::WriteFile(archive_guard::BackupMarkerPath(m_archive), Bytes("OSTBA"));
    clsMpqControl control;
    control.SetMpqFileName(TextFromPath(m_archive));
    EXPECT_TRUE(control.FileExistsInMpq(u"UI\\war3skins.txt"));
    ExpectUntouched("torn marker");
}

// An answer read from an archive StormLib could not close cleanly is not one to rely on: every
// reading operation reports a failed close as its failure.
class ReadCloseTest : public ::testing::Test, public ArchiveFixture {};

TEST_F(ReadCloseTest, AFailedCloseFailsEveryRead) {
    const std::pair<const char*, std::function<bool(clsMpqControl&)>> reads[] = {
        {"ReadFile",
         [](clsMpqControl& c) {
             std::vector<std::uint8_t> bytes;
             return c.ReadFileFromMpq(u"UI\\war3skins.txt", bytes);
         }},
        {"FileExists", [](clsMpqControl& c) { return c.FileExistsInMpq(u"empty.txt"); }},
        {"ArchiveOpens", [](clsMpqControl& c) { return c.ArchiveOpens(); }},
    };
    for (const auto& [name, read] : reads) {
        SCOPED_TRACE(name);
        auto engine = std::make_shared<testkit::FaultyMpqEngine>();
        clsMpqControl control(engine);
        control.SetMpqFileName(TextFromPath(m_archive));
        ASSERT_TRUE(read(control)) << "succeeds while the close succeeds";
        engine->FailAt(MpqStep::CloseArchive, engine->Calls(MpqStep::CloseArchive) + 1);
        EXPECT_FALSE(read(control));
        EXPECT_GE(engine->Calls(MpqStep::CloseArchive), 2);
    }
}

} // namespace
