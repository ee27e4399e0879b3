#include "support/public_vars.h"

#include "support/win32.h"

namespace modPublicVars {

// Windows reports the module under the name it was started through, so there is one place only.
std::u16string GetAppPath() {
    std::wstring buffer(32768, L'\0');
    const DWORD length = ::GetModuleFileNameW(nullptr, buffer.data(), static_cast<DWORD>(buffer.size()));
    buffer.resize(length);
    const auto slash = buffer.find_last_of(L"\\/");
    std::u16string directory(buffer.begin(), slash == std::wstring::npos ? buffer.begin() : buffer.begin() + slash);
    if (directory.empty() || directory.back() != u'\\')
        directory.push_back(u'\\');
    return directory;
}

std::vector<std::u16string> GetAppPaths() {
    return {GetAppPath()};
}

void RecordStartPath(const char*) {}

} // namespace modPublicVars
