#include "testkit/child_process.h"

#include <exception>
#include <map>

namespace testkit::child {

namespace {

std::map<std::string, Role>& Roles() {
    static std::map<std::string, Role> roles;
    return roles;
}

} // namespace

bool RegisterRole(const char* name, Role role) {
    Roles()[name] = role;
    return true;
}

Outcome Run(const std::string& role, const std::vector<std::string>& args, std::chrono::milliseconds timeout) {
    std::unique_ptr<Process> process = Process::Start(role, args);
    if (!process)
        return {};
    return process->Wait(timeout);
}

std::string PathArgument(const std::filesystem::path& path) {
    const std::u8string utf8 = path.u8string();
    return std::string(utf8.begin(), utf8.end());
}

std::filesystem::path ArgumentPath(const std::string& argument) {
    return std::filesystem::path(std::u8string(argument.begin(), argument.end()));
}

namespace detail {

int RunRole(const std::string& role, const std::vector<std::string>& args) {
    const auto found = Roles().find(role);
    if (found == Roles().end())
        return kNoSuchRoleCode;
    try {
        return found->second(args);
    } catch (...) {
        return kThrewCode;
    }
}

} // namespace detail

} // namespace testkit::child
