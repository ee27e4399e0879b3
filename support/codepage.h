#pragma once
// The target's system ANSI code page (936, Simplified Chinese GBK) decoded to text.
#include <cstdint>
#include <string>
#include <string_view>

namespace codepage {

// Decodes bytes in code page 936 with Windows' table (ICU's windows-936-2000 on other systems), the
// same on every platform. A lead byte without a trail byte after it gives U+FFFD, and the byte after
// it is read on its own: "\xD6\xD0" -> U+4E2D, "\x81" "0" -> U+FFFD '0', "A\x81" -> 'A' U+FFFD.
std::u16string AnsiBytesToString(std::string_view bytes);

// True when the byte starts a two-byte character in code page 936.
constexpr bool IsLeadByte936(std::uint8_t byte) {
    return byte >= 0x81 && byte <= 0xFE;
}

} // namespace codepage
