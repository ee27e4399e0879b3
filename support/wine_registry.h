#pragma once
/*
 * Reading one value out of the text of a Wine registry file (user.reg, system.reg), the way
 * wineserver loads such a file:
 *
 *   WINE REGISTRY Version 2
 *   ;; All keys relative to \\User\\S-1-5-21-0-0-0-1000
 *   #arch=win32
 *
 *   [Software\\Blizzard Entertainment\\Warcraft III] 1700000000
 *   #time=1d9f0e1a2b3c4d5
 *   "InstallPath"="C:\\Program Files\\Warcraft III"
 *   "Gfx"=hex:01,02,\
 *     03
 *
 * Key paths are relative to the file's root (HKEY_CURRENT_USER for user.reg). Key and value names
 * compare without regard to case. A value listed twice in a key takes its last definition; a value
 * line that cannot be parsed leaves the value with type 0 and no data, as Wine does.
 */
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace wine_registry {

// A value as stored: its registry type number and its data bytes. String types hold UTF-16LE code
// units; a quoted string carries its terminating NUL ("ab" -> 61 00 62 00 00 00).
struct RawValue {
    std::uint32_t type = 0;
    std::vector<std::uint8_t> data;
};

// The value `valueName` ("" for the key's default value "@") of the key `keyPath`
// ("Software\\Blizzard Entertainment\\Warcraft III") in `fileText`. std::nullopt when the text is not
// a Wine registry file or the key or value is not in it. Never throws for any input bytes.
std::optional<RawValue> FindValue(std::string_view fileText, std::u16string_view keyPath,
                                  std::u16string_view valueName);

// Every value of the key, in file order; a value listed twice keeps its place and its last
// definition. Empty when the text is not a Wine registry file or the key is not in it.
struct NamedValue {
    std::u16string name;
    RawValue value;
};
std::vector<NamedValue> KeyValues(std::string_view fileText, std::u16string_view keyPath);

// The file's "#arch=": 32 for win32, 64 for win64, 0 when it states none (or an unknown one).
int Architecture(std::string_view fileText);

// The user a user.reg belongs to, from its ";; All keys relative to \\User\\S-1-5-21-0-0-0-1000"
// line: "S-1-5-21-0-0-0-1000". std::nullopt when the line is missing.
std::optional<std::u16string> RootUser(std::string_view fileText);

// Case-insensitive equality of registry names: ASCII plus the simple case pairs of Latin-1, Latin
// Extended-A, Greek, Cyrillic and the full-width Latin letters.
bool NamesEqual(std::u16string_view left, std::u16string_view right);

} // namespace wine_registry
