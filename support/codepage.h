#pragma once
// The target's system ANSI code page (936, Simplified Chinese GBK) decoded to text.
#include <cstdint>
#include <string>
#include <string_view>

namespace codepage {

// Decodes bytes in code page 936 exactly as Windows does; undecodable bytes give U+FFFD.
std::u16string AnsiBytesToString(std::string_view bytes);

// True when the byte starts a two-byte character in code page 936.
constexpr bool IsLeadByte936(std::uint8_t byte) {
    return byte >= 0x81 && byte <= 0xFE;
}

} // namespace codepage
