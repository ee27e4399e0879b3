#pragma once
// Child processes for tests that kill, crash or race a process of their own. A child runs one named
// role: a function of string arguments registered with TESTKIT_CHILD_ROLE. On POSIX the child is a
// fork that runs the role at once; on Windows, which has no fork, the test program is started again
// as "<program> --testkit-child=<role> <args...>" and its main() runs the role (RunRoleIfAsked).
// Both platforms run the same code: a role knows only its arguments, never the parent's memory.
//
// Example:
//   TESTKIT_CHILD_ROLE(SaveOnce) { return SaveTo(args.at(0)) ? 0 : 1; }
//   EXPECT_EQ(testkit::child::Run("SaveOnce", {archive.string()}).code, 0);
#include <chrono>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace testkit::child {

using Role = int (*)(const std::vector<std::string>& args);

// Registers a role under its name at static initialisation; always true.
bool RegisterRole(const char* name, Role role);

#define TESTKIT_CHILD_ROLE(name)                                                                                       \
    static int name(const std::vector<std::string>& args);                                                             \
    [[maybe_unused]] static const bool name##Registered = ::testkit::child::RegisterRole(#name, &name);                \
    static int name([[maybe_unused]] const std::vector<std::string>& args)

// How a child ended. A role that throws exits with kThrewCode.
struct Outcome {
    bool exited = false; // returned or exited: code holds the exit code
    int code = -1;
    bool killed = false;   // killed: by KillSelf, Kill or a signal (POSIX: the signal is in `code`)
    bool timedOut = false; // still running at the deadline; it was killed then
};
constexpr int kThrewCode = 120;
constexpr int kNoSuchRoleCode = 121;

class Process {
public:
    // Starts the role; nullptr when no process could be started.
    static std::unique_ptr<Process> Start(const std::string& role, const std::vector<std::string>& args);
    // Kills the child if it still runs, and reaps it.
    virtual ~Process() = default;
    // Waits until the child ends, at most `timeout`; then it is killed and timedOut set.
    virtual Outcome Wait(std::chrono::milliseconds timeout) = 0;
    // Kills the child (POSIX: its whole process group, the workers it started included).
    virtual void Kill() = 0;
    virtual long Id() const = 0;
};

// Starts the role and waits for it.
Outcome Run(const std::string& role, const std::vector<std::string>& args,
            std::chrono::milliseconds timeout = std::chrono::seconds(120));

// A path as a child's argument and back: UTF-8 on both platforms (a narrow path on Windows would
// take the ANSI code page).
std::string PathArgument(const std::filesystem::path& path);
std::filesystem::path ArgumentPath(const std::string& argument);

// For main(): when this process was started as a child, runs its role and gives its exit code.
std::optional<int> RunRoleIfAsked(int argc, char** argv);

// Ends this process at once, as SIGKILL or TerminateProcess would: no destructor, no flush.
[[noreturn]] void KillSelf();

namespace detail {
int RunRole(const std::string& role, const std::vector<std::string>& args);
constexpr const char* kChildFlag = "--testkit-child=";
} // namespace detail

} // namespace testkit::child
