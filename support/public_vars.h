#pragma once
// Process-wide state shared by the window's handlers, and two small services of the start-up.
#include <string>

namespace modPublicVars {

// The game directory, always ending in the native separator ("/home/p/War3/" or "D:\\War3\\").
extern std::u16string GamePath;
// The chosen archive's file name, relative to GamePath ("War3Patch.mpq").
extern std::u16string MpqName;

// The directory of the running executable, ending in the native separator.
std::u16string GetAppPath();

// One value of an INI file, as the Windows profile reader gives it: empty when the file, the
// section or the key is missing. Blanks and one pair of enclosing quotes are removed, the value is
// cut to 254 bytes without splitting a two-byte character, then decoded as UTF-8 (BOM file, or a
// valid non-ASCII UTF-8 value) or else as code page 936.
std::u16string ReadIniValue(const std::u16string& fileName, const std::u16string& section, const std::u16string& key);

} // namespace modPublicVars
