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
#include <fstream>
#include <functional>
#include <map>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace fs = std::filesystem;
using testkit::Bytes;
using testkit::MpqStep;

namespace {

const char16_t* const kShared = u"shared.txt";

std::u16string Address(const std::string& name) {
    return std::u16string(name.begin(), name.end());
}

// Exit code of a child: 0 when it did what it was to do, else 10 + the reason it failed.
int ExitCode(bool done, MpqFailure why) {
    return done ? 0 : 10 + static_cast<int>(why);
}

int WaitFor(pid_t child) {
    int status = 0;
    if (waitpid(child, &status, 0) != child || !WIFEXITED(status))
        return -1;
    return WEXITSTATUS(status);
}

// One process's share of the hammering: `operations` steps over its own three files and the shared
// one, with compactions between. It checks each read against its own last successful write and
// records, per file, what it last wrote ("-" for deleted) in `record`.
int Hammer(const fs::path& archive, int process, int operations, bool compactions, const fs::path& record) {
    clsMpqControl control;
    control.SetMpqFileName(TextFromPath(archive));
    control.SetLockWait(std::chrono::seconds(30));
    std::map<std::string, std::string> last;
    std::string sharedLast;
    int failures = 0;
    for (int step = 0; step < operations; ++step) {
        const std::string own = "p" + std::to_string(process) + "\\f" + std::to_string(step % 3) + ".txt";
        const std::string content = "process " + std::to_string(process) + " step " + std::to_string(step);
        switch ((step + process) % 6) {
        case 0:
        case 3:
            if (control.SaveFileToMpq(Address(own), Bytes(content)))
                last[own] = content;
            else
                ++failures;
            break;
        case 1:
            if (control.SaveFileToMpq(kShared, Bytes(content)))
                sharedLast = content;
            else
                ++failures;
            break;
        case 2: {
            // Only this process writes its own files, so a read must give its last write exactly.
            std::vector<std::uint8_t> read;
            MpqFailure why = MpqFailure::None;
            const bool found = control.ReadFileFromMpq(Address(own), read, &why);
            const auto known = last.find(own);
            if (known == last.end() || known->second == "-") {
                failures += (found || why != MpqFailure::NotFound) ? 1 : 0;
            } else {
                failures += (!found || read != Bytes(known->second)) ? 1 : 0;
            }
            break;
        }
        case 4: {
            const auto known = last.find(own);
            if (known != last.end() && known->second != "-") {
                if (control.DeleteFileFromMpq(Address(own)))
                    last[own] = "-";
                else
                    ++failures;
            }
            break;
        }
        case 5:
            if (compactions && !control.CompressMpq())
                ++failures;
            break;
        }
    }
    std::ofstream out(record);
    for (const auto& [name, content] : last)
        out << name << '\n' << content << '\n';
    out << "shared.txt\n" << sharedLast << '\n';
    return failures;
}

std::map<std::string, std::string> ReadRecord(const fs::path& record) {
    std::map<std::string, std::string> last;
    std::ifstream in(record);
    std::string name;
    std::string content;
    while (std::getline(in, name) && std::getline(in, content))
        last[name] = content;
    return last;
}

struct HammerCase {
    const char* name;
    int operations; // per process
    bool compactions;
};

void PrintTo(const HammerCase& hammerCase, std::ostream* out) {
    *out << hammerCase.name;
}

class TwoProcesses : public ::testing::TestWithParam<HammerCase> {};

TEST_P(TwoProcesses, EverySuccessfulWriteStaysAndSmpqAgrees) {
    if (!testkit::HaveSmpq())
        GTEST_SKIP() << "smpq not installed";
    testkit::TempDir dir;
    const fs::path archive = dir / "War3Patch.mpq";
    testkit::BuildArchive(archive, testkit::SampleArchiveFiles(), 1);
    const auto started = std::chrono::steady_clock::now();
    std::vector<pid_t> children;
    for (int process = 0; process < 2; ++process) {
        const pid_t child = fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            const int failures = Hammer(archive, process, GetParam().operations, GetParam().compactions,
                                        dir / ("record" + std::to_string(process)));
            _exit(std::min(failures, 100));
        }
        children.push_back(child);
    }
    for (pid_t child : children)
        EXPECT_EQ(WaitFor(child), 0) << "operations failed or read wrong bytes in process " << child;
    RecordProperty(
        "seconds",
        static_cast<int>(
            std::chrono::duration_cast<std::chrono::seconds>(std::chrono::steady_clock::now() - started).count()));

