// ostrawen-cli's entry. The same executable started with --mpq-worker is its archive worker, so
// that check comes before anything else.
#include "archive/worker/mpq_worker.h"
#include "cli/cli_app.h"

#include <iostream>

int main(int argc, char* argv[]) {
    if (IsMpqWorkerInvocation(argc, argv))
        return RunMpqWorker(argc, argv, MakeOwnMpqEngine());
    return cli::RunCli(std::vector<std::string>(argv + 1, argv + argc), std::cout, std::cerr);
}
