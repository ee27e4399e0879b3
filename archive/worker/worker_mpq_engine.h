#pragma once
// MpqEngine that makes every call in a worker process (mpq_worker.h), so that whatever an archive
// does to StormLib (abort, crash, gigabytes, a hang) ends only the worker. The caller sees an
// ordinary failure with LastFailure() == WorkerDied; the worker is then gone (killed and reaped)
// before the failing call returns, and the next call starts a fresh one.
//
// One worker serves the engine's calls and is kept between them; a worker whose call failed is
// never used again. Handles of a worker that is gone stay valid to close: closing one returns
// true for a file and for an archive opened read-only, false for an archive opened to write;
// every other call on them fails. Like clsMpqControl, it serves one caller at a time.
#include "archive/mpq_engine.h"

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

struct WorkerOptions {
    // The executable started in worker mode; empty means this program's own file.
    std::filesystem::path executable;
    // Appended to the worker's command line (tests use them to make the worker fail on purpose).
    std::vector<std::string> extraArguments;
    // A worker that sends nothing for this long in the middle of a call is killed.
    std::chrono::milliseconds silenceBound{30000};
    // The most memory the worker may use.
    std::uint64_t memoryCap = std::uint64_t{3} << 30;
};

std::shared_ptr<MpqEngine> MakeWorkerMpqEngine(WorkerOptions options = {});
