#include "mods/byte_splice.h"

#include "support/utf8_convert.h"

#include <algorithm>

namespace mods {
namespace {

// The byte offset of the ASCII code unit decoded[index], or nothing when the text and the bytes
// hold that character a different number of times (a decoder that made ASCII out of something else).
std::optional<std::size_t> ByteOffsetOfAnchor(const std::vector<std::uint8_t>& bytes, const std::u16string& decoded,
                                              std::size_t index) {
    const char16_t anchor = decoded[index];
    if (anchor >= 0x80)
        return std::nullopt;
    const auto anchorByte = static_cast<std::uint8_t>(anchor);
    if (std::count(decoded.begin(), decoded.end(), anchor) != std::count(bytes.begin(), bytes.end(), anchorByte)) {
        return std::nullopt;
    }
    const auto rank = std::count(decoded.begin(), decoded.begin() + static_cast<std::ptrdiff_t>(index), anchor);
    std::ptrdiff_t seen = 0;
    for (std::size_t offset = 0; offset < bytes.size(); ++offset) {
        if (bytes[offset] != anchorByte)
            continue;
        if (seen == rank)
            return offset;
        ++seen;
    }
    return std::nullopt;
}

} // namespace

std::optional<std::pair<std::size_t, std::size_t>> DecodedSpanBytes(const std::vector<std::uint8_t>& bytes,
                                                                    const std::u16string& decoded, std::size_t begin,
                                                                    std::size_t end) {
    if (begin == 0 || begin > end || end >= decoded.size())
        return std::nullopt;
    const auto headEnd = ByteOffsetOfAnchor(bytes, decoded, begin - 1);
    const auto tailBegin = ByteOffsetOfAnchor(bytes, decoded, end);
    if (!headEnd || !tailBegin || *headEnd >= *tailBegin)
        return std::nullopt;
    return std::pair(*headEnd + 1, *tailBegin);
}

std::optional<std::vector<std::uint8_t>> SpliceDecoded(const std::vector<std::uint8_t>& bytes,
                                                       const std::u16string& decoded, std::size_t begin,
                                                       std::size_t end, const std::u16string& replacement) {
    const auto span = DecodedSpanBytes(bytes, decoded, begin, end);
    if (!span)
        return std::nullopt;
    const std::vector<std::uint8_t> middle = modUtf8Convert::StringToUtf8Bytes(replacement);
    std::vector<std::uint8_t> spliced;
    spliced.reserve(span->first + middle.size() + (bytes.size() - span->second));
    spliced.insert(spliced.end(), bytes.begin(), bytes.begin() + static_cast<std::ptrdiff_t>(span->first));
    spliced.insert(spliced.end(), middle.begin(), middle.end());
    spliced.insert(spliced.end(), bytes.begin() + static_cast<std::ptrdiff_t>(span->second), bytes.end());
    return spliced;
}

} // namespace mods
