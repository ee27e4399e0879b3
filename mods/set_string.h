#pragma once
// Finding and replacing the quoted value of a named entry in a text, such as
//   GAMENAME "%s的游戏",
// The entry is the first occurrence of the key, ignoring case, that stands as a whole key at the
// start of a line (only blanks before it, so never inside a "//" comment or a longer word such as
// MYGAMENAME or GAMENAME2). Its value runs from the first '"' after the key to the first '",' after
// that, both on the key's line. When that first entry has no such quote or pair nothing is found:
// `GAMENAME "old"` followed by a line `FOO "bar",` holds no value, rather than one that swallows FOO.
// NewText and OldModStr are written only when the value is found.
// Letter case is folded one UTF-16 code unit at a time (ASCII, Latin-1, Greek, Cyrillic and the
// full-width Latin letters), so a match never changes the text's length or positions.
#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

namespace mods {

bool SetString(std::u16string ProcString, std::u16string ModName, std::u16string NewModStr, std::u16string& NewText,
               std::u16string& OldModStr);

// Where the value of the first entry stands, in code units (0-based): the opening quote is at
// valueBegin - 1, the closing pair '",' at valueEnd. For `K "ab",` with key K: {3, 5}.
struct QuotedValue {
    std::size_t valueBegin = 0;
    std::size_t valueEnd = 0;
};
std::optional<QuotedValue> FindQuotedValue(std::u16string_view text, std::u16string_view key);

// True when only blanks (or the byte-order mark at the text's start) stand between the start of
// pos's line and pos.
bool StartsEntry(std::u16string_view text, std::size_t pos);

// The first position at or after `from` where `key` occurs, letter case ignored as above.
std::optional<std::size_t> FindIgnoringCase(std::u16string_view text, std::u16string_view key, std::size_t from = 0);

} // namespace mods
