// The archive worker: the wire protocol refuses every malformed frame, and a worker that aborts,
// crashes, hangs or runs out of memory costs one failed call, never the program, the archive or a
// stray process.
#include "archive/mpq_control.h"
#include "archive/worker_mpq_engine.h"
#include "archive/worker_protocol.h"
#include "support/text_path.h"
#include "testkit/mpq_fixtures.h"
#include "testkit/temp_dir.h"

#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <fstream>
#include <set>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using testkit::Bytes;
using worker_protocol::Message;
using worker_protocol::MessageType;

namespace {

// ---- the wire protocol ----------------------------------------------------------------------

Message Request(MessageType type, std::uint32_t handle = 0) {
    Message message;
    message.type = type;
    message.handle = handle;
    return message;
}

std::vector<Message> OneOfEachKind() {
    Message open = Request(MessageType::OpenArchive);
    open.text = "/games/War3Patch.mpq";
    open.readOnly = true;
    open.headerAtStart = true;
    Message openFile = Request(MessageType::OpenFile, 7);
    openFile.text = "UI\\war3skins.txt";
    Message read = Request(MessageType::ReadFile, 9);
    read.size = worker_protocol::kMaxChunk;
    Message create = Request(MessageType::CreateFile, 7);
    create.text = std::string(worker_protocol::kMaxText, 'n');
    create.size = 0xFFFFFFFF;
    create.locale = 0x804;
    Message write = Request(MessageType::WriteFile, 9);
    write.data = testkit::PatternBytes(worker_protocol::kMaxChunk, 3, false);
    Message progress = Request(MessageType::Progress);
    progress.value = 1ull << 40;
    progress.total = (1ull << 40) + 5;
    Message reply = Request(MessageType::Reply);
    reply.ok = true;
    reply.value = 0x1234567890ull;
    reply.data = Bytes("bytes read");
    Message failed = Request(MessageType::Reply);
    failed.failure = MpqFailure::DiskFull;
    return {open,
            openFile,
            read,
            create,
            write,
            progress,
            reply,
            failed,
            Request(MessageType::CompactArchive, 3),
            Request(MessageType::CloseFile, 0xFFFFFFFF)};
}

TEST(WorkerProtocol, EveryKindOfMessageSurvivesTheTripInAnyPieces) {
    std::vector<std::uint8_t> stream;
    for (const Message& message : OneOfEachKind()) {
        const std::vector<std::uint8_t> frame = worker_protocol::EncodeMessage(message);
        ASSERT_FALSE(frame.empty());
        EXPECT_EQ(worker_protocol::DecodeMessage(frame), message) << static_cast<int>(message.type);
        stream.insert(stream.end(), frame.begin(), frame.end());
    }
    // The same stream arriving in uneven pieces gives the same messages in order.
    worker_protocol::FrameReader reader;
    std::vector<Message> decoded;
    for (std::size_t at = 0; at < stream.size();) {
        const std::size_t piece = std::min<std::size_t>(stream.size() - at, 1 + (at * 7919) % 100000);
        reader.Append(std::span<const std::uint8_t>(stream).subspan(at, piece));
        at += piece;
        Message message;
        while (reader.Next(message) == worker_protocol::FrameReader::Status::Ready)
            decoded.push_back(message);
    }
    EXPECT_EQ(decoded, OneOfEachKind());
}

struct BadFrame {
    const char* name;
    std::function<void(std::vector<std::uint8_t>&)> spoil; // applied to a valid OpenFile frame
};

void SetLength(std::vector<std::uint8_t>& frame, std::uint32_t length) {
    for (int i = 0; i < 4; ++i)
        frame[static_cast<std::size_t>(i)] = static_cast<std::uint8_t>(length >> (8 * i));
}

// Offsets in an OpenFile frame of the name "abc": header 4, type 1, handle 4, name length 4, name 3.
constexpr std::size_t kTypeAt = 4;
constexpr std::size_t kNameLengthAt = 9;

class WorkerProtocolRefuses : public testing::TestWithParam<BadFrame> {};

TEST_P(WorkerProtocolRefuses, AMalformedFrame) {
    Message message = Request(MessageType::OpenFile, 1);
    message.text = "abc";
    std::vector<std::uint8_t> frame = worker_protocol::EncodeMessage(message);
    ASSERT_TRUE(worker_protocol::DecodeMessage(frame).has_value());
    GetParam().spoil(frame);
    EXPECT_FALSE(worker_protocol::DecodeMessage(frame).has_value());
    // The stream reader gives up on it too, and for good.
    worker_protocol::FrameReader reader;
    reader.Append(frame);
    reader.Append(worker_protocol::EncodeMessage(Request(MessageType::CloseFile, 1)));
    Message out;
    const auto first = reader.Next(out);
    if (first == worker_protocol::FrameReader::Status::Ready)
        EXPECT_NE(out, message);
    else
        EXPECT_NE(reader.Next(out), worker_protocol::FrameReader::Status::Ready);
}

INSTANTIATE_TEST_SUITE_P(
    Frames, WorkerProtocolRefuses,
    testing::Values(BadFrame{"Empty", [](auto& f) { f.clear(); }}, BadFrame{"HeaderOnly", [](auto& f) { f.resize(4); }},
                    BadFrame{"ZeroLength", [](auto& f) { SetLength(f, 0); }},
                    BadFrame{"LengthOverTheLimit", [](auto& f) { SetLength(f, worker_protocol::kMaxBody + 1); }},
                    BadFrame{"LengthFourGigabytes", [](auto& f) { SetLength(f, 0xFFFFFFFF); }},
                    BadFrame{"TruncatedBody", [](auto& f) { f.pop_back(); }},
                    BadFrame{"TrailingByte",
                             [](auto& f) {
                                 f.push_back(0);
                                 SetLength(f, static_cast<std::uint32_t>(f.size() - 4));
                             }},
                    BadFrame{"UnknownType", [](auto& f) { f[kTypeAt] = 0x7F; }},
                    BadFrame{"NameLongerThanTheFrame", [](auto& f) { f[kNameLengthAt] = 4; }},
                    BadFrame{"NameOverTheLimit",
                             [](auto& f) {
                                 f.resize(kNameLengthAt + 4 + worker_protocol::kMaxText + 1, 'x');
                                 f[kNameLengthAt] = 0x01;
                                 f[kNameLengthAt + 1] = 0x10; // 4097
                                 SetLength(f, static_cast<std::uint32_t>(f.size() - 4));
                             }},
                    BadFrame{"ReadOverAChunk",
                             [](auto& f) {
                                 Message read = Request(MessageType::ReadFile, 1);
                                 read.size = worker_protocol::kMaxChunk;
                                 f = worker_protocol::EncodeMessage(read);
                                 f.back() = 0x01; // size + 16 MiB
                             }},
                    BadFrame{"ReplyWithUnknownFailure",
                             [](auto& f) {
                                 f = worker_protocol::EncodeMessage(Request(MessageType::Reply));
                                 f[kTypeAt + 2] = 0xEE;
                             }},
                    BadFrame{"OpenArchiveWithUnknownFlag",
                             [](auto& f) {
                                 f = worker_protocol::EncodeMessage(Request(MessageType::OpenArchive));
                                 f[kTypeAt + 1] = 4;
                             }}),
    [](const testing::TestParamInfo<BadFrame>& info) { return std::string(info.param.name); });

// ---- processes ------------------------------------------------------------------------------

// Our child processes, zombies included: a worker killed but not reaped still shows here.
std::set<pid_t> ChildrenOf(pid_t parent) {
    std::set<pid_t> children;
    for (const auto& entry : fs::directory_iterator("/proc")) {
        const std::string name = entry.path().filename();
        if (name.find_first_not_of("0123456789") != std::string::npos)
            continue;
        std::ifstream stat(entry.path() / "stat");
        std::string line;
        if (!std::getline(stat, line))
            continue;
        // pid (comm) state ppid ...; comm may hold spaces, so parse after the last ')'.
        const std::size_t close = line.rfind(')');
        if (close == std::string::npos)
            continue;
        char state = 0;
        int ppid = 0;
        if (std::sscanf(line.c_str() + close + 1, " %c %d", &state, &ppid) == 2 && ppid == parent)
            children.insert(static_cast<pid_t>(std::stoi(name)));
    }
    return children;
}

// True once the process is gone or a zombie nobody waits for (its parent died).
bool Gone(pid_t pid) {
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string line;
    if (!std::getline(stat, line))
        return true;
    const std::size_t close = line.rfind(')');
    return close != std::string::npos && line.size() > close + 2 && line[close + 2] == 'Z';
}

WorkerOptions FaultyWorker(std::vector<std::string> arguments, std::chrono::milliseconds silenceBound = 1000ms) {
    WorkerOptions options;
    options.extraArguments = std::move(arguments);
    options.silenceBound = silenceBound;
    options.memoryCap = std::uint64_t{512} << 20;
    return options;
}

class WorkerArchive {
public:
    WorkerArchive() {
        m_archive = m_dir / "War3Patch.mpq";
        testkit::BuildArchive(m_archive, testkit::SampleArchiveFiles(), 1);
        // Old data for compaction to drop.
        clsMpqControl control(MakeWorkerMpqEngine());
        control.SetMpqFileName(TextFromPath(m_archive));
        if (!control.SaveFileToMpq(u"Fonts\\dfst-m3u.ttf", Bytes("font")))
            throw std::runtime_error("setup");
        m_original = testkit::ReadBytes(m_archive);
    }

