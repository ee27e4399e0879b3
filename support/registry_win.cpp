// The Windows registry through advapi32's wide functions: key and value names go in as UTF-16 and
// string data comes back as UTF-16, so no path depends on the system's ANSI code page.
#include "support/registry.h"
#include "support/registry_convert.h"

#include "support/win32.h"

namespace mRegEdit {

namespace {

constexpr LONG kStatusNotFound = 2;   // ERROR_FILE_NOT_FOUND
constexpr LONG kStatusNoMemory = 8;   // ERROR_NOT_ENOUGH_MEMORY
constexpr LONG kStatusMoreData = 234; // ERROR_MORE_DATA
constexpr DWORD kInitialBufferSize = 1024;

const wchar_t* Wide(const std::u16string& text) {
    return reinterpret_cast<const wchar_t*>(text.c_str());
}

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
        HKEY key = nullptr;
        if (RegOpenKeyExW(RootHandle(rootKey), Wide(keyPath), 0, KEY_READ, &key) != ERROR_SUCCESS)
            return RegValue(defaultText);
        KeyCloser closer(key);

        DWORD type = 0;
        DWORD size = kInitialBufferSize;
        std::vector<std::uint8_t> buffer(kInitialBufferSize, 0);
        const LONG status = RegQueryValueExW(key, Wide(valueName), nullptr, &type, buffer.data(), &size);
        if (status == kStatusNotFound || status == kStatusNoMemory)
            return RegValue(defaultText);
        if (status == kStatusMoreData) {
            buffer.resize(size, 0);
            // The value may change between the two queries; the conversion never reads past the buffer.
            RegQueryValueExW(key, Wide(valueName), nullptr, &type, buffer.data(), &size);
        }
        // Any other failure leaves the type at 0, which gives the default.
        return detail::ConvertStoredValue(type, std::move(buffer), size, detail::kUtf16Le, defaultText);
    } catch (...) {
        return RegValue(defaultText);
    }
}

std::optional<std::u16string> ExpandEnvString(const std::u16string& text) {
    try {
        // The variables may change between the calls; then the room asked for again is given.
        std::u16string expanded(text.size() + 1, u'\0');
        for (int attempt = 0; attempt < 4; ++attempt) {
            const DWORD room = static_cast<DWORD>(expanded.size());
            const DWORD needed =
                ExpandEnvironmentStringsW(Wide(text), reinterpret_cast<wchar_t*>(expanded.data()), room);
            if (needed == 0)
                return std::nullopt;
            if (needed <= room) {
                // `needed` counts the closing NUL.
                expanded.resize(needed - 1);
                return expanded;
            }
            expanded.assign(needed, u'\0');
        }
        return std::nullopt;
    } catch (...) {
        return std::nullopt;
    }
}

} // namespace mRegEdit
