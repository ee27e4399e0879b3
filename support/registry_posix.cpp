// The registry of the Wine prefix the game runs in: HKEY_CURRENT_USER is <prefix>/user.reg and
// HKEY_LOCAL_MACHINE is <prefix>/system.reg, read afresh on every call and never written.
// %NAME% in expandable values takes the prefix's own environment (registry_environment.h).
#include "support/native_path.h"
#include "support/registry.h"
#include "support/registry_convert.h"
#include "support/registry_environment.h"
#include "support/utf8_convert.h"
#include "support/wine_registry.h"

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <pwd.h>
#include <unistd.h>

namespace mRegEdit {

namespace {

namespace fs = std::filesystem;

// Far above any real prefix's files (a few MB); anything larger is not a registry file we should hold.
constexpr std::uintmax_t kMaxRegistryFileSize = 256u * 1024u * 1024u;

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

// The name of the user's profile directory when the prefix does not record it: Wine names it after
// the Unix user.
std::u16string UnixUserName() {
    const char* user = std::getenv("USER");
    if (user && user[0] != '\0')
        return modUtf8Convert::Utf8ToText(user);
    if (const passwd* entry = ::getpwuid(::getuid()))
        return modUtf8Convert::Utf8ToText(entry->pw_name);
    return u"user";
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
        return detail::ConvertStoredValue(value->type, std::move(value->data), size, detail::kUtf16Le, defaultText);
    } catch (...) {
        // Out of memory or a filesystem surprise: as if the registry held nothing.
        return RegValue(defaultText);
    }
}

std::optional<std::u16string> ExpandEnvString(const std::u16string& text) {
    try {
        // The game would expand the value inside the prefix, so the variables are the prefix's own,
        // not this process's: $HOME or a Linux PATH mean nothing there.
        std::string systemReg;
        std::string userReg;
        if (const auto file = RegistryFileFor(HKEY_LOCAL_MACHINE_))
            systemReg = ReadRegistryFile(*file).value_or(std::string());
        if (const auto file = RegistryFileFor(HKEY_CURRENT_USER_))
            userReg = ReadRegistryFile(*file).value_or(std::string());
        return wine_registry::ExpandReferences(text,
                                               wine_registry::PrefixEnvironment(systemReg, userReg, UnixUserName()));
    } catch (...) {
        return std::nullopt;
    }
}

} // namespace mRegEdit
