// Several processes on one archive: operations take turns under the archive's lock, so none sees
// another's half-made files, recovery never mistakes a live operation's journal or compaction for
// a crashed one, and every successful write stays.
#include "archive/archive_guard.h"
#include "archive/archive_lock.h"
#include "archive/mpq_control.h"
#include "support/text_path.h"
#include "testkit/faulty_mpq_engine.h"
#include "testkit/mpq_fixtures.h"
#include "testkit/temp_dir.h"

#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <cstdio>
#include <map>
#include <optional>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace fs = std::filesystem;
using std::chrono::milliseconds;
using testkit::Bytes;
using testkit::MpqStep;

namespace {

int WaitFor(pid_t child) {
    int status = 0;
    return waitpid(child, &status, 0) == child && WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// One step of a process's share of the hammering: its own three files, the shared one, and
// compactions between. What each file then holds follows from the steps alone, so the test knows
// every file's last write without asking the processes.
struct Step {
    enum class Kind { Write, Read, Delete, Compact } kind;
    std::string name;
    std::string content;
};

Step StepOf(int process, int step) {
    const std::string own = "p" + std::to_string(process) + "\\f" + std::to_string(step % 3) + ".txt";
    const std::string content = "process " + std::to_string(process) + " step " + std::to_string(step);
    switch ((step + process) % 6) {
    case 1:
        return {Step::Kind::Write, "shared.txt", content};
    case 2:
        return {Step::Kind::Read, own, {}};
    case 4:
        return {Step::Kind::Delete, own, {}};
    case 5:
        return {Step::Kind::Compact, {}, {}};
    default:
        return {Step::Kind::Write, own, content};
    }
}

using Files = std::map<std::string, std::optional<std::string>>; // nullopt: deleted

// Runs the steps; returns how many failed or read other than this process's own last write.
int Hammer(const fs::path& archive, int process, int operations, bool compactions, Files& last) {
    clsMpqControl control;
    control.SetMpqFileName(TextFromPath(archive));
    control.SetLockWait(std::chrono::seconds(30));
    int failures = 0;
    for (int index = 0; index < operations; ++index) {
        const Step step = StepOf(process, index);
        const std::u16string address(step.name.begin(), step.name.end());
        const bool present = last.count(step.name) != 0 && last[step.name].has_value();
        std::vector<std::uint8_t> read;
        MpqFailure why = MpqFailure::None;
        switch (step.kind) {
        case Step::Kind::Write:
            failures += control.SaveFileToMpq(address, Bytes(step.content)) ? 0 : 1;
            last[step.name] = step.content;
            break;
        case Step::Kind::Read:
            // Only this process writes its own files, so a read must give its last write exactly.
            if (control.ReadFileFromMpq(address, read, &why))
                failures += present && read == Bytes(*last[step.name]) ? 0 : 1;
            else
                failures += !present && why == MpqFailure::NotFound ? 0 : 1;
            break;
        case Step::Kind::Delete:
            if (present) {
                failures += control.DeleteFileFromMpq(address) ? 0 : 1;
                last[step.name] = std::nullopt;
            }
            break;
        case Step::Kind::Compact:
            failures += compactions && !control.CompressMpq() ? 1 : 0;
            break;
        }
    }
    return failures;
}

struct HammerCase {
    const char* name;
    int operations; // per process
    bool compactions;
};

class TwoProcesses : public ::testing::TestWithParam<HammerCase> {};

TEST_P(TwoProcesses, EverySuccessfulWriteStaysAndSmpqAgrees) {
    if (!testkit::HaveSmpq())
        GTEST_SKIP() << "smpq not installed";
    testkit::TempDir dir;
    const fs::path archive = dir / "War3Patch.mpq";
    testkit::BuildArchive(archive, testkit::SampleArchiveFiles(), 1);
    std::vector<pid_t> children;
    Files last[2];
    for (int process = 0; process < 2; ++process) {
        const pid_t child = fork();
        ASSERT_GE(child, 0);
        if (child == 0)
            _exit(
                std::min(Hammer(archive, process, GetParam().operations, GetParam().compactions, last[process]), 100));
        children.push_back(child);
    }
    for (pid_t child : children)
        ASSERT_EQ(WaitFor(child), 0) << "operations failed or read wrong bytes in process " << child;

    // Every operation succeeded, so the same steps without an archive give each file's last write.
    for (int process = 0; process < 2; ++process) {
        for (int index = 0; index < GetParam().operations; ++index) {
            const Step step = StepOf(process, index);
            if (step.kind == Step::Kind::Write || (step.kind == Step::Kind::Delete && last[process].count(step.name)))
                last[process][step.name] = step.kind == Step::Kind::Write ? std::optional(step.content) : std::nullopt;
        }
    }
    const auto listed = testkit::SmpqList(archive);
    ASSERT_TRUE(listed.has_value()) << "smpq cannot read the archive";
    for (const Files& files : last) {
        for (const auto& [name, content] : files) {
            std::string listedName = name;
            std::replace(listedName.begin(), listedName.end(), '\\', '/');
            if (name == "shared.txt")
                continue;
            if (content)
                EXPECT_EQ(testkit::SmpqExtract(archive, name), Bytes(*content)) << name;
            else
                EXPECT_EQ(std::count(listed->begin(), listed->end(), listedName), 0) << name << " was deleted last";
        }
    }
    const auto shared = testkit::SmpqExtract(archive, "shared.txt");
    ASSERT_TRUE(shared.has_value());
    EXPECT_TRUE(*shared == Bytes(*last[0]["shared.txt"]) || *shared == Bytes(*last[1]["shared.txt"]))
        << "shared.txt holds \"" << std::string(shared->begin(), shared->end()) << "\", neither process's last write";
    // Nothing of any operation is left but the lock file.
    for (const auto& entry : fs::directory_iterator(dir.path())) {
        const std::string file = entry.path().filename().string();
        EXPECT_TRUE(file == "War3Patch.mpq" || file == "War3Patch.mpq-lock") << file;
    }
}

INSTANTIATE_TEST_SUITE_P(Mixes, TwoProcesses,
                         ::testing::Values(HammerCase{"EditsAndReads", 40, false},
                                           HammerCase{"EditsReadsAndCompactions", 40, true}),
                         [](const auto& info) { return std::string(info.param.name); });

// One operation is held in the middle (inside the engine, its journal or compaction files on
// disk); a second process, forked there, runs another operation meanwhile. It must either wait for
// the first to finish (which also shows the lock is released while that fork still shares its open
// file) or, with a short wait, fail as Locked, and never take the first one's files for a crash's.
enum class Op { SaveLarge, Compact, Read };

const std::vector<std::uint8_t>& LargeContent() {
    static const std::vector<std::uint8_t> bytes = testkit::PatternBytes(2 << 20, 17, false);
    return bytes;
}

bool RunOp(const fs::path& archive, Op op, milliseconds lockWait, MpqFailure* why,
           std::shared_ptr<MpqEngine> engine = nullptr) {
    auto control = engine ? std::make_unique<clsMpqControl>(engine) : std::make_unique<clsMpqControl>();
    control->SetMpqFileName(TextFromPath(archive));
    control->SetLockWait(lockWait);
    std::vector<std::uint8_t> read;
    switch (op) {
    case Op::SaveLarge:
        return control->SaveFileToMpq(u"Fonts\\big.ttf", LargeContent(), why);
    case Op::Compact:
        return control->CompressMpq(why);
    case Op::Read:
        return control->ReadFileFromMpq(u"UI\\war3skins.txt", read, why);
    }
    return false;
}

struct HeldCase {
    const char* name;
    Op holder;
    MpqStep holdAt;
    Op intruder;
    bool intruderWaits; // a long lock wait: it must run after the holder and succeed
};

class HeldOperation : public ::testing::TestWithParam<HeldCase> {};

TEST_P(HeldOperation, AnotherProcessWaitsOrFailsLockedAndUndoesNothing) {
    const HeldCase& heldCase = GetParam();
    testkit::TempDir dir;
    const fs::path archive = dir / "War3Patch.mpq";
    testkit::BuildArchive(archive, testkit::SampleArchiveFiles(), 1);
    {
        // Old data for compaction to drop.
        clsMpqControl control;
        control.SetMpqFileName(TextFromPath(archive));
        ASSERT_TRUE(control.SaveFileToMpq(u"Fonts\\dfst-m3u.ttf", Bytes("short")));
    }
    const std::uintmax_t sizeBefore = fs::file_size(archive);

    pid_t intruder = -1;
    int intruderResult = -1;
    bool journalWhileHeld = false;
    auto engine = std::make_shared<testkit::FaultyMpqEngine>();
    engine->SetHook([&](MpqStep step, int occurrence) {
        if (step != heldCase.holdAt || occurrence != 1 || intruder != -1)
            return;
        journalWhileHeld = fs::exists(archive_guard::JournalPath(archive));
        intruder = fork();
        if (intruder == 0) {
            MpqFailure why = MpqFailure::None;
            const bool done =
                RunOp(archive, heldCase.intruder, milliseconds(heldCase.intruderWaits ? 30000 : 300), &why);
            _exit(heldCase.intruderWaits ? (done ? 0 : 10 + static_cast<int>(why))
                                         : (!done && why == MpqFailure::Locked ? 0 : 1));
        }
        // Long enough for a waiting intruder to be waiting for the lock when the holder goes on.
        if (heldCase.intruderWaits)
            std::this_thread::sleep_for(milliseconds(400));
        else
            intruderResult = WaitFor(intruder);
    });
    MpqFailure why = MpqFailure::None;
    EXPECT_TRUE(RunOp(archive, heldCase.holder, milliseconds(10000), &why, engine)) << MpqFailureText(why);
    ASSERT_NE(intruder, -1) << "the hook never ran";
    if (heldCase.intruderWaits)
        intruderResult = WaitFor(intruder);
    EXPECT_EQ(intruderResult, 0) << "the intruder ran inside the held operation or failed after it";

    if (heldCase.holder == Op::SaveLarge) {
        EXPECT_TRUE(journalWhileHeld) << "the save was not held inside its journal";
        std::vector<std::uint8_t> read;
        clsMpqControl reader;
        reader.SetMpqFileName(TextFromPath(archive));
        EXPECT_TRUE(reader.ReadFileFromMpq(u"Fonts\\big.ttf", read));
        EXPECT_TRUE(read == LargeContent()) << "the saved file is not what was saved";
    }
    if (heldCase.holder == Op::Compact && heldCase.intruder != Op::SaveLarge) {
        EXPECT_LT(fs::file_size(archive), sizeBefore) << "the compaction was undone";
    }
    if (testkit::HaveSmpq()) {
        EXPECT_EQ(testkit::SmpqExtract(archive, "Fonts\\dfst-m3u.ttf"), Bytes("short"));
    }
}

INSTANTIATE_TEST_SUITE_P(
    Pairs, HeldOperation,
    ::testing::Values(HeldCase{"ReadDuringSaveFailsLocked", Op::SaveLarge, MpqStep::FlushArchive, Op::Read, false},
                      HeldCase{"ReadDuringSaveWaits", Op::SaveLarge, MpqStep::FlushArchive, Op::Read, true},
                      HeldCase{"CompactionDuringSaveFailsLocked", Op::SaveLarge, MpqStep::WriteFile, Op::Compact,
                               false},
                      HeldCase{"CompactionDuringSaveWaits", Op::SaveLarge, MpqStep::WriteFile, Op::Compact, true},
                      HeldCase{"ReadDuringCompactionFailsLocked", Op::Compact, MpqStep::CloseArchive, Op::Read, false},
                      HeldCase{"ReadDuringCompactionWaits", Op::Compact, MpqStep::CloseArchive, Op::Read, true},
                      HeldCase{"SaveDuringCompactionWaits", Op::Compact, MpqStep::CompactArchive, Op::SaveLarge, true}),
    [](const auto& info) { return std::string(info.param.name); });

// The lock itself: a bounded wait that keeps calling back (a waiting window repaints), and never
// inherited by programs the holder starts (the worker).
using archive_lock::ArchiveLock;
using archive_lock::LockStatus;

TEST(ArchiveLockTest, WaitIsBoundedAndCallsBack) {
    testkit::TempDir dir;
    const fs::path archive = dir / "War3Patch.mpq";
    testkit::BuildArchive(archive, testkit::SampleArchiveFiles(), 1);
    const auto owner = archive_io::IdentityOf(archive);
    ASSERT_TRUE(owner.has_value());
    int ready[2];
    ASSERT_EQ(pipe(ready), 0);
    const pid_t holder = fork();
    if (holder == 0) {
        LockStatus status = LockStatus::Failed;
        auto lock = ArchiveLock::Acquire(archive, *owner, milliseconds(0), status);
        (void)!write(ready[1], status == LockStatus::Held ? "y" : "n", 1);
        for (;;)
            pause();
    }
    char byte = 0;
    ASSERT_TRUE(read(ready[0], &byte, 1) == 1 && byte == 'y');
    for (const int waitMs : {300, 0}) {
        int calls = 0;
        LockStatus status = LockStatus::Failed;
        const auto start = std::chrono::steady_clock::now();
        ArchiveLock::Acquire(archive, *owner, milliseconds(waitMs), status, [&] { ++calls; });
        const auto elapsed = std::chrono::steady_clock::now() - start;
        EXPECT_EQ(status, LockStatus::Busy);
        EXPECT_GE(elapsed, milliseconds(waitMs));
        EXPECT_LT(elapsed, milliseconds(waitMs == 0 ? 100 : 2000)) << "a zero wait tries once";
        EXPECT_GE(calls, waitMs / 60) << "the wait did not call back every 50 ms";
    }
    kill(holder, SIGKILL);
    waitpid(holder, nullptr, 0);
    close(ready[0]);
    close(ready[1]);
}

TEST(ArchiveLockTest, NotInheritedByPrograms) {
    testkit::TempDir dir;
    const fs::path archive = dir / "War3Patch.mpq";
    testkit::BuildArchive(archive, testkit::SampleArchiveFiles(), 1);
    LockStatus status = LockStatus::Failed;
    auto lock = ArchiveLock::Acquire(archive, *archive_io::IdentityOf(archive), milliseconds(0), status);
    ASSERT_EQ(status, LockStatus::Held);
    FILE* pipe = popen("ls -l /proc/self/fd/", "r");
    ASSERT_NE(pipe, nullptr);
    std::string listing;
    char chunk[512];
    while (std::fgets(chunk, sizeof chunk, pipe) != nullptr)
        listing += chunk;
    pclose(pipe);
    EXPECT_NE(listing.find("->"), std::string::npos) << "no descriptors listed";
    EXPECT_EQ(listing.find(archive_lock::LockPath(archive).string()), std::string::npos) << listing;
}

} // namespace
