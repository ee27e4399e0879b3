#pragma once
// The archive worker as a process: a copy of our own executable started in its worker mode and
// joined to us by one byte stream. The parent starts, talks to and ends it; the worker limits
// itself and opens its end of the stream. One source file per platform implements this.
//
// The worker's command line: <executable> --mpq-worker <channel> <parent id> <memory cap> [extra...],
// e.g. "ostrawen --mpq-worker 3 4711 3221225472".
#include <chrono>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <span>
#include <string>
#include <vector>

namespace worker_process {

constexpr const char* kWorkerFlag = "--mpq-worker";

// The file of the running program ("/proc/self/exe" on Linux), which starts its own worker.
std::filesystem::path OwnExecutable();

// The parent's side of one worker.
class WorkerProcess {
public:
    enum class Wait { Data, Timeout, Closed };

    // Starts the worker; nullptr when it cannot be started. The memory cap holds for the worker
    // alone (an address-space limit, or the sanitizer's own limit in sanitizer builds).
    static std::unique_ptr<WorkerProcess> Start(const std::filesystem::path& executable,
                                                const std::vector<std::string>& extraArguments,
                                                std::uint64_t memoryCap);

    // Kills and reaps the worker if it still runs.
    virtual ~WorkerProcess() = default;

    // All bytes, or false when the worker is gone.
    virtual bool Send(std::span<const std::uint8_t> bytes) = 0;
    // Waits at most `timeout` for bytes and appends what arrived; Closed when the worker's end is gone.
    virtual Wait Receive(std::vector<std::uint8_t>& into, std::chrono::milliseconds timeout) = 0;
    // Kills the worker and reaps it: when this returns, the process is gone.
    virtual void Kill() = 0;
    // Closes the stream, gives the worker a moment to leave by itself, then kills and reaps it.
    virtual void Stop() = 0;
    // False once the worker has ended (and then it is reaped).
    virtual bool Running() = 0;
};

// The worker's side of the stream, named by the <channel> argument.
class WorkerChannel {
public:
    static std::unique_ptr<WorkerChannel> Open(const std::string& channel);
    virtual ~WorkerChannel() = default;
    // Exactly size bytes, or false at the end of the stream.
    virtual bool ReadExact(std::uint8_t* into, std::size_t size) = 0;
    virtual bool WriteAll(std::span<const std::uint8_t> bytes) = 0;
};

// The worker's limits, set before it reads any request: it dies with its parent, writes no core
// file and cannot use more than the memory cap. False when the parent named on the command line
// is already gone.
bool LimitWorker(const std::string& parent, std::uint64_t memoryCap);

} // namespace worker_process
