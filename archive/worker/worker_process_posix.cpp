// The worker over a socket pair and posix_spawn. Every descriptor we open is close-on-exec; only
// the worker's end of the socket is given to it, under a fixed number.
#include "archive/worker/worker_process.h"

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace worker_process {

namespace {

// An address-space limit breaks the address sanitizer's shadow memory; its own allocator limits
// take the place of the limit in such builds.
// GCC names the sanitizer with a macro, clang only through __has_feature.
#if defined(__has_feature)
#if __has_feature(address_sanitizer)
#define OSTRAWEN_ADDRESS_SANITIZER 1
#endif
#endif
#if defined(__SANITIZE_ADDRESS__) || defined(OSTRAWEN_ADDRESS_SANITIZER)
constexpr bool kAddressSanitizer = true;
#else
constexpr bool kAddressSanitizer = false;
#endif

// The descriptor the worker finds its end of the socket under (unless that is ours already).
constexpr int kWorkerDescriptor = 3;

bool WriteAllTo(int fd, std::span<const std::uint8_t> bytes) {
    std::size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t written = ::send(fd, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
        if (written < 0 && errno == EINTR)
            continue;
        if (written <= 0)
            return false;
        done += static_cast<std::size_t>(written);
    }
    return true;
}

class PosixWorkerProcess final : public WorkerProcess {
public:
    PosixWorkerProcess(pid_t pid, int fd) : m_pid(pid), m_fd(fd) {}
    ~PosixWorkerProcess() override { Kill(); }

    bool Send(std::span<const std::uint8_t> bytes) override { return m_fd >= 0 && WriteAllTo(m_fd, bytes); }

    Wait Receive(std::vector<std::uint8_t>& into, std::chrono::milliseconds timeout) override {
        if (m_fd < 0)
            return Wait::Closed;
        pollfd entry{m_fd, POLLIN, 0};
        const int ready = ::poll(&entry, 1, static_cast<int>(timeout.count()));
        if (ready == 0 || (ready < 0 && errno == EINTR))
            return Wait::Timeout;
        if (ready < 0)
            return Wait::Closed;
        std::uint8_t buffer[64 * 1024];
        const ssize_t got = ::recv(m_fd, buffer, sizeof(buffer), 0);
        if (got < 0 && (errno == EINTR || errno == EAGAIN))
            return Wait::Timeout;
        if (got <= 0)
            return Wait::Closed;
        into.insert(into.end(), buffer, buffer + got);
        return Wait::Data;
    }

    void Kill() override {
        CloseStream();
        if (m_pid > 0) {
            ::kill(m_pid, SIGKILL);
            Reap(0);
        }
    }

    void Stop() override {
        CloseStream();
        // The worker leaves at the end of its stream; a short grace, then no more.
        for (int i = 0; i < 50 && m_pid > 0; ++i) {
            if (Reap(WNOHANG))
                return;
            ::usleep(2000);
        }
        Kill();
    }

    bool Running() override { return m_pid > 0 && !Reap(WNOHANG); }

private:
    void CloseStream() {
        if (m_fd >= 0)
            ::close(m_fd);
        m_fd = -1;
    }

    // True when the worker has ended and is reaped.
    bool Reap(int options) {
        if (m_pid <= 0)
            return true;
        int status = 0;
        pid_t result = 0;
        do {
            result = ::waitpid(m_pid, &status, options);
        } while (result < 0 && errno == EINTR);
        if (result == 0)
            return false;
        m_pid = -1;
        return true;
    }

    pid_t m_pid;
    int m_fd;
};

} // namespace

std::filesystem::path OwnExecutable() {
    return "/proc/self/exe";
}

std::unique_ptr<WorkerProcess> WorkerProcess::Start(const std::filesystem::path& executable,
                                                    const std::vector<std::string>& extraArguments,
                                                    std::uint64_t memoryCap) {
    int fds[2];
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds) != 0)
        return nullptr;
    const int ours = fds[0];
    const int theirs = fds[1];
    // dup2 onto another number clears close-on-exec in the child only.
    const int target = theirs == kWorkerDescriptor ? kWorkerDescriptor + 1 : kWorkerDescriptor;

    std::vector<std::string> arguments = {executable.string(), kWorkerFlag, std::to_string(target),
                                          std::to_string(::getpid()), std::to_string(memoryCap)};
    arguments.insert(arguments.end(), extraArguments.begin(), extraArguments.end());
    std::vector<char*> argv;
    for (std::string& argument : arguments)
        argv.push_back(argument.data());
    argv.push_back(nullptr);

    std::vector<std::string> environment;
    for (char** entry = environ; entry != nullptr && *entry != nullptr; ++entry) {
        if (!kAddressSanitizer || std::strncmp(*entry, "ASAN_OPTIONS=", 13) != 0)
            environment.emplace_back(*entry);
    }
    if (kAddressSanitizer) {
        const char* inherited = std::getenv("ASAN_OPTIONS");
        const std::uint64_t capMb = memoryCap >> 20;
        environment.push_back("ASAN_OPTIONS=" + std::string(inherited != nullptr ? inherited : "") +
                              (inherited != nullptr && *inherited != '\0' ? ":" : "") +
                              "allocator_may_return_null=1:max_allocation_size_mb=" + std::to_string(capMb) +
                              ":hard_rss_limit_mb=" + std::to_string(capMb));
    }
    std::vector<char*> envp;
    for (std::string& entry : environment)
        envp.push_back(entry.data());
    envp.push_back(nullptr);

    posix_spawn_file_actions_t actions;
    posix_spawnattr_t attributes;
    posix_spawn_file_actions_init(&actions);
    posix_spawnattr_init(&attributes);
    posix_spawn_file_actions_adddup2(&actions, theirs, target);
    // The worker starts with default signal handling and nothing blocked, whatever ours is.
    sigset_t none;
    sigset_t defaults;
    sigemptyset(&none);
    sigemptyset(&defaults);
    sigaddset(&defaults, SIGPIPE);
    sigaddset(&defaults, SIGTERM);
    sigaddset(&defaults, SIGINT);
    posix_spawnattr_setsigmask(&attributes, &none);
    posix_spawnattr_setsigdefault(&attributes, &defaults);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
    pid_t pid = -1;
    const int spawned = ::posix_spawn(&pid, argv[0], &actions, &attributes, argv.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attributes);
    ::close(theirs);
    if (spawned != 0) {
        ::close(ours);
        return nullptr;
    }
    return std::make_unique<PosixWorkerProcess>(pid, ours);
}

