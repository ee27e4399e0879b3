#include "cli/system_reason.h"

#include "support/utf8_convert.h"
#include "support/win32.h"

#include <string>

namespace cli {
namespace {

std::string Text(DWORD error) {
    wchar_t* buffer = nullptr;
    const DWORD length =
        ::FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
                         nullptr, error, 0, reinterpret_cast<wchar_t*>(&buffer), 0, nullptr);
    std::u16string text;
    if (length > 0 && buffer != nullptr)
        text.assign(reinterpret_cast<const char16_t*>(buffer), length);
    if (buffer != nullptr)
        ::LocalFree(buffer);
    // The system's text ends in ".\r\n"; a message line carries it without the line break.
    while (!text.empty() && (text.back() == u'\n' || text.back() == u'\r' || text.back() == u' '))
        text.pop_back();
    if (text.empty())
        return "error " + std::to_string(error);
    return modUtf8Convert::TextToUtf8(text);
}

std::wstring Wide(const std::string& utf8) {
    const std::u16string text = modUtf8Convert::Utf8ToText(utf8);
    return std::wstring(text.begin(), text.end());
}

std::wstring ParentOf(const std::wstring& path) {
    const std::size_t slash = path.find_last_of(L"\\/");
    if (slash == std::wstring::npos)
        return L".";
    return path.substr(0, slash + 1);
}

} // namespace

std::string ReasonFileUnreadable(const std::string& utf8Path) {
    if (utf8Path.empty())
        return Text(ERROR_FILE_NOT_FOUND);
    const std::wstring path = Wide(utf8Path);
    const DWORD attributes = ::GetFileAttributesW(path.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES)
        return Text(::GetLastError());
    if (attributes & FILE_ATTRIBUTE_DIRECTORY)
        return Text(ERROR_ACCESS_DENIED);
    const HANDLE file =
        ::CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                      OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return Text(::GetLastError());
    ::CloseHandle(file);
    return {};
}

std::string ReasonFileUnwritable(const std::string& utf8Path) {
    if (utf8Path.empty())
        return Text(ERROR_PATH_NOT_FOUND);
    const std::wstring path = Wide(utf8Path);
    const DWORD attributes = ::GetFileAttributesW(path.c_str());
    if (attributes != INVALID_FILE_ATTRIBUTES) {
        if (attributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_READONLY))
            return Text(ERROR_ACCESS_DENIED);
    } else if (const DWORD error = ::GetLastError(); error != ERROR_FILE_NOT_FOUND) {
        return Text(error);
    }
    const DWORD parent = ::GetFileAttributesW(ParentOf(path).c_str());
    if (parent == INVALID_FILE_ATTRIBUTES)
        return Text(::GetLastError());
    if (!(parent & FILE_ATTRIBUTE_DIRECTORY))
        return Text(ERROR_DIRECTORY);
    return {};
}

std::string ReasonOfLastError() {
    return Text(::GetLastError());
}

} // namespace cli
