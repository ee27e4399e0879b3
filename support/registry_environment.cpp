#include "support/registry_environment.h"

#include "support/wine_registry.h"

#include <cstdint>

namespace wine_registry {
namespace {

constexpr std::uint32_t kRegSz = 1;
constexpr std::uint32_t kRegExpandSz = 2;

// Stored UTF-16LE up to the first NUL (the terminating one, or an embedded one Windows would stop at).
std::u16string StoredText(const RawValue& value) {
    std::u16string text;
    for (std::size_t i = 0; i + 1 < value.data.size(); i += 2) {
        const auto unit = static_cast<char16_t>(value.data[i] | (static_cast<unsigned>(value.data[i + 1]) << 8));
        if (unit == u'\0')
            break;
        text.push_back(unit);
    }
    return text;
}

void Set(Environment& environment, std::u16string name, std::u16string value) {
    if (name.empty() || name.find(u'=') != std::u16string::npos || value.size() > kMaxVariableLength)
        return;
    for (Variable& variable : environment) {
        if (NamesEqual(variable.name, name)) {
            variable.value = std::move(value);
            return;
        }
    }
    environment.push_back({std::move(name), std::move(value)});
}

void SetFromKey(Environment& environment, const std::vector<NamedValue>& values) {
    for (const NamedValue& entry : values) {
        if (entry.value.type == kRegSz)
            Set(environment, entry.name, StoredText(entry.value));
    }
    for (const NamedValue& entry : values) {
        if (entry.value.type != kRegExpandSz)
            continue;
        if (auto expanded = ExpandReferences(StoredText(entry.value), environment))
            Set(environment, entry.name, std::move(*expanded));
    }
}

std::u16string ProfileDirectory(std::string_view systemReg, std::string_view userReg, std::u16string_view userName) {
    if (const auto user = RootUser(userReg)) {
        const auto stored = FindValue(
            systemReg, u"Software\\Microsoft\\Windows NT\\CurrentVersion\\ProfileList\\" + *user, u"ProfileImagePath");
        if (stored && (stored->type == kRegSz || stored->type == kRegExpandSz)) {
            const std::u16string path = StoredText(*stored);
            if (!path.empty())
                return path;
        }
    }
    return u"C:\\users\\" + std::u16string(userName);
}

} // namespace

Environment PrefixEnvironment(std::string_view systemReg, std::string_view userReg, std::u16string_view userName) {
    int architecture = Architecture(systemReg);
    if (architecture == 0)
        architecture = Architecture(userReg);

    Environment environment;
    Set(environment, u"SystemRoot", u"C:\\windows");
    Set(environment, u"windir", u"C:\\windows");
    if (architecture == 64) {
        // The game is a 32-bit program: in a 64-bit prefix it runs under WoW64 and is shown the x86 folder.
        Set(environment, u"ProgramFiles", u"C:\\Program Files (x86)");
        Set(environment, u"ProgramFiles(x86)", u"C:\\Program Files (x86)");
    } else {
        Set(environment, u"ProgramFiles", u"C:\\Program Files");
    }
    Set(environment, u"USERPROFILE", ProfileDirectory(systemReg, userReg, userName));

    SetFromKey(environment, KeyValues(systemReg, u"System\\CurrentControlSet\\Control\\Session Manager\\Environment"));
    SetFromKey(environment, KeyValues(userReg, u"Environment"));
    return environment;
}

std::optional<std::u16string> LookUp(const Environment& environment, std::u16string_view name) {
    for (const Variable& variable : environment) {
        if (NamesEqual(variable.name, name))
            return variable.value;
    }
    return std::nullopt;
}

std::optional<std::u16string> ExpandReferences(std::u16string_view text, const Environment& environment) {
    std::u16string result;
    std::size_t pos = 0;
    while (pos < text.size()) {
        if (result.size() > kMaxVariableLength)
            return std::nullopt;
        if (text[pos] != u'%') {
            result.push_back(text[pos++]);
            continue;
        }
        const std::size_t close = text.find(u'%', pos + 1);
        if (close == std::u16string_view::npos) {
            // An unfinished reference stays as written.
            result.append(text.substr(pos));
            break;
        }
        const std::u16string_view name = text.substr(pos + 1, close - pos - 1);
        const std::u16string* value = nullptr;
        for (const Variable& variable : environment) {
            if (!name.empty() && NamesEqual(variable.name, name)) {
                value = &variable.value;
                break;
            }
        }
        if (value)
            result += *value;
        else
            result.append(text.substr(pos, close - pos + 1));
        pos = close + 1;
    }
    if (result.size() > kMaxVariableLength)
        return std::nullopt;
    return result;
}

} // namespace wine_registry
