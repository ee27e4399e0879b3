// main() of the GoogleTest programs: each is also the archive worker its clsMpqControl starts.
// Test-only worker arguments make the worker misbehave at one engine step (optionally the N-th
// call of it, "Step:N"):
//   --fail-step=WriteFile:1   the call reports failure (the real call still runs)
//   --crash-step=OpenArchive  abort()
//   --segv-step=ReadFile      a segmentation fault
//   --hang-step=CompactArchive sleeps forever
//   --alloc-step=RemoveFile   allocates until the memory cap stops it
//   --garbage-step=ReadFile   announces a 4 GiB message on its stream, then sleeps forever
// and one limit of the kind a full disk sets:
//   --file-size-limit=N       no file may grow past N bytes (writes fail with EFBIG)
#include "archive/mpq_worker.h"
#include "testkit/faulty_mpq_engine.h"

#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <list>
#include <optional>
#include <string>
#include <sys/resource.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

struct StepAt {
    testkit::MpqStep step;
    int occurrence = 1;
};

std::optional<StepAt> ParseStep(const std::string& text) {
    const std::size_t colon = text.find(':');
    const std::string name = text.substr(0, colon);
    for (int i = 0; i <= static_cast<int>(testkit::MpqStep::CompactArchive); ++i) {
        const auto step = static_cast<testkit::MpqStep>(i);
        if (name == testkit::StepName(step))
            return StepAt{step, colon == std::string::npos ? 1 : std::atoi(text.c_str() + colon + 1)};
    }
    return std::nullopt;
}

[[noreturn]] void Misbehave(const std::string& how, const std::string& channel) {
    if (how == "crash")
        std::abort();
    if (how == "segv") {
        std::raise(SIGSEGV);
        std::abort();
    }
    if (how == "alloc") {
        // Touched, so that the memory is really used; ends with bad_alloc at the cap.
        std::list<std::vector<char>> hoard;
        for (;;)
            hoard.emplace_back(std::size_t{16} << 20, 'x');
    }
    if (how == "garbage") {
        // The channel argument is the stream's descriptor on POSIX.
        const std::uint8_t header[4] = {0xFF, 0xFF, 0xFF, 0xFF};
        (void)::write(std::atoi(channel.c_str()), header, sizeof(header));
    }
    for (;;)
        std::this_thread::sleep_for(std::chrono::hours(1));
}

std::shared_ptr<MpqEngine> TestWorkerEngine(int argc, char** argv) {
    std::shared_ptr<testkit::FaultyMpqEngine> engine;
    for (int i = 5; i < argc; ++i) {
        const std::string argument = argv[i];
        const std::size_t equals = argument.find('=');
        if (argument.rfind("--", 0) != 0 || equals == std::string::npos)
            continue;
        const std::string kind = argument.substr(2, equals - 2);
        if (kind == "file-size-limit") {
            const rlimit limit{std::strtoull(argument.c_str() + equals + 1, nullptr, 10), RLIM_INFINITY};
            std::signal(SIGXFSZ, SIG_IGN);
            setrlimit(RLIMIT_FSIZE, &limit);
            continue;
        }
        const std::optional<StepAt> at = ParseStep(argument.substr(equals + 1));
        if (!at)
            continue;
        if (!engine)
            engine = std::make_shared<testkit::FaultyMpqEngine>();
        if (kind == "fail-step") {
            engine->FailAt(at->step, at->occurrence);
        } else if (kind == "crash-step" || kind == "segv-step" || kind == "hang-step" || kind == "alloc-step" ||
                   kind == "garbage-step") {
            const std::string how = kind.substr(0, kind.find('-'));
            const StepAt target = *at;
            const std::string channel = argv[2];
            engine->SetHook([how, target, channel](testkit::MpqStep step, int occurrence) {
                if (step == target.step && occurrence == target.occurrence)
                    Misbehave(how, channel);
            });
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
