// The archive worker the door harness starts: StormLib behind the worker protocol, nothing else.
// A program of its own so that the harness (a libFuzzer main) never has to be the worker.
#include "archive/mpq_engine.h"
#include "archive/mpq_worker.h"

int main(int argc, char** argv) {
    if (!IsMpqWorkerInvocation(argc, argv))
        return 2;
    return RunMpqWorker(argc, argv, MakeOwnMpqEngine());
}
