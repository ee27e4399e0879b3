#pragma once
// Runs a shell command line for the package tests and gives its exit code and output.
// Example: Shell("unzip -Z1 " + Quoted(zip)).text lists the zip's entries, one a line.
#include <sys/wait.h>

#include <cstdio>
#include <string>

namespace package_test {

struct Output {
    int exitCode = -1;
    std::string text; // stdout and stderr together
};

// text in single quotes for sh: "it's" -> 'it'\''s'
inline std::string Quoted(const std::string& text) {
    std::string quoted = "'";
    for (const char c : text)
        quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return quoted + "'";
}

inline Output Shell(const std::string& command) {
    Output result;
    FILE* pipe = popen((command + " 2>&1").c_str(), "r");
    if (pipe == nullptr)
        return result;
    char buffer[4096];
    for (std::size_t got; (got = std::fread(buffer, 1, sizeof buffer, pipe)) > 0;)
        result.text.append(buffer, got);
    const int status = pclose(pipe);
    result.exitCode = status != -1 && WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return result;
}

} // namespace package_test
