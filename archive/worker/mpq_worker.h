#pragma once
// The archive worker's entry point: every executable that reaches clsMpqControl is also the worker
// (started as "<itself> --mpq-worker ..."), so the first thing its main() does is
//
//     if (IsMpqWorkerInvocation(argc, argv))
//         return RunMpqWorker(argc, argv, MakeOwnMpqEngine());
//
// The worker sets its limits, then serves MpqEngine calls on the stream it inherited until the
// stream ends (the parent is gone or done). Whatever StormLib does to it, only the worker dies.
#include "archive/mpq_engine.h"

#include <memory>

bool IsMpqWorkerInvocation(int argc, char** argv);

// The exit status of the worker; 0 when its parent ended the stream.
int RunMpqWorker(int argc, char** argv, std::shared_ptr<MpqEngine> engine);
