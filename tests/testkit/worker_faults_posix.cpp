#include "testkit/worker_faults.h"

#include <csignal>
#include <cstdlib>
#include <sys/resource.h>
#include <unistd.h>

namespace testkit::worker_faults {

// The channel argument is the stream's descriptor on POSIX.
void WriteToChannel(const std::string& channel, std::span<const std::uint8_t> bytes) {
    (void)::write(std::atoi(channel.c_str()), bytes.data(), bytes.size());
}

bool LimitFileSize(std::uint64_t limit) {
    const rlimit fileSize{limit, RLIM_INFINITY};
    std::signal(SIGXFSZ, SIG_IGN);
    return ::setrlimit(RLIMIT_FSIZE, &fileSize) == 0;
}

} // namespace testkit::worker_faults
