// The Windows registry through advapi32's ANSI functions; names and string data cross in the
// system code page.
#include "support/codepage.h"
#include "support/registry.h"
#include "support/registry_convert.h"

#include "support/win32.h"

#include <string_view>

namespace mRegEdit {

namespace {

constexpr LONG kStatusNotFound = 2;   // ERROR_FILE_NOT_FOUND
constexpr LONG kStatusNoMemory = 8;   // ERROR_NOT_ENOUGH_MEMORY
constexpr LONG kStatusMoreData = 234; // ERROR_MORE_DATA
constexpr DWORD kInitialBufferSize = 1024;

std::string ToAnsi(const std::u16string& text) {
    if (text.empty())
        return {};
    const auto* wide = reinterpret_cast<const wchar_t*>(text.data());
    const int length = static_cast<int>(text.size());
    const int needed = WideCharToMultiByte(CP_ACP, 0, wide, length, nullptr, 0, nullptr, nullptr);
    if (needed <= 0)
        return {};
    std::string ansi(static_cast<std::size_t>(needed), '\0');
    WideCharToMultiByte(CP_ACP, 0, wide, length, ansi.data(), needed, nullptr, nullptr);
    return ansi;
}

std::u16string AnsiUnits(const std::uint8_t* data, std::size_t units) {
    return codepage::AnsiBytesToString(std::string_view(reinterpret_cast<const char*>(data), units));
}

constexpr detail::TextCodec kAnsi{1, &AnsiUnits};

// Predefined roots are 32-bit values that Windows sign-extends into a handle.
HKEY RootHandle(std::uint32_t rootKey) {
    return reinterpret_cast<HKEY>(static_cast<ULONG_PTR>(static_cast<LONG_PTR>(static_cast<LONG>(rootKey))));
}

// Closes the opened key on every way out of the reader.
class KeyCloser {
public:
    explicit KeyCloser(HKEY key) : m_key(key) {}
    ~KeyCloser() { RegCloseKey(m_key); }
    KeyCloser(const KeyCloser&) = delete;
    KeyCloser& operator=(const KeyCloser&) = delete;

private:
    HKEY m_key;
};

} // namespace

std::optional<RegValue> GetRegValue(std::uint32_t rootKey, const std::u16string& keyPath,
                                    const std::u16string& valueName,
                                    const std::optional<std::u16string>& defaultValue) {
    const std::u16string defaultText = defaultValue.value_or(std::u16string());
    try {
        const std::string keyPathAnsi = ToAnsi(keyPath);
        const std::string valueNameAnsi = ToAnsi(valueName);
        HKEY key = nullptr;
        if (RegOpenKeyExA(RootHandle(rootKey), keyPathAnsi.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS)
            return RegValue(defaultText);
        KeyCloser closer(key);

        DWORD type = 0;
        DWORD size = kInitialBufferSize;
        std::vector<std::uint8_t> buffer(kInitialBufferSize, 0);
        const LONG status = RegQueryValueExA(key, valueNameAnsi.c_str(), nullptr, &type, buffer.data(), &size);
        if (status == kStatusNotFound || status == kStatusNoMemory)
            return RegValue(defaultText);
        if (status == kStatusMoreData) {
            buffer.resize(size, 0);
            // The value may change between the two queries; the conversion never reads past the buffer.
            RegQueryValueExA(key, valueNameAnsi.c_str(), nullptr, &type, buffer.data(), &size);
        }
        // Any other failure leaves the type at 0, which gives the default.
        return detail::ConvertStoredValue(type, std::move(buffer), size, kAnsi, defaultText);
    } catch (...) {
        return RegValue(defaultText);
    }
}

std::optional<std::u16string> ExpandEnvString(const std::u16string& text) {
    try {
        const std::string source = ToAnsi(text);
        const DWORD needed = ExpandEnvironmentStringsA(source.c_str(), nullptr, 0);
        if (needed == 0)
            return std::nullopt;
        std::vector<char> buffer(needed, '\0');
        ExpandEnvironmentStringsA(source.c_str(), buffer.data(), needed);
        // The ANSI form may report more room than the text takes; the text ends at its NUL.
        std::string_view expanded(buffer.data(), needed - 1);
        expanded = expanded.substr(0, expanded.find('\0'));
        return codepage::AnsiBytesToString(expanded);
    } catch (...) {
        return std::nullopt;
    }
}

} // namespace mRegEdit
