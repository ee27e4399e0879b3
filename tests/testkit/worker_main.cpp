// main() of the GoogleTest programs: each is also the archive worker its clsMpqControl starts.
// Test-only worker arguments make the worker misbehave at the N-th call (default 1) of one engine
// step: --fail-step=WriteFile:2 (the call reports failure; the real call still runs),
// --crash-step=OpenArchive (abort), --segv-step, --hang-step (sleeps forever), --alloc-step
// (allocates until the memory cap stops it), --garbage-step (announces a 4 GiB message, then
// sleeps); and --file-size-limit=N, as a full disk: no file may grow past N bytes.
#include "archive/worker/mpq_worker.h"
#include "testkit/child_process.h"
#include "testkit/faulty_mpq_engine.h"
#include "testkit/worker_faults.h"

#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <list>
#include <string>
#include <thread>
#include <vector>

namespace {

[[noreturn]] void Misbehave(const std::string& how, const std::string& channel) {
    if (how == "segv")
        std::raise(SIGSEGV);
    if (how == "crash" || how == "segv")
        std::abort();
    // Touched, so that the memory is really used; ends with bad_alloc at the cap.
    for (std::list<std::vector<char>> hoard; how == "alloc";)
        hoard.emplace_back(std::size_t{16} << 20, 'x');
    const std::uint8_t header[4] = {0xFF, 0xFF, 0xFF, 0xFF};
    if (how == "garbage")
        testkit::worker_faults::WriteToChannel(channel, header);
    for (;;)
        std::this_thread::sleep_for(std::chrono::hours(1));
}

std::shared_ptr<MpqEngine> TestWorkerEngine(int argc, char** argv) {
    auto engine = std::make_shared<testkit::FaultyMpqEngine>();
    bool faulty = false;
    for (int i = 5; i < argc; ++i) {
        char how[16] = {};
        char name[32] = {};
        int occurrence = 1;
        unsigned long long limit = 0;
        if (std::sscanf(argv[i], "--file-size-limit=%llu", &limit) == 1)
            testkit::worker_faults::LimitFileSize(limit);
        if (std::sscanf(argv[i], "--%15[a-z]-step=%31[A-Za-z]:%d", how, name, &occurrence) < 2 ||
            std::string(" fail crash segv hang alloc garbage ").find(" " + std::string(how) + " ") == std::string::npos)
            continue;
        for (int s = 0; s <= static_cast<int>(testkit::MpqStep::CompactArchive); ++s) {
            const auto step = static_cast<testkit::MpqStep>(s);
            if (std::string(name) != testkit::StepName(step))
                continue;
            faulty = true;
            if (std::string(how) == "fail")
                engine->FailAt(step, occurrence);
            else
                engine->SetHook(
                    [=, how = std::string(how), channel = std::string(argv[2])](testkit::MpqStep called, int nth) {
                        if (called == step && nth == occurrence)
                            Misbehave(how, channel);
                    });
        }
    }
    return faulty ? std::shared_ptr<MpqEngine>(engine) : MakeOwnMpqEngine();
}

} // namespace

int main(int argc, char** argv) {
    if (const std::optional<int> code = testkit::child::RunRoleIfAsked(argc, argv))
        return *code;
    if (IsMpqWorkerInvocation(argc, argv)) {
        // A full disk set by the process that started this worker (POSIX children inherit it anyway).
        if (const char* limit = std::getenv(testkit::worker_faults::kFileSizeLimitVariable); limit != nullptr)
            testkit::worker_faults::LimitFileSize(std::strtoull(limit, nullptr, 10));
        return RunMpqWorker(argc, argv, TestWorkerEngine(argc, argv));
    }
    testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