    // The files beside the archive but its lock file, which stays on purpose.
    std::vector<std::string> Entries() const {
        std::vector<std::string> names;
        for (const auto& entry : fs::directory_iterator(m_dir.path())) {
            if (entry.path().filename() != m_archive.filename().string() + "-lock")
                names.push_back(entry.path().filename());
        }
        std::sort(names.begin(), names.end());
        return names;
    }

    testkit::TempDir m_dir;
    fs::path m_archive;
    std::vector<std::uint8_t> m_original;
};

enum class Op { Read, Save, Delete, Compact };

struct OpInfo {
    const char* name;
    const char* step; // the engine step the operation does its work in
};

OpInfo InfoOf(Op op) {
    switch (op) {
    case Op::Read:
        return {"Read", "ReadFile"};
    case Op::Save:
        return {"Save", "WriteFile"};
    case Op::Delete:
        return {"Delete", "RemoveFile"};
    case Op::Compact:
        return {"Compact", "CompactArchive"};
    }
    return {"?", "?"};
}

bool RunOp(clsMpqControl& control, Op op) {
    std::vector<std::uint8_t> read;
    switch (op) {
    case Op::Read:
        return control.ReadFileFromMpq(u"Sound\\Music\\mp3Music\\Mainscreen.mp3", read) && read.size() == 70000;
    case Op::Save:
        return control.SaveFileToMpq(u"UI\\war3skins.txt", Bytes("[Orc]\r\n"));
    case Op::Delete:
        return control.DeleteFileFromMpq(u"Sound\\Music\\mp3Music\\Mainscreen.mp3");
    case Op::Compact:
        return control.CompressMpq();
    }
    return false;
}

struct WorkerFault {
    Op op;
    const char* fault; // crash, segv, hang, alloc or garbage
};

class WorkerFaultTest : public testing::TestWithParam<WorkerFault> {};

TEST_P(WorkerFaultTest, CostsOneFailedCallAndNothingElse) {
    const WorkerFault row = GetParam();
    WorkerArchive fixture;
    // Only a hang may be found by silence; every other fault must be seen at once, long before a
    // minute of silence.
    const auto silenceBound = std::string(row.fault) == "hang" ? 1s : 60s;
    std::shared_ptr<MpqEngine> engine = MakeWorkerMpqEngine(
        FaultyWorker({std::string("--") + row.fault + "-step=" + InfoOf(row.op).step}, silenceBound));
    clsMpqControl control(engine);
    control.SetMpqFileName(TextFromPath(fixture.m_archive));

    const auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(RunOp(control, row.op));
    EXPECT_LT(std::chrono::steady_clock::now() - start, 10s);
    EXPECT_EQ(engine->LastFailure(), MpqFailure::WorkerDied) << MpqFailureText(engine->LastFailure());
    EXPECT_EQ(ChildrenOf(::getpid()), std::set<pid_t>{}) << "the worker is still there or not reaped";
    EXPECT_EQ(testkit::ReadBytes(fixture.m_archive), fixture.m_original);
    EXPECT_EQ(fixture.Entries(), std::vector<std::string>{"War3Patch.mpq"});

    clsMpqControl healthy(MakeWorkerMpqEngine());
    healthy.SetMpqFileName(TextFromPath(fixture.m_archive));
    EXPECT_TRUE(RunOp(healthy, row.op));
}

std::vector<WorkerFault> AllFaults() {
    std::vector<WorkerFault> rows;
    for (Op op : {Op::Read, Op::Save, Op::Delete, Op::Compact}) {
        for (const char* fault : {"crash", "segv", "hang", "alloc", "garbage"})
            rows.push_back({op, fault});
    }
    return rows;
}

INSTANTIATE_TEST_SUITE_P(Operations, WorkerFaultTest, testing::ValuesIn(AllFaults()),
                         [](const testing::TestParamInfo<WorkerFault>& info) {
                             return std::string(InfoOf(info.param.op).name) + "_" + info.param.fault;
                         });

// ---- failure reasons ------------------------------------------------------------------------

struct ReasonCase {
    const char* name;
    std::function<std::vector<std::string>(const fs::path& archive)> workerArguments;
    MpqFailure expected;
};

class WorkerFailureReasonTest : public testing::TestWithParam<ReasonCase> {};

// The reason of the call that failed first survives the closing calls on the ended worker's handles.
TEST_P(WorkerFailureReasonTest, TheFirstFailureIsTheOneReported) {
    const ReasonCase& row = GetParam();
    WorkerArchive fixture;
    std::shared_ptr<MpqEngine> engine = MakeWorkerMpqEngine(FaultyWorker(row.workerArguments(fixture.m_archive), 60s));
    clsMpqControl control(engine);
    control.SetMpqFileName(TextFromPath(fixture.m_archive));

    // Over a file that exists: the test engine reports any failure of its own, a name not found
    // included, as EngineFailed, which would end the worker before the write.
    EXPECT_FALSE(
        control.SaveFileToMpq(u"Sound\\Music\\mp3Music\\Mainscreen.mp3", testkit::PatternBytes(3u << 20, 8, false)));
    EXPECT_EQ(engine->LastFailure(), row.expected) << MpqFailureText(engine->LastFailure());
    EXPECT_EQ(ChildrenOf(::getpid()), std::set<pid_t>{});
    EXPECT_EQ(testkit::ReadBytes(fixture.m_archive), fixture.m_original);
}

INSTANTIATE_TEST_SUITE_P(
    Writes, WorkerFailureReasonTest,
    testing::Values(ReasonCase{"FileSizeLimit",
                               [](const fs::path& archive) {
                                   return std::vector<std::string>{"--file-size-limit=" +
                                                                   std::to_string(fs::file_size(archive) + 65536)};
                               },
                               MpqFailure::DiskFull},
                    ReasonCase{"EngineFailure",
                               [](const fs::path&) { return std::vector<std::string>{"--fail-step=WriteFile"}; },
                               MpqFailure::EngineFailed},
                    ReasonCase{"CrashInTheSecondChunk",
                               [](const fs::path&) { return std::vector<std::string>{"--crash-step=WriteFile:2"}; },
                               MpqFailure::WorkerDied}),
    [](const testing::TestParamInfo<ReasonCase>& info) { return std::string(info.param.name); });

// ---- reuse ----------------------------------------------------------------------------------

struct ReuseCase {
    const char* name;
    std::vector<std::string> workerArguments;
    const char* fileName; // opened in the archive
    bool failsAtFileSize; // otherwise the open itself fails
    MpqFailure expectedFailure;
    bool workerKept;
};

class WorkerReuseTest : public testing::TestWithParam<ReuseCase> {};

TEST_P(WorkerReuseTest, AWorkerWhoseCallFailedIsNotAskedAgain) {
    const ReuseCase& row = GetParam();
    WorkerArchive fixture;
    std::shared_ptr<MpqEngine> engine = MakeWorkerMpqEngine(FaultyWorker(row.workerArguments));
    MpqHandle archive = engine->OpenArchive(fixture.m_archive, true, true);
    ASSERT_NE(archive, nullptr);
    const std::set<pid_t> before = ChildrenOf(::getpid());
    ASSERT_EQ(before.size(), 1u);

    MpqHandle file = engine->OpenFile(archive, row.fileName);
    if (row.failsAtFileSize) {
        ASSERT_NE(file, nullptr);
        EXPECT_FALSE(engine->FileSize(file).has_value());
    } else {
        EXPECT_EQ(file, nullptr);
    }
    EXPECT_EQ(engine->LastFailure(), row.expectedFailure) << MpqFailureText(engine->LastFailure());

    if (row.workerKept) {
        EXPECT_EQ(ChildrenOf(::getpid()), before);
        EXPECT_TRUE(engine->CloseArchive(archive));
    } else {
        EXPECT_EQ(ChildrenOf(::getpid()), std::set<pid_t>{}) << "the failed worker is still there";
        // Its handles: a file and a read-only archive close; anything else fails, for the reason
        // the worker was ended.
        if (file != nullptr) {
            EXPECT_FALSE(engine->FileLocale(file).has_value());
            EXPECT_EQ(engine->LastFailure(), row.expectedFailure);
            EXPECT_TRUE(engine->CloseFile(file));
        }
        EXPECT_TRUE(engine->IsReadOnly(archive));
        EXPECT_TRUE(engine->CloseArchive(archive));
        file = nullptr;
    }
    // The next call is served, by a new worker when the old one failed.
    MpqHandle again = engine->OpenArchive(fixture.m_archive, false, true);
    ASSERT_NE(again, nullptr);
    const std::set<pid_t> after = ChildrenOf(::getpid());
    EXPECT_EQ(after == before, row.workerKept);
    MpqHandle written = engine->OpenFile(again, "UI\\war3skins.txt");
    ASSERT_NE(written, nullptr);
    EXPECT_TRUE(engine->CloseFile(written));
    EXPECT_TRUE(engine->CloseArchive(again));
}

INSTANTIATE_TEST_SUITE_P(
    Failures, WorkerReuseTest,
    testing::Values(
        ReuseCase{
            "EngineFailure", {"--fail-step=FileSize"}, "UI\\war3skins.txt", true, MpqFailure::EngineFailed, false},
        ReuseCase{"WorkerCrash", {"--crash-step=FileSize"}, "UI\\war3skins.txt", true, MpqFailure::WorkerDied, false},
        ReuseCase{"NameNotThere", {}, "no\\such.file", false, MpqFailure::NotFound, true}),
    [](const testing::TestParamInfo<ReuseCase>& info) { return std::string(info.param.name); });

TEST(WorkerLifetime, TheWorkerDiesWithItsParent) {
    WorkerArchive fixture;
    int ready[2];
    ASSERT_EQ(::pipe(ready), 0);
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        ::close(ready[0]);
        std::shared_ptr<MpqEngine> engine = MakeWorkerMpqEngine();
        const char started = engine->OpenArchive(fixture.m_archive, true, true) != nullptr ? '1' : '0';
        (void)::write(ready[1], &started, 1);
        for (;;)
            ::pause();
    }
    ::close(ready[1]);
    char started = 0;
    ASSERT_EQ(::read(ready[0], &started, 1), 1);
    ::close(ready[0]);
    EXPECT_EQ(started, '1');
    const std::set<pid_t> workers = ChildrenOf(child);
    ASSERT_EQ(workers.size(), 1u);

