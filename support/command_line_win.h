#pragma once
// A Windows command line made from arguments, quoted so that CommandLineToArgvW and the C runtime
// read each one back whole: spaces, quotes and trailing backslashes included.
// Example: {L"C:\\a b\\x.exe", L"say \"hi\""} -> "C:\a b\x.exe" "say \"hi\""
#include <string>

namespace command_line {

// Appends one argument, quoted, after a space when the line is not empty.
void AppendQuoted(std::wstring& commandLine, const std::wstring& argument);

// UTF-8 text as a wide argument.
std::wstring Widen(const std::string& utf8);

} // namespace command_line
