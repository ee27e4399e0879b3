// Several processes on one archive: operations take turns under the archive's lock, so none sees
// another's half-made files, recovery never mistakes a live operation's journal or compaction for
// a crashed one, and every successful write stays.
#include "archive/door/archive_guard.h"
#include "archive/door/archive_lock.h"
#include "archive/door/mpq_control.h"
#include "support/text_path.h"
#include "testkit/child_process.h"
#include "testkit/faulty_mpq_engine.h"
#include "testkit/mpq_fixtures.h"
#include "testkit/temp_dir.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <map>
#include <optional>
#include <thread>

namespace fs = std::filesystem;
using std::chrono::milliseconds;
using testkit::Bytes;
using testkit::MpqStep;

namespace {

// A child's exit code; -1 when it was killed or did not end in time.
int WaitFor(testkit::child::Process& child) {
    const testkit::child::Outcome outcome = child.Wait(std::chrono::seconds(120));
    return outcome.exited ? outcome.code : -1;
}

using Files = std::map<std::string, std::optional<std::string>>; // nullopt: deleted

// One process's share of the hammering: forty steps over its own three files and the shared one, with
// compactions between; returns how many failed or read other than this process's own last write
// (nobody else writes its files). Without a control it only works out each file's last write.
int Hammer(clsMpqControl* control, int process, Files& last) {
    int failures = 0;
    for (int step = 0; step < 40; ++step) {
        const int kind = (step + process) % 6;
        const std::string name =
            kind == 1 ? "shared.txt" : "p" + std::to_string(process) + "\\f" + std::to_string(step % 3) + ".txt";
        const std::string content = "process " + std::to_string(process) + " step " + std::to_string(step);
        const std::u16string address(name.begin(), name.end());
        const std::optional<std::string> known = last.count(name) != 0 ? last[name] : std::nullopt;
        std::vector<std::uint8_t> read;
        MpqFailure why = MpqFailure::None;
        if (kind == 0 || kind == 1 || kind == 3) {
            failures += control != nullptr && !control->SaveFileToMpq(address, Bytes(content)) ? 1 : 0;
            last[name] = content;
        } else if (kind == 4 && known) {
            failures += control != nullptr && !control->DeleteFileFromMpq(address) ? 1 : 0;
            last[name] = std::nullopt;
        } else if (kind == 2 && control != nullptr) {
            const bool found = control->ReadFileFromMpq(address, read, &why);
            failures += (found ? known && read == Bytes(*known) : !known && why == MpqFailure::NotFound) ? 0 : 1;
        } else if (kind == 5 && control != nullptr) {
            failures += control->CompressMpq() ? 0 : 1;
        }
    }
    return failures;
}

TESTKIT_CHILD_ROLE(HammerArchive) {
    clsMpqControl control;
    control.SetMpqFileName(TextFromPath(testkit::child::ArgumentPath(args.at(0))));
    control.SetLockWait(std::chrono::seconds(30));
    Files last;
    return std::min(Hammer(&control, std::stoi(args.at(1)), last), 100);
}

TEST(TwoProcesses, EditsReadsAndCompactionsTakeTurnsAndEverySuccessfulWriteStays) {
    if (!testkit::HaveSmpq())
        GTEST_SKIP() << "smpq not installed";
    testkit::TempDir dir;
    const fs::path archive = dir / "War3Patch.mpq";
    testkit::BuildArchive(archive, testkit::SampleArchiveFiles(), 1);
    std::vector<std::unique_ptr<testkit::child::Process>> children;
    for (int process = 0; process < 2; ++process) {
        children.push_back(testkit::child::Process::Start(
            "HammerArchive", {testkit::child::PathArgument(archive), std::to_string(process)}));
        ASSERT_NE(children.back(), nullptr);
    }
    for (const auto& child : children)
        ASSERT_EQ(WaitFor(*child), 0) << "operations failed or read wrong bytes in process " << child->Id();

    // Every step succeeded, so the archive holds each file's last write.
    Files last[2];
    for (int process = 0; process < 2; ++process)
        Hammer(nullptr, process, last[process]);
    ASSERT_TRUE(testkit::SmpqList(archive).has_value()) << "smpq cannot read the archive";
    for (const Files& files : last) {
        for (const auto& [name, content] : files) {
            if (name != "shared.txt") {
                EXPECT_EQ(testkit::SmpqExtract(archive, name), content ? std::optional(Bytes(*content)) : std::nullopt)
                    << name;
            }
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

// One operation is held in the middle (inside the engine, its journal or compaction files on
// disk); a second process, forked there, runs another operation meanwhile. With a long lock wait it
// must run after the first (which also shows the lock is released while that fork still shares its
// open file); with a short one it fails as Locked after that wait (a zero one tries once), calling
// back every 50 ms so that a waiting window repaints. Nothing of the first is taken for a crash's.
enum class Op { SaveLarge, Compact, Read };

const std::vector<std::uint8_t>& LargeContent() {
    static const std::vector<std::uint8_t> bytes = testkit::PatternBytes(2 << 20, 17, false);
    return bytes;
}

bool RunOp(clsMpqControl& control, const fs::path& archive, Op op, milliseconds lockWait, MpqFailure* why) {
    control.SetMpqFileName(TextFromPath(archive));
    control.SetLockWait(lockWait);
    std::vector<std::uint8_t> read;
    switch (op) {
    case Op::SaveLarge:
        return control.SaveFileToMpq(u"Fonts\\big.ttf", LargeContent(), why);
    case Op::Compact:
        return control.CompressMpq(why);
    case Op::Read:
        return control.ReadFileFromMpq(u"UI\\war3skins.txt", read, why);
    }
    return false;
}

// The second process: 0 when a waiting intruder succeeded, or a short one failed as Locked after
// its wait, having called back about every 50 ms; 10 + the reason when a waiting one failed.
TESTKIT_CHILD_ROLE(IntrudeOnHeldOperation) {
    const fs::path archive = testkit::child::ArgumentPath(args.at(0));
    const auto op = static_cast<Op>(std::stoi(args.at(1)));
    const milliseconds wait(std::stoi(args.at(2)));
    clsMpqControl control;
    int calls = 0;
    control.SetProgress([&](std::uint64_t, std::uint64_t) { ++calls; });
    MpqFailure why = MpqFailure::None;
    const auto start = std::chrono::steady_clock::now();
    const bool done = RunOp(control, archive, op, wait, &why);
    const auto elapsed = std::chrono::steady_clock::now() - start;
    if (wait >= milliseconds(30000))
        return done ? 0 : 10 + static_cast<int>(why);
    return !done && why == MpqFailure::Locked && elapsed >= wait &&
                   elapsed < wait + milliseconds(wait.count() == 0 ? 100 : 1700) && calls >= wait.count() / 60
               ? 0
               : 1;
}

struct HeldCase {
    const char* name;
    Op holder;
    MpqStep holdAt;
    Op intruder;
    int intruderWaitMs; // 30000: it must run after the holder and succeed
};

class HeldOperation : public ::testing::TestWithParam<HeldCase> {};

TEST_P(HeldOperation, AnotherProcessWaitsOrFailsLockedAndUndoesNothing) {
    const HeldCase& heldCase = GetParam();
    const bool waits = heldCase.intruderWaitMs >= 30000;
    testkit::TempDir dir;
    const fs::path archive = dir / "War3Patch.mpq";
    testkit::BuildArchive(archive, testkit::SampleArchiveFiles(), 1);
    {
        // Old data for compaction to drop: the music, stored before the font, replaced by less.
        clsMpqControl control;
        control.SetMpqFileName(TextFromPath(archive));
        ASSERT_TRUE(control.SaveFileToMpq(u"Fonts\\dfst-m3u.ttf", Bytes("short")));
        ASSERT_TRUE(control.SaveFileToMpq(u"Sound\\Music\\mp3Music\\Mainscreen.mp3", Bytes("short music")));
    }
    const std::uintmax_t sizeBefore = fs::file_size(archive);

    std::unique_ptr<testkit::child::Process> intruder;
    int intruderResult = -1;
    bool journalWhileHeld = false;
    auto engine = std::make_shared<testkit::FaultyMpqEngine>();
    engine->SetHook([&](MpqStep step, int occurrence) {
        if (step != heldCase.holdAt || occurrence != 1 || intruder)
            return;
        journalWhileHeld = fs::exists(archive_guard::JournalPath(archive));
        intruder = testkit::child::Process::Start("IntrudeOnHeldOperation",
                                                  {testkit::child::PathArgument(archive),
                                                   std::to_string(static_cast<int>(heldCase.intruder)),
                                                   std::to_string(heldCase.intruderWaitMs)});
        if (!intruder)
            return;
        // Long enough for a waiting intruder to be waiting for the lock when the holder goes on.
        if (waits)
            std::this_thread::sleep_for(milliseconds(400));
        else
            intruderResult = WaitFor(*intruder);
    });
    clsMpqControl holder(engine);
    MpqFailure why = MpqFailure::None;
    EXPECT_TRUE(RunOp(holder, archive, heldCase.holder, milliseconds(10000), &why)) << MpqFailureText(why);
    ASSERT_TRUE(intruder) << "the hook never ran or the intruder did not start";
    if (waits)
        intruderResult = WaitFor(*intruder);
    EXPECT_EQ(intruderResult, 0) << "the intruder ran inside the held operation, failed after it, or waited wrong";

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
    ::testing::Values(
        HeldCase{"ReadDuringSaveFailsLocked", Op::SaveLarge, MpqStep::FlushArchive, Op::Read, 300},
        HeldCase{"ReadDuringSaveWaits", Op::SaveLarge, MpqStep::FlushArchive, Op::Read, 30000},
        HeldCase{"CompactionDuringSaveFailsLockedAtOnce", Op::SaveLarge, MpqStep::WriteFile, Op::Compact, 0},
        HeldCase{"CompactionDuringSaveWaits", Op::SaveLarge, MpqStep::WriteFile, Op::Compact, 30000},
        HeldCase{"ReadDuringCompactionFailsLocked", Op::Compact, MpqStep::CloseArchive, Op::Read, 300},
        HeldCase{"ReadDuringCompactionWaits", Op::Compact, MpqStep::CloseArchive, Op::Read, 30000},
        HeldCase{"SaveDuringCompactionWaits", Op::Compact, MpqStep::CompactArchive, Op::SaveLarge, 30000}),
    [](const auto& info) { return std::string(info.param.name); });

} // namespace
