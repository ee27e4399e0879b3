#pragma once
// The INI reading behind modPublicVars::ReadIniValue, over the file's bytes.
#include <cstdint>
#include <string>
#include <vector>

namespace ini_file {

// Value of `key` in the first section named `section`, as the Windows profile reader returns it into
// a 255-byte buffer: blanks and one pair of enclosing quotes removed, at most 254 bytes kept
// (never half a character), decoded as UTF-8 or code page 936. Empty when absent.
std::u16string ReadValue(const std::vector<std::uint8_t>& file, const std::u16string& section,
                         const std::u16string& key);

} // namespace ini_file
