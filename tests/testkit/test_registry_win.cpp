// The test's registry on Windows: HKEY_CURRENT_USER and HKEY_LOCAL_MACHINE are overridden for this
// process by two keys under HKEY_CURRENT_USER\Software\Ostrawen tests\<process id>-<n>. The keys are
// volatile, so even a test killed before it cleans up leaves nothing after wineserver or Windows restarts.
#include "testkit/test_registry.h"

#include "support/registry.h"
#include "support/win32.h"

#include <atomic>
#include <stdexcept>
#include <string>

namespace testkit {

namespace {

std::atomic<unsigned> g_made{0};

const wchar_t* Wide(const std::u16string& text) {
    return reinterpret_cast<const wchar_t*>(text.c_str());
}

std::u16string Text(const std::wstring& text) {
    return std::u16string(text.begin(), text.end());
}

void Check(LONG status, const char* what) {
    if (status != ERROR_SUCCESS)
        throw std::runtime_error(std::string("test registry: ") + what + " failed with " + std::to_string(status));
}

HKEY CreateVolatileKey(HKEY parent, const std::u16string& path) {
    HKEY key = nullptr;
    Check(
        ::RegCreateKeyExW(parent, Wide(path), 0, nullptr, REG_OPTION_VOLATILE, KEY_ALL_ACCESS, nullptr, &key, nullptr),
        "RegCreateKeyExW");
    return key;
}

} // namespace

class TestRegistry::Store {
public:
    Store() {
        const std::u16string parent = u"Software\\Ostrawen tests";
        m_path =
            parent + u"\\" + Text(std::to_wstring(::GetCurrentProcessId())) + u"-" + Text(std::to_wstring(g_made++));
        // A process of the same id that was killed may have left its keys; they are not ours to read.
        ::RegDeleteTreeW(HKEY_CURRENT_USER, Wide(m_path));
        ::RegCloseKey(CreateVolatileKey(HKEY_CURRENT_USER, parent));
        try {
            m_user = CreateVolatileKey(HKEY_CURRENT_USER, m_path + u"\\CurrentUser");
            m_machine = CreateVolatileKey(HKEY_CURRENT_USER, m_path + u"\\LocalMachine");
            Check(::RegOverridePredefKey(HKEY_CURRENT_USER, m_user), "RegOverridePredefKey");
            Check(::RegOverridePredefKey(HKEY_LOCAL_MACHINE, m_machine), "RegOverridePredefKey");
        } catch (...) {
            Release();
            throw;
        }
    }

    ~Store() { Release(); }

    void Set(std::uint32_t root, const std::u16string& keyPath, const std::u16string& name,
             const RegistryValue& value) {
        if (root != mRegEdit::HKEY_CURRENT_USER_ && root != mRegEdit::HKEY_LOCAL_MACHINE_)
            throw std::invalid_argument("the test registry keeps only HKEY_CURRENT_USER and HKEY_LOCAL_MACHINE");
        const HKEY key = CreateVolatileKey(root == mRegEdit::HKEY_CURRENT_USER_ ? m_user : m_machine, keyPath);
        DWORD type = REG_SZ;
        std::vector<BYTE> bytes;
        switch (value.kind) {
        case RegistryValue::Kind::ExpandableText:
            type = REG_EXPAND_SZ;
            [[fallthrough]];
        case RegistryValue::Kind::Text: {
            // UTF-16LE with the terminating NUL, as RegSetValueExW expects strings.
            const std::u16string& text = value.text;
            for (std::size_t i = 0; i <= text.size(); ++i) {
                const char16_t unit = i < text.size() ? text[i] : u'\0';
                bytes.push_back(static_cast<BYTE>(unit & 0xff));
                bytes.push_back(static_cast<BYTE>(unit >> 8));
            }
            break;
        }
        case RegistryValue::Kind::Number:
            type = REG_DWORD;
            for (int shift = 0; shift < 32; shift += 8)
                bytes.push_back(static_cast<BYTE>(value.number >> shift));
            break;
        case RegistryValue::Kind::Bytes:
            type = REG_BINARY;
            bytes.assign(value.data.begin(), value.data.end());
            break;
        }
        const LONG status = ::RegSetValueExW(key, Wide(name), 0, type, bytes.data(), static_cast<DWORD>(bytes.size()));
        ::RegCloseKey(key);
        Check(status, "RegSetValueExW");
    }

private:
    // The predefined roots are the machine's again before our keys go.
    void Release() {
        ::RegOverridePredefKey(HKEY_CURRENT_USER, nullptr);
        ::RegOverridePredefKey(HKEY_LOCAL_MACHINE, nullptr);
        ::RegCloseKey(m_user);
        ::RegCloseKey(m_machine);
        m_user = m_machine = nullptr;
        ::RegDeleteTreeW(HKEY_CURRENT_USER, Wide(m_path));
    }

    std::u16string m_path;
    HKEY m_user = nullptr;
    HKEY m_machine = nullptr;
};

TestRegistry::TestRegistry(const std::filesystem::path&) : m_store(std::make_unique<Store>()) {}

TestRegistry::~TestRegistry() = default;

void TestRegistry::Set(std::uint32_t root, const std::u16string& keyPath, const std::u16string& name,
                       const RegistryValue& value) {
    m_store->Set(root, keyPath, name, value);
}

} // namespace testkit
