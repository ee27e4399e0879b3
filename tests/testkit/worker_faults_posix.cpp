#include "testkit/worker_faults.h"

#include <csignal>
#include <cstdlib>
#include <fstream>
#include <sys/resource.h>
#include <unistd.h>

namespace testkit::worker_faults {

// The channel argument is the stream's descriptor on POSIX.
void WriteToChannel(const std::string& channel, std::span<const std::uint8_t> bytes) {
    if (::write(std::atoi(channel.c_str()), bytes.data(), bytes.size()) < 0) {
        // A worker misbehaving on purpose has nobody to tell that even this failed.
    }
}

bool LimitFileSize(std::uint64_t limit) {
    const rlimit fileSize{limit, RLIM_INFINITY};
    std::signal(SIGXFSZ, SIG_IGN);
    return ::setrlimit(RLIMIT_FSIZE, &fileSize) == 0;
}

bool CapAddressSpace(std::uint64_t bytes) {
    const rlimit memory{bytes, bytes};
    return ::setrlimit(RLIMIT_AS, &memory) == 0;
}

std::uint64_t PeakResidentBytes() {
    rusage usage{};
    ::getrusage(RUSAGE_SELF, &usage);
    return static_cast<std::uint64_t>(usage.ru_maxrss) * 1024; // KiB on Linux
}

void ExitAfter(unsigned seconds) {
    std::signal(SIGALRM, [](int) { ::_exit(124); });
    ::alarm(seconds);
}

long OwnProcessId() {
    return ::getpid();
}

std::vector<long> ChildProcessIds(long parent) {
    std::vector<long> children;
    std::ifstream list("/proc/" + std::to_string(parent) + "/task/" + std::to_string(parent) + "/children");
    for (long child = 0; list >> child;)
        children.push_back(child);
    return children;
}

bool ProcessGone(long pid) {
    std::string stat;
    std::getline(std::ifstream("/proc/" + std::to_string(pid) + "/stat"), stat);
    const std::size_t close = stat.rfind(')');
    return stat.empty() || close == std::string::npos || close + 2 >= stat.size() || stat[close + 2] == 'Z';
}

bool RunningUnderWine() {
    return false;
}

} // namespace testkit::worker_faults