namespace {

class PosixWorkerChannel final : public WorkerChannel {
public:
    explicit PosixWorkerChannel(int fd) : m_fd(fd) {}
    ~PosixWorkerChannel() override { ::close(m_fd); }

    bool ReadExact(std::uint8_t* into, std::size_t size) override {
        std::size_t done = 0;
        while (done < size) {
            const ssize_t got = ::read(m_fd, into + done, size - done);
            if (got < 0 && errno == EINTR)
                continue;
            if (got <= 0)
                return false;
            done += static_cast<std::size_t>(got);
        }
        return true;
    }

    bool WriteAll(std::span<const std::uint8_t> bytes) override { return WriteAllTo(m_fd, bytes); }

private:
    int m_fd;
};

} // namespace

std::unique_ptr<WorkerChannel> WorkerChannel::Open(const std::string& channel) {
    char* end = nullptr;
    const long fd = std::strtol(channel.c_str(), &end, 10);
    if (channel.empty() || *end != '\0' || fd < 0 || fd > 1024)
        return nullptr;
    // Nothing the worker starts may inherit the stream.
    if (::fcntl(static_cast<int>(fd), F_SETFD, FD_CLOEXEC) != 0)
        return nullptr;
    return std::make_unique<PosixWorkerChannel>(static_cast<int>(fd));
}

bool LimitWorker(const std::string& parent, std::uint64_t memoryCap) {
    // First the death signal, then the check: a parent that died before it was set is seen here.
    if (::prctl(PR_SET_PDEATHSIG, SIGKILL) != 0)
        return false;
    if (std::to_string(::getppid()) != parent)
        return false;
    const rlimit noCore{0, 0};
    if (::setrlimit(RLIMIT_CORE, &noCore) != 0)
        return false;
    if (!kAddressSanitizer && memoryCap != 0) {
        const rlimit memory{memoryCap, memoryCap};
        if (::setrlimit(RLIMIT_AS, &memory) != 0)
            return false;
    }
    return true;
}

} // namespace worker_process
