#pragma once
// `ostrawen-cli status` timed as a fleet check runs it: a process of its own, started and waited for.
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

namespace bench {

struct StatusRun {
    double ms = 0;
    int exitCode = -1;
    std::string out; // its standard output
};

// Runs `cli --json --game-dir gameDir status`. With `evict`, the archives' pages are dropped from the
// page cache first (written back, then discarded), as on a machine that has not read them since boot.
// Nothing when the process cannot be started or this platform has no probe.
std::optional<StatusRun> RunCliStatus(const std::filesystem::path& cli, const std::filesystem::path& gameDir,
                                      const std::vector<std::filesystem::path>& archives, bool evict);

} // namespace bench
