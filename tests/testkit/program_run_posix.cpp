#include "testkit/program_run.h"

#include "testkit/temp_dir.h"

#include <cerrno>
#include <cstdlib>
#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

namespace testkit {

ProgramResult RunProgram(const std::filesystem::path& program, const std::vector<std::string>& arguments,
                         const std::filesystem::path& workingDirectory) {
    TempDir capture;
    const std::filesystem::path outPath = capture / "out";
    const std::filesystem::path errPath = capture / "err";
    std::vector<std::string> words{program.string()};
    words.insert(words.end(), arguments.begin(), arguments.end());
    std::vector<char*> argv;
    for (std::string& word : words)
        argv.push_back(word.data());
    argv.push_back(nullptr);
    const pid_t child = ::fork();
    if (child < 0)
        return {};
    if (child == 0) {
        const int in = ::open("/dev/null", O_RDONLY);
        const int out = ::open(outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        const int err = ::open(errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        if (in < 0 || out < 0 || err < 0 || ::dup2(in, 0) < 0 || ::dup2(out, 1) < 0 || ::dup2(err, 2) < 0 ||
            ::chdir(workingDirectory.c_str()) != 0)
            ::_exit(127);
        ::execv(argv[0], argv.data());
        ::_exit(127);
    }
    int status = 0;
    pid_t got;
    do
        got = ::waitpid(child, &status, 0);
    while (got < 0 && errno == EINTR);
    ProgramResult result;
    result.exitCode = got == child && WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    result.out = detail::ReadText(outPath);
    result.err = detail::ReadText(errPath);
    return result;
}

ProgramResult RunProgramWithTerminalStderr(const std::filesystem::path& program,
                                           const std::vector<std::string>& arguments,
                                           const std::filesystem::path& workingDirectory) {
    const auto quote = [](std::string word) {
        for (std::size_t at = 0; (at = word.find('\'', at)) != std::string::npos; at += 4)
            word.replace(at, 1, "'\\''");
        return "'" + word + "'";
    };
    TempDir capture;
    std::string command = quote(program.string());
    for (const std::string& argument : arguments)
        command += " " + quote(argument);
    // script(1) runs the command with a pseudo-terminal for stderr and copies what reaches it.
    command = "cd " + quote(workingDirectory.string()) + " && SHELL=/bin/sh script -qec " +
              quote(command + " >" + quote((capture / "out").string())) + " /dev/null </dev/null >" +
              quote((capture / "err").string());
    const int status = std::system(command.c_str());
    ProgramResult result;
    result.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    result.out = detail::ReadText(capture / "out");
    result.err = detail::ReadText(capture / "err");
    return result;
}

} // namespace testkit
