#include "cli/terminal.h"

#include <iostream>
#include <unistd.h>

namespace cli {

ProgramArguments ArgumentsAsUtf8(int argc, NativeChar* argv[]) {
    // Arguments are bytes here; the command line checks the text it needs to be valid UTF-8.
    return {std::vector<std::string>(argv, argv + argc)};
}

std::ostream& StandardOutput() {
    return std::cout;
}

std::ostream& StandardError() {
    return std::cerr;
}

InputRead ReadStandardInput(std::vector<std::uint8_t>& bytes, std::uint64_t limit) {
    return ReadAllOf(stdin, bytes, limit);
}

bool StderrIsTerminal() {
    return ::isatty(STDERR_FILENO) == 1;
}

} // namespace cli
