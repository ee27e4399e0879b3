#pragma once
// The command line's contact with the process around it: its arguments, its two output streams, and
// whether a person watches. The rest of the command line sees only UTF-8: on Windows the arguments
// arrive as UTF-16 (wmain) and a console shows text through its wide-character API, so both are
// converted here; elsewhere arguments and output are UTF-8 bytes as they stand.
#include <cstdint>
#include <cstdio>
#include <iosfwd>
#include <string>
#include <vector>

namespace cli {

#ifdef _WIN32
using NativeChar = wchar_t;
#else
using NativeChar = char;
#endif

struct ProgramArguments {
    std::vector<std::string> words; // argv in UTF-8, the program's name first
    int notText = -1;               // the first argument that is no text (a lone UTF-16 surrogate), or -1
};

// {L"ostrawen-cli.exe", L"lan-name", L"set", L"大厅"} -> {"ostrawen-cli.exe", "lan-name", "set", "大厅"}
// in UTF-8. On Windows a lone surrogate makes `notText` its index instead of becoming '?' or U+FFFD.
ProgramArguments ArgumentsAsUtf8(int argc, NativeChar* argv[]);

// stdout and stderr for UTF-8 text. Into a file or a pipe the bytes go unchanged (no CRLF on
// Windows either: scripts and the tests read them as written); a Windows console gets the same text
// through WriteConsoleW, where raw UTF-8 bytes would show in the console's code page. stderr is
// flushed after every write, as std::cerr is.
std::ostream& StandardOutput();
std::ostream& StandardError();

// All of standard input as bytes (binary on Windows too); TooLarge as soon as it holds more than
// `limit` bytes, without reading further.
enum class InputRead { Read, TooLarge, Failed };
InputRead ReadStandardInput(std::vector<std::uint8_t>& bytes, std::uint64_t limit);
// The same for any open C stream; both platforms' ReadStandardInput end here.
InputRead ReadAllOf(std::FILE* stream, std::vector<std::uint8_t>& bytes, std::uint64_t limit);

// Whether stderr talks to a person: a progress bar is drawn only on a terminal, never into a file
// or a pipe a script reads.
bool StderrIsTerminal();

} // namespace cli
