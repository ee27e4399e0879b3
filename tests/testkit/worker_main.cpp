// main() of the GoogleTest programs: each is also the archive worker its clsMpqControl starts.
// Test-only worker arguments make the worker misbehave at the N-th call (default 1) of one engine
// step: --fail-step=WriteFile:2 (the call reports failure; the real call still runs),
// --crash-step=OpenArchive (abort), --segv-step, --hang-step (sleeps forever), --alloc-step
// (allocates until the memory cap stops it), --garbage-step (announces a 4 GiB message, then
// sleeps); and --file-size-limit=N, as a full disk: no file may grow past N bytes.
#include "archive/mpq_worker.h"
#include "testkit/faulty_mpq_engine.h"

#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <cstdlib>
#include <list>
#include <string>
#include <sys/resource.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

[[noreturn]] void Misbehave(const std::string& how, int channel) {
    if (how == "segv")
        std::raise(SIGSEGV);
    if (how == "crash" || how == "segv")
        std::abort();
    // Touched, so that the memory is really used; ends with bad_alloc at the cap.
    for (std::list<std::vector<char>> hoard; how == "alloc";)
        hoard.emplace_back(std::size_t{16} << 20, 'x');
    const std::uint8_t header[4] = {0xFF, 0xFF, 0xFF, 0xFF};
    if (how == "garbage")
        (void)::write(channel, header, sizeof(header));
    for (;;)
        std::this_thread::sleep_for(std::chrono::hours(1));
}

std::shared_ptr<MpqEngine> TestWorkerEngine(int argc, char** argv) {
    std::shared_ptr<testkit::FaultyMpqEngine> engine;
    for (int i = 5; i < argc; ++i) {
        const std::string argument = argv[i];
        const std::size_t equals = argument.find('=');
        const std::string kind = argument.substr(0, equals);
        const std::string value = equals == std::string::npos ? "" : argument.substr(equals + 1);
        if (kind == "--file-size-limit") {
            const rlimit limit{std::strtoull(value.c_str(), nullptr, 10), RLIM_INFINITY};
            std::signal(SIGXFSZ, SIG_IGN);
            setrlimit(RLIMIT_FSIZE, &limit);
            continue;
        }
        const std::string how =
            kind.starts_with("--") && kind.ends_with("-step") ? kind.substr(2, kind.size() - 7) : "";
        if (std::string(" fail crash segv hang alloc garbage ").find(" " + how + " ") == std::string::npos)
            continue;
        const std::string stepName = value.substr(0, value.find(':'));
        const int occurrence =
            value.find(':') == std::string::npos ? 1 : std::atoi(value.c_str() + value.find(':') + 1);
        for (int s = 0; s <= static_cast<int>(testkit::MpqStep::CompactArchive); ++s) {
            const auto step = static_cast<testkit::MpqStep>(s);
            if (stepName != testkit::StepName(step))
                continue;
            if (!engine)
                engine = std::make_shared<testkit::FaultyMpqEngine>();
            if (how == "fail") {
                engine->FailAt(step, occurrence);
            } else {
                // The channel argument is the stream's descriptor on POSIX.
                const int channel = std::atoi(argv[2]);
                engine->SetHook([=](testkit::MpqStep called, int nth) {
                    if (called == step && nth == occurrence)
                        Misbehave(how, channel);
                });
            }
        }
    }
    if (engine)
        return engine;
    return MakeStormMpqEngine();
}

} // namespace

int main(int argc, char** argv) {
    if (IsMpqWorkerInvocation(argc, argv))
        return RunMpqWorker(argc, argv, TestWorkerEngine(argc, argv));
    testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
