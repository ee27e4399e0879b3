#pragma once
// UTF-8 <-> UTF-16 conversion of whole buffers, as the game's text files need.
// Nothing is added or stripped: a BOM (EF BB BF) becomes U+FEFF and back, a zero byte is U+0000.
// Invalid input never fails: each invalid UTF-8 sequence decodes to U+FFFD, and an unpaired
// surrogate encodes as EF BF BD.
#include <cstdint>
#include <string>
#include <vector>

namespace modUtf8Convert {

std::u16string Utf8BytesToString(const std::vector<std::uint8_t>& bytes);
std::vector<std::uint8_t> StringToUtf8Bytes(const std::u16string& text);

// The same conversions for std::string holding UTF-8 (paths, environment values).
std::u16string Utf8ToText(std::string_view utf8);
std::string TextToUtf8(std::u16string_view text);

} // namespace modUtf8Convert
