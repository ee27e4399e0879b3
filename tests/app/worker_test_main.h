#pragma once
// QTEST_MAIN for the window tests, which are also the archive worker that their window's
// clsMpqControl starts: the worker check comes before QApplication. The build includes this header
// ahead of every window test's source. A worker started with a last argument "--slow-step=<step>"
// (CompactArchive, WriteFile, ...) takes 400 ms over that step, for tests of a long operation.
#include "archive/mpq_worker.h"
#include "testkit/faulty_mpq_engine.h"

#include <QtTest/qtest.h>

#include <chrono>
#include <string>
#include <thread>

inline std::shared_ptr<MpqEngine> WindowTestWorkerEngine(int argc, char* argv[]) {
    const std::string slow = argv[argc - 1];
    if (slow.rfind("--slow-step=", 0) != 0)
        return MakeStormMpqEngine();
    auto engine = std::make_shared<testkit::FaultyMpqEngine>();
    engine->SetHook([step = slow.substr(12)](testkit::MpqStep at, int) {
        if (step == testkit::StepName(at))
            std::this_thread::sleep_for(std::chrono::milliseconds(400));
    });
    return engine;
}

#undef QTEST_MAIN
#define QTEST_MAIN(TestObject)                                                                                         \
    QTEST_MAIN_WRAPPER(TestObject, if (IsMpqWorkerInvocation(argc, argv)) return RunMpqWorker(                         \
                                       argc, argv, WindowTestWorkerEngine(argc, argv));                                \
                       QTEST_MAIN_SETUP())
