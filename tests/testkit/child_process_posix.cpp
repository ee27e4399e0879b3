#include "testkit/child_process.h"

#include <cerrno>
#include <csignal>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace testkit::child {

namespace {

class PosixProcess final : public Process {
public:
    explicit PosixProcess(pid_t pid) : m_pid(pid) {}
    ~PosixProcess() override {
        if (m_running) {
            Kill();
            Reap(0);
        }
    }

    Outcome Wait(std::chrono::milliseconds timeout) override {
        const auto deadline = std::chrono::steady_clock::now() + timeout;
        for (auto pause = std::chrono::milliseconds(1); m_running; pause = std::min(pause * 2, kLongestPause)) {
            if (Reap(WNOHANG))
                break;
            if (std::chrono::steady_clock::now() >= deadline) {
                Kill();
                Reap(0);
                m_outcome.timedOut = true;
                break;
            }
            std::this_thread::sleep_for(pause);
        }
        return m_outcome;
    }

    void Kill() override {
        if (m_running) {
            ::kill(-m_pid, SIGKILL);
            ::kill(m_pid, SIGKILL);
        }
    }

    long Id() const override { return m_pid; }

private:
    static constexpr std::chrono::milliseconds kLongestPause{20};

    // True when the child has ended (and is reaped now).
    bool Reap(int options) {
        int status = 0;
        pid_t got;
        do
            got = ::waitpid(m_pid, &status, options);
        while (got < 0 && errno == EINTR);
        if (got == 0)
            return false;
        m_running = false;
        if (got == m_pid && WIFEXITED(status)) {
            m_outcome.exited = true;
            m_outcome.code = WEXITSTATUS(status);
        } else if (got == m_pid && WIFSIGNALED(status)) {
            m_outcome.killed = true;
            m_outcome.code = WTERMSIG(status);
        }
        return true;
    }

    pid_t m_pid;
    bool m_running = true;
    Outcome m_outcome;
};

} // namespace

std::unique_ptr<Process> Process::Start(const std::string& role, const std::vector<std::string>& args) {
    const pid_t pid = ::fork();
    if (pid < 0)
        return nullptr;
    if (pid == 0) {
        // A group of its own, so that a kill reaches the workers it starts too.
        ::setpgid(0, 0);
        ::_exit(detail::RunRole(role, args));
    }
    ::setpgid(pid, pid); // either side may come first
    return std::make_unique<PosixProcess>(pid);
}

// A fork runs its role directly; nothing is asked of main() on POSIX.
std::optional<int> RunRoleIfAsked(int, char**) {
    return std::nullopt;
}

void KillSelf() {
    ::kill(::getpid(), SIGKILL);
    for (;;)
        ::pause();
}

} // namespace testkit::child
