// The test's registry as a Wine prefix of its own: the product reads user.reg and system.reg
// afresh on every call, so each set rewrites the whole file.
#include "testkit/test_registry.h"

#include "support/registry.h"
#include "testkit/temp_dir.h"

#include <cstdio>
#include <stdexcept>
#include <utility>

namespace fs = std::filesystem;

namespace testkit {

namespace {

// Wine's escapes: a backslash before '\\' and '"', \x and four hex digits for every unit outside
// printable ASCII (the reader takes up to four).
std::string Escaped(const std::u16string& text) {
    std::string out;
    for (const char16_t unit : text) {
        if (unit == u'\\' || unit == u'"') {
            out += '\\';
            out += static_cast<char>(unit);
        } else if (unit < 0x20 || unit > 0x7e) {
            char escape[8];
            std::snprintf(escape, sizeof escape, "\\x%04x", static_cast<unsigned>(unit));
            out += escape;
        } else {
            out += static_cast<char>(unit);
        }
    }
    return out;
}

std::string ValueLine(const std::u16string& name, const RegistryValue& value) {
    std::string line = "\"" + Escaped(name) + "\"=";
    char digits[16];
    switch (value.kind) {
    case RegistryValue::Kind::Text:
        return line + "\"" + Escaped(value.text) + "\"";
    case RegistryValue::Kind::ExpandableText:
        return line + "str(2):\"" + Escaped(value.text) + "\"";
    case RegistryValue::Kind::Number:
        std::snprintf(digits, sizeof digits, "%08x", static_cast<unsigned>(value.number));
        return line + "dword:" + digits;
    case RegistryValue::Kind::Bytes:
        line += "hex:";
        for (std::size_t i = 0; i < value.data.size(); ++i) {
            std::snprintf(digits, sizeof digits, i == 0 ? "%02x" : ",%02x", value.data[i]);
            line += digits;
        }
        return line;
    }
    throw std::logic_error("unknown registry value kind");
}

struct Key {
    std::u16string path;
    std::vector<std::pair<std::u16string, std::string>> lines; // value name, its line
};

} // namespace

class TestRegistry::Store {
public:
    explicit Store(const fs::path& prefix) : m_prefix(prefix), m_env("WINEPREFIX", prefix.string()) {
        fs::create_directories(prefix);
    }

    void Set(std::uint32_t root, const std::u16string& keyPath, const std::u16string& name,
             const RegistryValue& value) {
        if (root != mRegEdit::HKEY_CURRENT_USER_ && root != mRegEdit::HKEY_LOCAL_MACHINE_)
            throw std::invalid_argument("a Wine prefix keeps only HKEY_CURRENT_USER and HKEY_LOCAL_MACHINE");
        const bool user = root == mRegEdit::HKEY_CURRENT_USER_;
        std::vector<Key>& keys = user ? m_userKeys : m_machineKeys;
        Key* key = nullptr;
        for (Key& existing : keys)
            key = existing.path == keyPath ? &existing : key;
        if (key == nullptr)
            key = &keys.emplace_back(Key{keyPath, {}});
        std::string line = ValueLine(name, value);
        bool replaced = false;
        for (auto& [existingName, existingLine] : key->lines) {
            if (existingName == name) {
                existingLine = line;
                replaced = true;
            }
        }
        if (!replaced)
            key->lines.emplace_back(name, std::move(line));
        Write(user);
    }

private:
    void Write(bool user) {
        std::string text = std::string("WINE REGISTRY Version 2\n;; All keys relative to ") +
                           (user ? "\\\\User\\\\S-1-5-21-0-0-0-1000" : "\\\\Machine") + "\n\n#arch=win32\n";
        for (const Key& key : user ? m_userKeys : m_machineKeys) {
            text += "\n[" + Escaped(key.path) + "] 1700000000\n#time=1da0000000000000\n";
            for (const auto& [name, line] : key.lines)
                text += line + "\n";
        }
        WriteFile(m_prefix / (user ? "user.reg" : "system.reg"), text);
    }

    fs::path m_prefix;
    ScopedEnv m_env;
    std::vector<Key> m_userKeys;
    std::vector<Key> m_machineKeys;
};

TestRegistry::TestRegistry(const fs::path& directory) : m_store(std::make_unique<Store>(directory)) {}

TestRegistry::~TestRegistry() = default;

void TestRegistry::Set(std::uint32_t root, const std::u16string& keyPath, const std::u16string& name,
                       const RegistryValue& value) {
    m_store->Set(root, keyPath, name, value);
}

} // namespace testkit
