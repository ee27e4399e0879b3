// The archive worker: the wire protocol refuses every malformed frame, and a worker that aborts,
// crashes, hangs, runs out of memory or talks garbage costs one failed call, never the program,
// the archive or a stray process.
#include "archive/door/mpq_control.h"
#include "archive/worker/worker_mpq_engine.h"
#include "archive/worker/worker_protocol.h"
#include "support/text_path.h"
#include "testkit/child_process.h"
#include "testkit/mpq_fixtures.h"
#include "testkit/temp_dir.h"
#include "testkit/worker_faults.h"

#include <gtest/gtest.h>

#include <chrono>
#include <fstream>
#include <functional>
#include <thread>

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using namespace worker_protocol;

namespace {

// Every length is checked before anything is allocated: a header announcing too much is refused
// as soon as it arrives, and any spoilt frame is refused whole and by the stream reader for good.
TEST(WorkerProtocol, RefusesMalformedFrames) {
    for (const std::uint32_t length : {kMaxBody + 1, 0xFFFFFFFFu}) {
        FrameReader reader;
        reader.Append(std::vector<std::uint8_t>{std::uint8_t(length), std::uint8_t(length >> 8),
                                                std::uint8_t(length >> 16), std::uint8_t(length >> 24)});
        Message out;
        EXPECT_EQ(reader.Next(out), FrameReader::Status::Malformed) << length;
    }
    const auto fitLength = [](std::vector<std::uint8_t>& f) {
        for (std::size_t i = 0; i < 4; ++i)
            f[i] = static_cast<std::uint8_t>((f.size() - 4) >> (8 * i));
    };
    const auto message = [](MessageType type, std::uint32_t size = 0, std::string text = "") {
        Message m;
        m.type = type, m.handle = 1, m.size = size, m.text = std::move(text);
        return m;
    };
    const Message open = message(MessageType::OpenFile, 0, "abc");
    const std::vector<std::uint8_t> openFrame = EncodeMessage(open);
    ASSERT_EQ(DecodeMessage(openFrame), open);
    // Offsets in the OpenFile frame: length 4, type 1, handle 4, name length 4, name 3.
    const std::vector<std::pair<const char*, std::function<void(std::vector<std::uint8_t>&)>>> spoils = {
        {"Empty", [](auto& f) { f.clear(); }},
        {"HeaderOnly", [](auto& f) { f.resize(4); }},
        {"ZeroLength", [](auto& f) { f[0] = 0; }},
        {"TruncatedBody", [](auto& f) { f.pop_back(); }},
        {"TrailingByte", [&](auto& f) { f.push_back(0), fitLength(f); }},
        {"UnknownType", [](auto& f) { f[4] = 0x7F; }},
        {"NameLongerThanTheFrame", [](auto& f) { f[9] = 4; }},
        {"NameOverTheLimit",
         [&](auto& f) { f.resize(9 + 4 + kMaxText + 1, 'x'), f[9] = 1, f[10] = 0x10, fitLength(f); }},
        {"ReadOverAChunk",
         [&](auto& f) { f = EncodeMessage(message(MessageType::ReadFile, kMaxChunk)), f.back() = 1; }},
        {"ReplyWithUnknownFailure", [](auto& f) { f = EncodeMessage(Message{}), f[6] = 0xEE; }},
        {"OpenArchiveWithUnknownFlag",
         [&](auto& f) { f = EncodeMessage(message(MessageType::OpenArchive)), f[5] = 4; }},
    };
    for (const auto& [name, spoil] : spoils) {
        SCOPED_TRACE(name);
        std::vector<std::uint8_t> frame = openFrame;
        spoil(frame);
        EXPECT_FALSE(DecodeMessage(frame).has_value());
        FrameReader reader;
        reader.Append(frame);
        reader.Append(EncodeMessage(message(MessageType::CloseFile)));
        Message out;
        if (reader.Next(out) == FrameReader::Status::Ready) {
            EXPECT_NE(out, open);
        } else {
            EXPECT_NE(reader.Next(out), FrameReader::Status::Ready);
        }
    }
}

using Run = std::function<bool(clsMpqControl&)>;

struct WorkerFault {
    std::string name;
    Run run;
    std::string argument; // makes the worker misbehave (worker_main.cpp)
    MpqFailure expected;
};

class WorkerFaultTest : public testing::TestWithParam<WorkerFault> {};

TEST_P(WorkerFaultTest, CostsOneFailedCallWithItsReasonAndNothingElse) {
    const WorkerFault& row = GetParam();
    // Only a real Windows enforces a job object's memory cap; under Wine the worker would take the
    // machine's memory.
    if (row.argument.starts_with("--alloc") && testkit::worker_faults::RunningUnderWine())
        GTEST_SKIP() << "Wine does not enforce the job object's memory limit";
    testkit::TempDir dir;
    const fs::path archive = dir / "War3Patch.mpq";
    testkit::BuildArchive(archive, testkit::SampleArchiveFiles(), 1);
    {
        clsMpqControl setup;
        setup.SetMpqFileName(TextFromPath(archive));
        ASSERT_TRUE(setup.SaveFileToMpq(u"Fonts\\dfst-m3u.ttf", testkit::Bytes("old data for compaction to drop")));
    }
    const std::vector<std::uint8_t> original = testkit::ReadBytes(archive);
    // Only a hang may be found by silence; every other fault must be seen at once.
    const bool hang = row.argument.starts_with("--hang");
    const std::string limit = std::to_string(original.size() + 65536); // for the file-size row
    WorkerOptions options;
    options.extraArguments = {row.argument + (row.argument.ends_with('=') ? limit : "")};
    options.silenceBound = hang ? 1s : 60s;
    options.memoryCap = std::uint64_t{512} << 20;
    std::shared_ptr<MpqEngine> engine = MakeWorkerMpqEngine(options);
    int reports = 0;
    engine->SetProgress([&](std::uint64_t, std::uint64_t) { ++reports; });
    clsMpqControl control(engine);
    control.SetMpqFileName(TextFromPath(archive));

    const auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(row.run(control));
    EXPECT_LT(std::chrono::steady_clock::now() - start, 10s);
    EXPECT_EQ(engine->LastFailure(), row.expected) << MpqFailureText(engine->LastFailure());
    // No child of ours is left, not even a zombie: a worker killed but not reaped would show here.
    // Windows (Wine) may list an ended process for a moment after it was waited for; a worker left
    // running, or on POSIX a zombie, is still there after two seconds.
    const auto childless = [] {
        return testkit::worker_faults::ChildProcessIds(testkit::worker_faults::OwnProcessId()).empty();
    };
    for (const auto deadline = std::chrono::steady_clock::now() + 2s;
         !childless() && std::chrono::steady_clock::now() < deadline;)
        std::this_thread::sleep_for(20ms);
    EXPECT_TRUE(childless()) << "the worker is there or not reaped";
    EXPECT_EQ(testkit::ReadBytes(archive), original);
    EXPECT_EQ(std::distance(fs::directory_iterator(dir.path()), {}), 2) << "more than the archive and its lock file";
    // A silent worker still gives a report every 100 ms, so a window can repaint until it is given up.
    EXPECT_GE(reports, hang ? 7 : 0);

    // The next call is served by a new worker, and the operation works with a healthy one.
    EXPECT_TRUE(control.FileExistsInMpq(u"UI\\war3skins.txt"));
    clsMpqControl healthy;
    healthy.SetMpqFileName(TextFromPath(archive));
    EXPECT_TRUE(row.run(healthy));
}

std::vector<WorkerFault> AllFaults() {
    const Run save = [](clsMpqControl& c) { // three chunks over the wire
        return c.SaveFileToMpq(u"UI\\war3skins.txt", testkit::PatternBytes(3u << 20, 8, false));
    };
    // clang-format off
    const std::tuple<std::string, const char*, Run> ops[] = {
        {"Read", "ReadFile", [](clsMpqControl& c) { std::vector<std::uint8_t> read; return c.ReadFileFromMpq(u"Sound\\Music\\mp3Music\\Mainscreen.mp3", read) && read.size() == 70000; }},
        {"Save", "WriteFile", save},
        {"Delete", "RemoveFile", [](clsMpqControl& c) { return c.DeleteFileFromMpq(u"Sound\\Music\\mp3Music\\Mainscreen.mp3"); }},
        {"Compact", "CompactArchive", [](clsMpqControl& c) { return c.CompressMpq(); }}};
    // clang-format on
    std::vector<WorkerFault> rows;
    for (const auto& [name, step, run] : ops) {
        for (const std::string fault : {"crash", "segv", "hang", "alloc", "garbage"})
            rows.push_back({name + "_" + fault, run, "--" + fault + "-step=" + step, MpqFailure::WorkerDied});
    }
    // The reason of the call that failed first survives the closing calls on the ended worker.
    rows.push_back({"CrashInTheSecondChunk", save, "--crash-step=WriteFile:2", MpqFailure::WorkerDied});
    rows.push_back({"EngineFailure", save, "--fail-step=WriteFile", MpqFailure::EngineFailed});
    rows.push_back({"FileSizeLimit", save, "--file-size-limit=", MpqFailure::DiskFull});
    return rows;
}

INSTANTIATE_TEST_SUITE_P(Operations, WorkerFaultTest, testing::ValuesIn(AllFaults()),
                         [](const auto& info) { return info.param.name; });

// Opens the archive through a worker, tells its worker's process id in a file, then waits to be killed.
TESTKIT_CHILD_ROLE(HoldAWorker) {
    std::shared_ptr<MpqEngine> engine = MakeWorkerMpqEngine();
    if (engine->OpenArchive(testkit::child::ArgumentPath(args.at(0)), true, true) == nullptr)
        return 2;
    const std::vector<long> workers = testkit::worker_faults::ChildProcessIds(testkit::worker_faults::OwnProcessId());
    if (workers.size() != 1)
        return 3;
    testkit::WriteFile(testkit::child::ArgumentPath(args.at(1)), std::to_string(workers[0]));
    for (;;)
        std::this_thread::sleep_for(1h);
}

TEST(WorkerLifetime, TheWorkerDiesWithItsParent) {
    testkit::TempDir dir;
    testkit::BuildArchive(dir / "War3Patch.mpq", testkit::SampleArchiveFiles(), 1);
    const fs::path told = dir / "worker.pid";
    auto parent = testkit::child::Process::Start(
        "HoldAWorker", {testkit::child::PathArgument(dir / "War3Patch.mpq"), testkit::child::PathArgument(told)});
    ASSERT_NE(parent, nullptr);
    for (const auto deadline = std::chrono::steady_clock::now() + 60s;
         !fs::exists(told) && std::chrono::steady_clock::now() < deadline;)
        std::this_thread::sleep_for(10ms);
    std::this_thread::sleep_for(50ms); // the few digits are written by then
    long worker = 0;
    std::ifstream(told) >> worker;
    parent->Kill();
    const testkit::child::Outcome outcome = parent->Wait(10s);
    ASSERT_GT(worker, 0) << "the child did not start its worker (exit " << outcome.code << ")";
    ASSERT_TRUE(outcome.killed);
    for (const auto deadline = std::chrono::steady_clock::now() + 5s;
         !testkit::worker_faults::ProcessGone(worker) && std::chrono::steady_clock::now() < deadline;)
        std::this_thread::sleep_for(10ms);
    EXPECT_TRUE(testkit::worker_faults::ProcessGone(worker)) << "worker " << worker << " outlived its parent";
}

} // namespace
