#include "mods/set_string.h"

namespace mods {
namespace {

// Simple case folding of one code unit to lower case. Only the scripts where an upper and a lower
// letter are both single code units at a fixed distance are folded; everything else stays, so
// folding never changes the number of code units.
char16_t FoldCase(char16_t unit) {
    if (unit >= u'A' && unit <= u'Z')
        return static_cast<char16_t>(unit + 0x20);
    if (unit < 0x80)
        return unit;
    // Latin-1: À..Þ except the multiplication sign.
    if (unit >= 0x00C0 && unit <= 0x00DE && unit != 0x00D7)
        return static_cast<char16_t>(unit + 0x20);
    // Greek capitals Α..Ω (0x03A2 is unassigned).
    if (unit >= 0x0391 && unit <= 0x03A9 && unit != 0x03A2)
        return static_cast<char16_t>(unit + 0x20);
    // Cyrillic: Ѐ..Џ and А..Я.
    if (unit >= 0x0400 && unit <= 0x040F)
        return static_cast<char16_t>(unit + 0x50);
    if (unit >= 0x0410 && unit <= 0x042F)
        return static_cast<char16_t>(unit + 0x20);
    // Full-width Ａ..Ｚ.
    if (unit >= 0xFF21 && unit <= 0xFF3A)
        return static_cast<char16_t>(unit + 0x20);
    return unit;
}

constexpr std::u16string_view kClosingPair = u"\",";

bool IsLineBreak(char16_t unit) {
    return unit == u'\r' || unit == u'\n';
}

// A letter, digit or '_' after the key's last letter makes a longer key ("GAMENAME2").
bool ContinuesKey(char16_t unit) {
    return unit == u'_' || (unit >= u'0' && unit <= u'9') || (unit >= u'A' && unit <= u'Z') ||
           (unit >= u'a' && unit <= u'z');
}

// The end of the line holding `pos`: the position of its CR or LF, or the text's size.
std::size_t LineEnd(std::u16string_view text, std::size_t pos) {
    while (pos < text.size() && !IsLineBreak(text[pos]))
        ++pos;
    return pos;
}

} // namespace

bool StartsEntry(std::u16string_view text, std::size_t pos) {
    while (pos > 0) {
        const char16_t before = text[pos - 1];
        if (IsLineBreak(before))
            return true;
        // Only blanks may stand before an entry on its line; a byte-order mark only at the file's start.
        if (before != u' ' && before != u'\t' && !(before == u'\uFEFF' && pos == 1))
            return false;
        --pos;
    }
    return true;
}

std::optional<std::size_t> FindIgnoringCase(std::u16string_view text, std::u16string_view key, std::size_t from) {
    if (from > text.size() || key.size() > text.size() - from)
        return std::nullopt;
    for (std::size_t start = from; start + key.size() <= text.size(); ++start) {
        std::size_t matched = 0;
        while (matched < key.size() && FoldCase(text[start + matched]) == FoldCase(key[matched]))
            ++matched;
        if (matched == key.size())
            return start;
    }
    return std::nullopt;
}

std::optional<QuotedValue> FindQuotedValue(std::u16string_view text, std::u16string_view key) {
    if (key.empty())
        return std::nullopt;
    // Occurrences inside a comment, inside a longer word or after other text on their line are not the
    // entry: taking one of them would show and overwrite some other entry's value.
    std::size_t from = 0;
    std::optional<std::size_t> keyPos;
    while ((keyPos = FindIgnoringCase(text, key, from))) {
        const std::size_t keyEnd = *keyPos + key.size();
        if (StartsEntry(text, *keyPos) && (keyEnd == text.size() || !ContinuesKey(text[keyEnd])))
            break;
        from = *keyPos + 1;
    }
    if (!keyPos)
        return std::nullopt;
    // The first entry decides. Its quote and closing pair must stand on its own line: a pair found on a
    // later line would make the value swallow the entries between them.
    const std::u16string_view line = text.substr(0, LineEnd(text, *keyPos + key.size()));
    const std::size_t quote = line.find(u'"', *keyPos + key.size());
    if (quote == std::u16string_view::npos)
        return std::nullopt;
    const std::size_t pair = line.find(kClosingPair, quote + 1);
    if (pair == std::u16string_view::npos)
        return std::nullopt;
    return QuotedValue{quote + 1, pair};
}

bool SetString(std::u16string ProcString, std::u16string ModName, std::u16string NewModStr, std::u16string& NewText,
               std::u16string& OldModStr) {
    const auto value = FindQuotedValue(ProcString, ModName);
    if (!value)
        return false;
    std::u16string oldValue = ProcString.substr(value->valueBegin, value->valueEnd - value->valueBegin);
    ProcString.replace(value->valueBegin, value->valueEnd - value->valueBegin, NewModStr);
    // Outputs are assigned last: the caller may pass the source of ProcString as NewText.
    NewText = std::move(ProcString);
    OldModStr = std::move(oldValue);
    return true;
}

} // namespace mods
