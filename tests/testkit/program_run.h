#pragma once
// Runs a program of ours as a user would, without a shell: its arguments exactly as given (UTF-8),
// standard input empty, standard output and error captured whole. On Windows the arguments reach
// the program through its wide command line, quoted as CommandLineToArgvW reads them back.
#include <filesystem>
#include <string>
#include <vector>

namespace testkit {

struct ProgramResult {
    int exitCode = -1; // -1: not started, killed or timed out
    std::string out;
    std::string err;
};

ProgramResult RunProgram(const std::filesystem::path& program, const std::vector<std::string>& arguments,
                         const std::filesystem::path& workingDirectory);

// The same with standard error on a pseudo-terminal, as a person at a shell has it (through
// script(1)); standard output goes to a file. POSIX only: Windows has no pseudo-terminal to hand a
// program here, and gives exit code -1 with an empty result.
ProgramResult RunProgramWithTerminalStderr(const std::filesystem::path& program,
                                           const std::vector<std::string>& arguments,
                                           const std::filesystem::path& workingDirectory);

namespace detail {
// A captured stream's file, read whole.
std::string ReadText(const std::filesystem::path& path);
} // namespace detail

} // namespace testkit
