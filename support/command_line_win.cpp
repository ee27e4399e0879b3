#include "support/command_line_win.h"

#include "support/utf8_convert.h"

namespace command_line {

void AppendQuoted(std::wstring& commandLine, const std::wstring& argument) {
    if (!commandLine.empty())
        commandLine += L' ';
    commandLine += L'"';
    std::size_t backslashes = 0;
    for (const wchar_t c : argument) {
        if (c == L'\\') {
            ++backslashes;
            continue;
        }
        // Backslashes before a quote are doubled and the quote escaped; elsewhere they stand as they are.
        commandLine.append(c == L'"' ? backslashes * 2 + 1 : backslashes, L'\\');
        backslashes = 0;
        commandLine += c;
    }
    commandLine.append(backslashes * 2, L'\\');
    commandLine += L'"';
}

std::wstring Widen(const std::string& utf8) {
    const std::u16string text = modUtf8Convert::Utf8ToText(utf8);
    return std::wstring(text.begin(), text.end());
}

} // namespace command_line
