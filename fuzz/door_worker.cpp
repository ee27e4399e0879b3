// The archive worker the door harness starts: our MPQ engine behind the worker protocol, nothing else.
// A program of its own so that the harness (a libFuzzer main) never has to be the worker.
#include "archive/mpq_engine.h"
#include "archive/worker/mpq_worker.h"

int main(int argc, char** argv) {
    if (!IsMpqWorkerInvocation(argc, argv))
        return 2;
    return RunMpqWorker(argc, argv, MakeOwnMpqEngine());
}
