#pragma once
// Read-only access to single registry values.
// On Windows this is the system registry; elsewhere it is the registry of the Wine prefix
// ($WINEPREFIX when set, else ~/.wine): HKEY_CURRENT_USER is <prefix>/user.reg,
// HKEY_LOCAL_MACHINE is <prefix>/system.reg.
#include <cstdint>
#include <optional>
#include <string>
#include <variant>
#include <vector>

namespace mRegEdit {

constexpr std::uint32_t HKEY_CLASSES_ROOT_ = 0x80000000u;
constexpr std::uint32_t HKEY_CURRENT_USER_ = 0x80000001u;
constexpr std::uint32_t HKEY_LOCAL_MACHINE_ = 0x80000002u;
constexpr std::uint32_t HKEY_USERS_ = 0x80000003u;

// Exactly one of: text, a 32-bit signed integer, a byte buffer.
using RegValue = std::variant<std::u16string, std::int32_t, std::vector<std::uint8_t>>;

// The value's content by its registry type; the default (empty text when none is given) when the
// key or value is missing. std::nullopt stands for the read failing with an error: a text value of
// size 0, a multi-string below 2 bytes, an empty binary value, or an expansion that fails.
std::optional<RegValue> GetRegValue(std::uint32_t rootKey, const std::u16string& keyPath,
                                    const std::u16string& valueName,
                                    const std::optional<std::u16string>& defaultValue = std::nullopt);

// Replaces every %NAME% whose variable is set with its value; unknown references stay as they stand.
// "%SystemRoot%\\x" -> "C:\\windows\\x". On Windows the variables are the process's own; under Wine
// they are those a Windows program in the prefix would see (registry_environment.h), never this
// system's: "%ProgramFiles%\\Warcraft III" -> "C:\\Program Files (x86)\\Warcraft III" in a win64
// prefix. std::nullopt when the text cannot be expanded (under Wine: a result over 32767 units).
std::optional<std::u16string> ExpandEnvString(const std::u16string& text);

// Reverses the byte order: 0x01020304 -> 0x04030201.
std::int32_t SwapLong(std::int32_t value);

// The registry value as text, as the game-directory search takes it: text as it stands, a number
// as its decimal digits, bytes as empty text.
std::u16string RegValueAsText(const RegValue& value);

} // namespace mRegEdit
