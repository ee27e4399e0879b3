// The registry of the Wine prefix the game runs in: HKEY_CURRENT_USER is <prefix>/user.reg and
// HKEY_LOCAL_MACHINE is <prefix>/system.reg, read afresh on every call and never written.
#include "support/native_path.h"
#include "support/registry.h"
#include "support/registry_convert.h"
#include "support/utf8_convert.h"
#include "support/wine_registry.h"

#include <cstdlib>
#include <filesystem>
#include <fstream>

extern char** environ;

namespace mRegEdit {

namespace {

namespace fs = std::filesystem;

// Far above any real prefix's files (a few MB); anything larger is not a registry file we should hold.
constexpr std::uintmax_t kMaxRegistryFileSize = 256u * 1024u * 1024u;

std::u16string Utf16LeUnits(const std::uint8_t* data, std::size_t units) {
    std::u16string text(units, u'\0');
    for (std::size_t i = 0; i < units; ++i)
        text[i] = static_cast<char16_t>(data[2 * i] | (static_cast<unsigned>(data[2 * i + 1]) << 8));
    return text;
}

constexpr detail::TextCodec kUtf16Le{2, &Utf16LeUnits};

std::optional<std::string> ReadRegistryFile(const fs::path& path) {
    std::error_code error;
    // A FIFO or device in the file's place would block or never end; only a plain file is read.
    if (!fs::is_regular_file(path, error) || error)
        return std::nullopt;
    const std::uintmax_t size = fs::file_size(path, error);
    if (error || size > kMaxRegistryFileSize)
        return std::nullopt;
    std::ifstream in(path, std::ios::binary);
    if (!in)
        return std::nullopt;
    std::string text(static_cast<std::size_t>(size), '\0');
    in.read(text.data(), static_cast<std::streamsize>(text.size()));
    if (in.bad())
        return std::nullopt;
    // The file may have shrunk since its size was taken; what was read is what counts.
    text.resize(static_cast<std::size_t>(in.gcount()));
    return text;
}

std::optional<fs::path> RegistryFileFor(std::uint32_t rootKey) {
    const char* fileName = nullptr;
    if (rootKey == HKEY_CURRENT_USER_)
        fileName = "user.reg";
    else if (rootKey == HKEY_LOCAL_MACHINE_)
        fileName = "system.reg";
    else
        return std::nullopt;
    const fs::path prefix(modUtf8Convert::TextToUtf8(native_path::WinePrefix()));
    // Wine itself refuses a relative prefix, so there is no registry to read then.
    if (!prefix.is_absolute())
        return std::nullopt;
    return prefix / fileName;
}

bool AsciiNamesEqual(std::string_view left, std::string_view right) {
    if (left.size() != right.size())
        return false;
    for (std::size_t i = 0; i < left.size(); ++i) {
        auto lower = [](char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; };
        if (lower(left[i]) != lower(right[i]))
            return false;
    }
    return true;
}

// The variable's value; Windows names ignore case, so an exact match is tried first and then any
// variable whose name differs only in case.
std::optional<std::u16string> LookUpVariable(const std::u16string& name) {
    const std::string nameUtf8 = modUtf8Convert::TextToUtf8(name);
    if (nameUtf8.empty() || nameUtf8.find('=') != std::string::npos)
        return std::nullopt;
    if (const char* value = std::getenv(nameUtf8.c_str()))
        return modUtf8Convert::Utf8ToText(value);
    for (char** entry = environ; entry && *entry; ++entry) {
        const std::string_view definition(*entry);
        const std::size_t equals = definition.find('=');
        if (equals == std::string_view::npos)
            continue;
        if (AsciiNamesEqual(definition.substr(0, equals), nameUtf8))
            return modUtf8Convert::Utf8ToText(definition.substr(equals + 1));
    }
    return std::nullopt;
}

} // namespace

std::optional<RegValue> GetRegValue(std::uint32_t rootKey, const std::u16string& keyPath,
                                    const std::u16string& valueName,
                                    const std::optional<std::u16string>& defaultValue) {
    const std::u16string defaultText = defaultValue.value_or(std::u16string());
    try {
        const auto file = RegistryFileFor(rootKey);
        if (!file)
            return RegValue(defaultText);
        const auto text = ReadRegistryFile(*file);
        if (!text)
            return RegValue(defaultText);
        auto value = wine_registry::FindValue(*text, keyPath, valueName);
        if (!value)
            return RegValue(defaultText);
        const std::size_t size = value->data.size();
        return detail::ConvertStoredValue(value->type, std::move(value->data), size, kUtf16Le, defaultText);
    } catch (...) {
        // Out of memory or a filesystem surprise: as if the registry held nothing.
        return RegValue(defaultText);
    }
}

std::optional<std::u16string> ExpandEnvString(const std::u16string& text) {
    try {
        std::u16string result;
        std::size_t pos = 0;
        while (pos < text.size()) {
            if (text[pos] != u'%') {
                result.push_back(text[pos++]);
                continue;
            }
            const std::size_t close = text.find(u'%', pos + 1);
            if (close == std::u16string::npos) {
                // An unfinished reference stays as written.
                result.append(text, pos, std::u16string::npos);
                break;
            }
            if (auto value = LookUpVariable(text.substr(pos + 1, close - pos - 1)))
                result += *value;
            else
                result.append(text, pos, close - pos + 1);
            pos = close + 1;
        }
        return result;
    } catch (...) {
        return std::nullopt;
    }
}

} // namespace mRegEdit