    const auto listed = testkit::SmpqList(archive);
    ASSERT_TRUE(listed.has_value()) << "smpq cannot read the archive";
    std::vector<std::string> sharedCandidates;
    for (int process = 0; process < 2; ++process) {
        const auto record = ReadRecord(dir / ("record" + std::to_string(process)));
        ASSERT_FALSE(record.empty());
        for (const auto& [name, content] : record) {
            if (name == "shared.txt") {
                sharedCandidates.push_back(content);
                continue;
            }
            std::string listedName = name;
            std::replace(listedName.begin(), listedName.end(), '\\', '/');
            const bool present = std::find(listed->begin(), listed->end(), listedName) != listed->end();
            if (content == "-") {
                EXPECT_FALSE(present) << name << " was deleted last";
            } else {
                EXPECT_EQ(testkit::SmpqExtract(archive, name), Bytes(content)) << name;
            }
        }
    }
    const auto shared = testkit::SmpqExtract(archive, "shared.txt");
    ASSERT_TRUE(shared.has_value());
    const std::string sharedText(shared->begin(), shared->end());
    EXPECT_TRUE(sharedText == sharedCandidates[0] || sharedText == sharedCandidates[1])
        << "shared.txt holds \"" << sharedText << "\", neither process's last write";
    // Nothing of any operation is left but the lock file.
    for (const auto& entry : fs::directory_iterator(dir.path())) {
        const std::string file = entry.path().filename().string();
        EXPECT_TRUE(file == "War3Patch.mpq" || file == "War3Patch.mpq-lock" || file.rfind("record", 0) == 0) << file;
    }
}

INSTANTIATE_TEST_SUITE_P(Mixes, TwoProcesses,
                         ::testing::Values(HammerCase{"EditsAndReads", 40, false},
                                           HammerCase{"EditsReadsAndCompactions", 40, true}),
                         [](const auto& info) { return std::string(info.param.name); });

// One operation is held in the middle (inside the engine, its journal or compaction files on
// disk); a second process runs another operation meanwhile. It must either wait for the first to
// finish or, with a short wait, fail as Locked, and never take the first one's files for a crash's.
enum class Op { SaveLarge, Compact, Read };

const std::vector<std::uint8_t>& LargeContent() {
    static const std::vector<std::uint8_t> bytes = testkit::PatternBytes(2 << 20, 17, false);
    return bytes;
}

struct HeldCase {
    const char* name;
    Op holder;
    MpqStep holdAt;
    Op intruder;
    bool intruderWaits; // a long lock wait: it must run after the holder and succeed
};

void PrintTo(const HeldCase& heldCase, std::ostream* out) {
    *out << heldCase.name;
}

