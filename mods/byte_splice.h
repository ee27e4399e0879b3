#pragma once
// Replacing a piece of a decoded text file while every byte outside it stays as it was read.
// Decoding and encoding the whole file again would not do: a stray invalid byte such as 0xFF
// decodes to U+FFFD and comes back as EF BF BD.
//
// The piece is located in the decoded text and must be enclosed by two ASCII characters, the
// anchors (the quotes around a value, the '\' before and the 'C' after a race word). A decoder
// turns an ASCII byte into that character and never swallows one into an invalid sequence, so the
// n-th anchor character in the text is the n-th byte of that value in the file, whatever the
// decoder did with invalid bytes elsewhere. Example: bytes `FF "a",` decode to U+FFFD ` "a",`;
// replacing [2, 3) by "b" keeps FF and gives `FF "b",`.
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace mods {

// The byte range [first, last) that the code units [begin, end) of `decoded` came from, found by the
// same anchors; nothing under the same conditions as below.
std::optional<std::pair<std::size_t, std::size_t>> DecodedSpanBytes(const std::vector<std::uint8_t>& bytes,
                                                                    const std::u16string& decoded, std::size_t begin,
                                                                    std::size_t end);

// The bytes with the code units [begin, end) of `decoded` (the text decoded from `bytes`) replaced
// by the UTF-8 of `replacement`. decoded[begin - 1] and decoded[end] must be ASCII; nothing when
// they are not, or when the text and the bytes disagree about them.
std::optional<std::vector<std::uint8_t>> SpliceDecoded(const std::vector<std::uint8_t>& bytes,
                                                       const std::u16string& decoded, std::size_t begin,
                                                       std::size_t end, const std::u16string& replacement);

} // namespace mods