    ::kill(child, SIGKILL);
    ASSERT_EQ(::waitpid(child, nullptr, 0), child);
    const pid_t worker = *workers.begin();
    const auto deadline = std::chrono::steady_clock::now() + 5s;
    while (!Gone(worker) && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(10ms);
    EXPECT_TRUE(Gone(worker)) << "worker " << worker << " outlived its parent";
}

// ---- progress -------------------------------------------------------------------------------

struct ProgressCase {
    const char* name;
    std::vector<std::string> workerArguments;
    std::function<bool(clsMpqControl&)> prepare; // runs before progress is watched
    std::function<bool(clsMpqControl&)> run;
    bool succeeds;
    int minimumCalls;
    bool endsComplete; // the last report has done == total > 0
};

class WorkerProgressTest : public testing::TestWithParam<ProgressCase> {};

TEST_P(WorkerProgressTest, ReportsWhileItWaits) {
    const ProgressCase& row = GetParam();
    WorkerArchive fixture;
    std::shared_ptr<MpqEngine> engine = MakeWorkerMpqEngine(FaultyWorker(row.workerArguments));
    std::vector<std::pair<std::uint64_t, std::uint64_t>> reports;
    engine->SetProgress([&](std::uint64_t done, std::uint64_t total) { reports.emplace_back(done, total); });
    clsMpqControl control(engine);
    control.SetMpqFileName(TextFromPath(fixture.m_archive));
    if (row.prepare) {
        clsMpqControl preparing(MakeWorkerMpqEngine());
        preparing.SetMpqFileName(TextFromPath(fixture.m_archive));
        ASSERT_TRUE(row.prepare(preparing));
    }

    EXPECT_EQ(row.run(control), row.succeeds);
    EXPECT_GE(static_cast<int>(reports.size()), row.minimumCalls);
    for (std::size_t i = 1; i < reports.size(); ++i) {
        if (reports[i].second == reports[i - 1].second) {
            EXPECT_GE(reports[i].first, reports[i - 1].first) << "progress went back at report " << i;
        }
    }
    if (row.endsComplete) {
        ASSERT_FALSE(reports.empty());
        EXPECT_GT(reports.back().second, 0u);
        EXPECT_EQ(reports.back().first, reports.back().second);
    }
}

const std::vector<std::uint8_t>& LargeContent() {
    static const std::vector<std::uint8_t> content = testkit::PatternBytes((3u << 20) + 12345, 5, false);
    return content;
}

bool Compact(clsMpqControl& control) {
    return control.CompressMpq();
}

bool SaveLarge(clsMpqControl& control) {
    return control.SaveFileToMpq(u"Fonts\\large.ttf", LargeContent());
}

bool ReadLarge(clsMpqControl& control) {
    std::vector<std::uint8_t> back;
    return control.ReadFileFromMpq(u"Fonts\\large.ttf", back) && back == LargeContent();
}

INSTANTIATE_TEST_SUITE_P(
    Operations, WorkerProgressTest,
    testing::Values(ProgressCase{"Compaction", {}, {}, Compact, true, 1, true},
                    ProgressCase{"WriteOfThreeMegabytes", {}, {}, SaveLarge, true, 4, true},
                    ProgressCase{"ReadOfThreeMegabytes", {}, SaveLarge, ReadLarge, true, 4, true},
                    // A silent worker still gives a report every 100 ms until it is given up.
                    ProgressCase{"SilentCompaction", {"--hang-step=CompactArchive"}, {}, Compact, false, 7, false}),
    [](const testing::TestParamInfo<ProgressCase>& info) { return std::string(info.param.name); });

} // namespace
