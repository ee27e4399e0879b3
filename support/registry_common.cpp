#include "support/registry.h"
#include "support/registry_convert.h"

#include <algorithm>
#include <string>
#include <utility>

namespace mRegEdit {

namespace {

// The first four bytes, little-endian; bytes the buffer lacks read as 0.
std::int32_t ReadInt32(const std::vector<std::uint8_t>& buffer) {
    std::uint32_t value = 0;
    for (std::size_t i = 0; i < 4 && i < buffer.size(); ++i)
        value |= static_cast<std::uint32_t>(buffer[i]) << (8 * i);
    return static_cast<std::int32_t>(value);
}

} // namespace

std::int32_t SwapLong(std::int32_t value) {
    const auto bits = static_cast<std::uint32_t>(value);
    const std::uint32_t swapped =
        (bits >> 24) | ((bits >> 8) & 0x0000ff00u) | ((bits << 8) & 0x00ff0000u) | (bits << 24);
    return static_cast<std::int32_t>(swapped);
}

std::u16string RegValueAsText(const RegValue& value) {
    if (const auto* text = std::get_if<std::u16string>(&value))
        return *text;
    if (const auto* number = std::get_if<std::int32_t>(&value)) {
        const std::string digits = std::to_string(*number);
        return std::u16string(digits.begin(), digits.end());
    }
    return {};
}

namespace detail {

std::u16string Utf16LeUnits(const std::uint8_t* data, std::size_t units) {
    std::u16string text(units, u'\0');
    for (std::size_t i = 0; i < units; ++i)
        text[i] = static_cast<char16_t>(data[2 * i] | (static_cast<unsigned>(data[2 * i + 1]) << 8));
    return text;
}

std::optional<RegValue> ConvertStoredValue(std::uint32_t type, std::vector<std::uint8_t> buffer, std::size_t size,
                                           const TextCodec& codec, const std::u16string& defaultText) {
    const std::size_t textUnits = std::min(size, buffer.size()) / codec.unitBytes;
    switch (type) {
    case kRegSz:
    case kRegExpandSz: {
        if (textUnits < 1)
            return std::nullopt;
        std::u16string text = codec.decode(buffer.data(), textUnits - 1);
        if (type == kRegSz)
            return RegValue(std::move(text));
        auto expanded = ExpandEnvString(text);
        if (!expanded)
            return std::nullopt;
        return RegValue(std::move(*expanded));
    }
    case kRegMultiSz:
        if (textUnits < 2)
            return std::nullopt;
        return RegValue(codec.decode(buffer.data(), textUnits - 2));
    case kRegBinary:
        if (size == 0)
            return std::nullopt;
        buffer.resize(size);
        return RegValue(std::move(buffer));
    case kRegDword:
        return RegValue(ReadInt32(buffer));
    case kRegDwordBigEndian:
        return RegValue(SwapLong(ReadInt32(buffer)));
    default:
        return RegValue(defaultText);
    }
}

} // namespace detail

} // namespace mRegEdit
