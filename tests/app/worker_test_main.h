#pragma once
// QTEST_MAIN for the window tests, which are also the archive worker their window starts: the check
// comes before QApplication. The build includes this ahead of every window test's source. A worker
// whose last argument is "--slow-step=<step>" (WriteFile, ...) takes 400 ms over that step.
#include "app/ui_prompts.h"
#include "archive/worker/mpq_worker.h"
#include "testkit/faulty_mpq_engine.h"

#include <QtTest/qtest.h>

#include <thread>

inline std::shared_ptr<MpqEngine> WindowTestWorkerEngine(int argc, char* argv[]) {
    const std::string slow = argv[argc - 1];
    if (slow.rfind("--slow-step=", 0) != 0)
        return MakeOwnMpqEngine();
    auto engine = std::make_shared<testkit::FaultyMpqEngine>();
    engine->SetHook([slow](testkit::MpqStep step, int) {
        if (slow.substr(12) == testkit::StepName(step))
            std::this_thread::sleep_for(std::chrono::milliseconds(400));
    });
    return engine;
}

// The tests answer prompts in advance; one they do not answer must not wait for a player who never
// comes, so unattended answering is on in every window test (the program never turns it on).
#undef QTEST_MAIN
#define QTEST_MAIN(TestObject)                                                                                         \
    QTEST_MAIN_WRAPPER(TestObject, if (IsMpqWorkerInvocation(argc, argv)) return RunMpqWorker(                         \
                                       argc, argv, WindowTestWorkerEngine(argc, argv));                                \
                       ui_prompts::SetUnattended(true); QTEST_MAIN_SETUP())
