#pragma once
// A registry of the test's own, as the product reads it through mRegEdit (support/registry.h): for
// the object's life, values set here under HKEY_CURRENT_USER and HKEY_LOCAL_MACHINE are all that
// GetRegValue finds there, and nothing of the machine's own registry shows through.
//
// Linux: a Wine prefix in the given directory, named by WINEPREFIX; each set rewrites its user.reg
// or system.reg as Wine writes them ("InstallPath"="D:\\Games", str(2):"...", dword:..., hex:...).
// Windows: both roots are mapped, for this process only, to volatile keys of its own
// (RegOverridePredefKey), which go when the object does; test programs running at once each have
// their own and never see another's values. The directory is not used there.
//
// One at a time in a process:
//   testkit::TestRegistry registry(dir / "prefix");
//   registry.Set(mRegEdit::HKEY_CURRENT_USER_, u"Software\\Blizzard Entertainment\\Warcraft III",
//                u"InstallPath", testkit::RegistryValue::Text(u"D:\\Games\\Warcraft III"));
#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

namespace testkit {

// One value and its registry type.
struct RegistryValue {
    enum class Kind { Text, ExpandableText, Number, Bytes };
    Kind kind = Kind::Text;
    std::u16string text;            // Text (REG_SZ), ExpandableText (REG_EXPAND_SZ)
    std::uint32_t number = 0;       // Number (REG_DWORD)
    std::vector<std::uint8_t> data; // Bytes (REG_BINARY)

    static RegistryValue Text(std::u16string text) { return {Kind::Text, std::move(text), 0, {}}; }
    static RegistryValue ExpandableText(std::u16string text) { return {Kind::ExpandableText, std::move(text), 0, {}}; }
    static RegistryValue Number(std::uint32_t number) { return {Kind::Number, {}, number, {}}; }
    static RegistryValue Bytes(std::vector<std::uint8_t> data) { return {Kind::Bytes, {}, 0, std::move(data)}; }
};

class TestRegistry {
public:
    // Throws std::runtime_error when the registry cannot be made the test's own.
    explicit TestRegistry(const std::filesystem::path& directory);
    ~TestRegistry();
    TestRegistry(const TestRegistry&) = delete;
    TestRegistry& operator=(const TestRegistry&) = delete;

    // Sets `name` of the key `keyPath` under `root` (mRegEdit::HKEY_CURRENT_USER_ or
    // HKEY_LOCAL_MACHINE_), making the key as needed. Throws std::runtime_error on failure.
    void Set(std::uint32_t root, const std::u16string& keyPath, const std::u16string& name, const RegistryValue& value);

private:
    class Store;
    std::unique_ptr<Store> m_store;
};

} // namespace testkit
