// The cut's processes on POSIX: the counter in a shared mapping of its file, and one process group
// (the child's, which its workers join) killed at once.
#include "testkit/power_cut.h"

#include <csignal>
#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

namespace testkit::power_cut::detail {

// ext4: a name is durable once its directory is flushed.
const bool kDirectoryChangesNeedFlush = true;

Shared* MapShared(const std::filesystem::path& file) {
    const int fd = ::open(file.c_str(), O_RDWR | O_CLOEXEC);
    if (fd < 0)
        return nullptr;
    void* mapped = ::mmap(nullptr, sizeof(Shared), PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    ::close(fd);
    return mapped == MAP_FAILED ? nullptr : static_cast<Shared*>(mapped);
}

void UnmapShared(Shared* shared) {
    ::munmap(shared, sizeof(Shared));
}

Shared::Process ThisProcess() {
    return {static_cast<std::uint64_t>(::getpid()), 0};
}

void EndCut(const Shared&) {
    ::kill(0, SIGKILL); // the child's process group: the child and its workers, this one included
    for (;;)
        ::pause();
}

bool EndedByCut(const child::Outcome& outcome) {
    return outcome.killed && outcome.code == SIGKILL;
}

// One signal took the whole group, and a file still open does not hold its name on POSIX.
void AwaitProcesses(const Shared&) {}

} // namespace testkit::power_cut::detail
