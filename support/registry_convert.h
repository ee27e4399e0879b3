#pragma once
// The registry type table shared by the Windows reader and the Wine-prefix reader: how a stored
// value becomes the reader's result. Only the registry sources include this.
#include "support/registry.h"

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace mRegEdit::detail {

constexpr std::uint32_t kRegSz = 1;
constexpr std::uint32_t kRegExpandSz = 2;
constexpr std::uint32_t kRegBinary = 3;
constexpr std::uint32_t kRegDword = 4;
constexpr std::uint32_t kRegDwordBigEndian = 5;
constexpr std::uint32_t kRegMultiSz = 7;

// How string data becomes text: `decode` turns the first `units` units of `data` into text, each
// unit `unitBytes` long. Both readers hold UTF-16LE (RegQueryValueExW's data, a Wine registry file's
// values), so a unit is two bytes and an odd last byte is no part of the text.
struct TextCodec {
    std::size_t unitBytes;
    std::u16string (*decode)(const std::uint8_t* data, std::size_t units);
};

// UTF-16LE units as both readers hold them, two bytes a unit.
std::u16string Utf16LeUnits(const std::uint8_t* data, std::size_t units);
inline constexpr TextCodec kUtf16Le{2, &Utf16LeUnits};

// The result for a value of `type` whose `size` bytes start `buffer` (the buffer may be longer, as
// the Windows read buffer is). Strings lose their terminating NUL (a multi-string its closing double
// NUL); types other than 1, 2, 3, 4, 5 and 7 give `defaultText`. std::nullopt when the data cannot be
// converted: a string of no units, a multi-string of fewer than two, an empty binary value, or an
// expansion that fails.
std::optional<RegValue> ConvertStoredValue(std::uint32_t type, std::vector<std::uint8_t> buffer, std::size_t size,
                                           const TextCodec& codec, const std::u16string& defaultText);

} // namespace mRegEdit::detail