bool RunOp(clsMpqControl& control, Op op, MpqFailure* why) {
    switch (op) {
    case Op::SaveLarge:
        return control.SaveFileToMpq(u"Fonts\\big.ttf", LargeContent(), why);
    case Op::Compact:
        return control.CompressMpq(why);
    case Op::Read: {
        std::vector<std::uint8_t> read;
        return control.ReadFileFromMpq(u"UI\\war3skins.txt", read, why);
    }
    }
    return false;
}

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
    bool journalWhileHeld = false;
    auto engine = std::make_shared<testkit::FaultyMpqEngine>();
    engine->SetHook([&](MpqStep step, int occurrence) {
        if (step != heldCase.holdAt || occurrence != 1 || intruder != -1)
            return;
        journalWhileHeld = fs::exists(archive_guard::JournalPath(archive));
        intruder = fork();
        if (intruder == 0) {
            clsMpqControl control;
            control.SetMpqFileName(TextFromPath(archive));
            control.SetLockWait(heldCase.intruderWaits ? std::chrono::milliseconds(30000)
                                                       : std::chrono::milliseconds(300));
            MpqFailure why = MpqFailure::None;
            const bool done = RunOp(control, heldCase.intruder, &why);
            if (heldCase.intruderWaits)
                _exit(ExitCode(done, why));
            _exit(!done && why == MpqFailure::Locked ? 0 : 1);
        }
        if (heldCase.intruderWaits) {
            // Long enough for the intruder to be waiting for the lock when the holder goes on.
            std::this_thread::sleep_for(std::chrono::milliseconds(400));
        } else {
            WaitFor(intruder);
        }
    });
    // The intruder's report, collected after the holder: with a short wait it has ended already.
    clsMpqControl control(engine);
    control.SetMpqFileName(TextFromPath(archive));
    MpqFailure why = MpqFailure::None;
    const bool held = RunOp(control, heldCase.holder, &why);
    ASSERT_NE(intruder, -1) << "the hook never ran";
    int intruderResult = 0;
    if (heldCase.intruderWaits) {
        intruderResult = WaitFor(intruder);
    } else {
        int status = 0;
        // Reaped inside the hook; a second wait only confirms nothing is left.
        intruderResult = waitpid(intruder, &status, WNOHANG) == -1 ? 0 : -1;
    }
    EXPECT_TRUE(held) << MpqFailureText(why);
    EXPECT_EQ(intruderResult, 0) << "the intruder ran inside the held operation or failed after it";

    if (heldCase.holder == Op::SaveLarge) {
        EXPECT_TRUE(journalWhileHeld) << "the save was not held inside its journal";
        clsMpqControl reader;
        reader.SetMpqFileName(TextFromPath(archive));
        std::vector<std::uint8_t> read;
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

// The lock itself: a bounded wait, released by a dead holder and by its holder even while a forked
// child still shares the open file, and never inherited by programs the holder starts (the worker).
struct LockCase {
    const char* name;
    std::function<void(const fs::path& archive, const archive_io::FileIdentity& owner)> check;
};

void PrintTo(const LockCase& lockCase, std::ostream* out) {
    *out << lockCase.name;
}

class ArchiveLockTest : public ::testing::TestWithParam<LockCase> {};

TEST_P(ArchiveLockTest, Behaves) {
    testkit::TempDir dir;
    const fs::path archive = dir / "War3Patch.mpq";
    testkit::BuildArchive(archive, testkit::SampleArchiveFiles(), 1);
    const std::optional<archive_io::FileIdentity> owner = archive_io::IdentityOf(archive);
    ASSERT_TRUE(owner.has_value());
    GetParam().check(archive, *owner);
}

using archive_lock::ArchiveLock;
using archive_lock::LockStatus;
using std::chrono::milliseconds;

// A child that takes the lock, tells the parent through a pipe, and then sleeps until killed.
pid_t ChildHoldingTheLock(const fs::path& archive, const archive_io::FileIdentity& owner) {
    int ready[2];
    if (pipe(ready) != 0)
        return -1;
    const pid_t child = fork();
    if (child == 0) {
        LockStatus status = LockStatus::Failed;
        auto lock = ArchiveLock::Acquire(archive, owner, milliseconds(0), status);
        const char byte = status == LockStatus::Held ? 'y' : 'n';
        (void)!write(ready[1], &byte, 1);
        for (;;)
            pause();
    }
    close(ready[1]);
    char byte = 0;
    const bool held = read(ready[0], &byte, 1) == 1 && byte == 'y';
    close(ready[0]);
    if (!held) {
        kill(child, SIGKILL);
        waitpid(child, nullptr, 0);
        return -1;
    }
    return child;
}

void EndChild(pid_t child) {
    kill(child, SIGKILL);
    waitpid(child, nullptr, 0);
}

LockStatus TryLock(const fs::path& archive, const archive_io::FileIdentity& owner, milliseconds wait,
                   milliseconds* elapsed = nullptr) {
    LockStatus status = LockStatus::Failed;
    const auto start = std::chrono::steady_clock::now();
    auto lock = ArchiveLock::Acquire(archive, owner, wait, status);
    if (elapsed != nullptr)
        *elapsed = std::chrono::duration_cast<milliseconds>(std::chrono::steady_clock::now() - start);
    return status;
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ArchiveLockTest,
    ::testing::Values(LockCase{"WaitIsBounded",
                               [](const fs::path& archive, const archive_io::FileIdentity& owner) {
                                   const pid_t holder = ChildHoldingTheLock(archive, owner);
                                   ASSERT_GT(holder, 0);
                                   milliseconds elapsed{};
                                   EXPECT_EQ(TryLock(archive, owner, milliseconds(300), &elapsed), LockStatus::Busy);
                                   EXPECT_GE(elapsed.count(), 300);
                                   EXPECT_LT(elapsed.count(), 2000);
                                   EXPECT_EQ(TryLock(archive, owner, milliseconds(0), &elapsed), LockStatus::Busy);
                                   EXPECT_LT(elapsed.count(), 100) << "a zero wait tries once";
                                   // A window waiting here must still repaint.
                                   int calls = 0;
                                   LockStatus status = LockStatus::Failed;
                                   ArchiveLock::Acquire(archive, owner, milliseconds(300), status, [&] { ++calls; });
                                   EXPECT_EQ(status, LockStatus::Busy);
                                   EXPECT_GE(calls, 5) << "the wait did not call back every 50 ms";
                                   EndChild(holder);
                               }},
                      LockCase{"DeadHolderReleasesIt",
                               [](const fs::path& archive, const archive_io::FileIdentity& owner) {
                                   const pid_t holder = ChildHoldingTheLock(archive, owner);
                                   ASSERT_GT(holder, 0);
                                   EndChild(holder);
                                   EXPECT_EQ(TryLock(archive, owner, milliseconds(0)), LockStatus::Held);
                               }},
                      LockCase{"ReleasedWhileAForkedChildLives",
                               [](const fs::path& archive, const archive_io::FileIdentity& owner) {
                                   LockStatus status = LockStatus::Failed;
                                   auto lock = ArchiveLock::Acquire(archive, owner, milliseconds(0), status);
                                   ASSERT_EQ(status, LockStatus::Held);
                                   const pid_t child = fork();
                                   if (child == 0) {
                                       for (;;)
                                           pause();
                                   }
                                   lock.reset();
                                   EXPECT_EQ(TryLock(archive, owner, milliseconds(0)), LockStatus::Held);
                                   EndChild(child);
                               }},
                      LockCase{"NotInheritedByPrograms",
                               [](const fs::path& archive, const archive_io::FileIdentity& owner) {
                                   LockStatus status = LockStatus::Failed;
                                   auto lock = ArchiveLock::Acquire(archive, owner, milliseconds(0), status);
                                   ASSERT_EQ(status, LockStatus::Held);
                                   FILE* pipe = popen("ls -l /proc/self/fd/", "r");
                                   ASSERT_NE(pipe, nullptr);
                                   std::string listing;
                                   char chunk[512];
                                   while (std::fgets(chunk, sizeof chunk, pipe) != nullptr)
                                       listing += chunk;
                                   pclose(pipe);
                                   EXPECT_NE(listing.find("->"), std::string::npos) << "no descriptors listed";
                                   EXPECT_EQ(listing.find(archive_lock::LockPath(archive).string()), std::string::npos)
                                       << listing;
                               }}),
    [](const auto& info) { return std::string(info.param.name); });

} // namespace
