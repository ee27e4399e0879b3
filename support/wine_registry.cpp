#include "support/wine_registry.h"

#include <array>
#include <utility>

namespace wine_registry {

namespace {

constexpr std::string_view kHeader = "WINE REGISTRY Version 2";

// The C locale's notion of blanks and hex digits, independent of whatever locale the process runs in.
bool IsSpace(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r'; }

int HexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

bool IsHexDigit(char c) { return HexValue(c) >= 0; }

std::size_t SkipSpaces(std::string_view text, std::size_t pos) {
    while (pos < text.size() && IsSpace(text[pos])) ++pos;
    return pos;
}

// Lines as wineserver reads them: without the newline and a carriage return before it, and cut at an
// embedded NUL byte.
class LineReader {
public:
    explicit LineReader(std::string_view text) : m_text(text) {}

    bool Next(std::string_view& line) {
        if (m_pos >= m_text.size()) return false;
        std::size_t end = m_text.find('\n', m_pos);
        const bool hasNewline = end != std::string_view::npos;
        if (!hasNewline) end = m_text.size();
        line = m_text.substr(m_pos, end - m_pos);
        m_pos = hasNewline ? end + 1 : end;
        if (const std::size_t nul = line.find('\0'); nul != std::string_view::npos)
            line = line.substr(0, nul);
        else if (hasNewline && !line.empty() && line.back() == '\r')
            line.remove_suffix(1);
        return true;
    }

private:
    std::string_view m_text;
    std::size_t m_pos = 0;
};

// strtoul(text, &end, 16) as the C library does it: leading blanks, a sign, an optional 0x, and
// saturation at the maximum on overflow. `used` is 0 when no digit was found.
std::uint64_t ParseUnsignedHex(std::string_view text, std::size_t& used) {
    std::size_t pos = SkipSpaces(text, 0);
    bool negative = false;
    if (pos < text.size() && (text[pos] == '+' || text[pos] == '-')) negative = text[pos++] == '-';
    if (pos + 2 < text.size() && text[pos] == '0' && (text[pos + 1] == 'x' || text[pos + 1] == 'X') &&
        IsHexDigit(text[pos + 2]))
        pos += 2;
    const std::size_t digitsStart = pos;
    std::uint64_t value = 0;
    bool overflow = false;
    for (; pos < text.size() && IsHexDigit(text[pos]); ++pos) {
        if (value > (UINT64_MAX >> 4)) overflow = true;
        value = (value << 4) | static_cast<std::uint64_t>(HexValue(text[pos]));
    }
    if (pos == digitsStart) {
        used = 0;
        return 0;
    }
    used = pos;
    if (overflow) return UINT64_MAX;
    return negative ? (~value + 1) : value;
}

struct EscapedText {
    std::u16string units;   // with the terminating NUL that Wine appends
    std::size_t length = 0; // input bytes consumed, including the closing delimiter
};

// One UTF-8 sequence starting at a byte >= 0x80; invalid sequences are dropped, as Wine does.
void DecodeUtf8(std::string_view src, std::size_t& pos, std::u16string& out) {
    static constexpr std::array<std::uint8_t, 4> kMask = {0x7f, 0x1f, 0x0f, 0x07};
    static constexpr std::array<std::uint32_t, 4> kMinimum = {0x0, 0x80, 0x800, 0x10000};
    const auto lead = static_cast<std::uint8_t>(src[pos++]);
    int trailing = 0;
    if (lead >= 0xc2 && lead <= 0xdf)
        trailing = 1;
    else if (lead >= 0xe0 && lead <= 0xef)
        trailing = 2;
    else if (lead >= 0xf0 && lead <= 0xf4)
        trailing = 3;
    if (trailing == 0) return;
    std::uint32_t code = lead & kMask[static_cast<std::size_t>(trailing)];
    for (int i = 0; i < trailing; ++i) {
        if (pos >= src.size()) return;
        const std::uint8_t bits = static_cast<std::uint8_t>(src[pos]) ^ 0x80;
        if (bits >= 0x40) return;
        code = (code << 6) | bits;
        ++pos;
    }
    if (code < kMinimum[static_cast<std::size_t>(trailing)] || code > 0x10ffff) return;
    if (code <= 0xffff) {
        out.push_back(static_cast<char16_t>(code));
    } else {
        code -= 0x10000;
        out.push_back(static_cast<char16_t>(0xd800 | (code >> 10)));
        out.push_back(static_cast<char16_t>(0xdc00 | (code & 0x3ff)));
    }
}

// A quoted string or key name up to `endChar`, with Wine's escapes: \a \b \e \f \n \r \t \v, octal
// \ooo, \x with up to four hex digits, and a backslash before any other character taking it as is.
// std::nullopt when the delimiter is missing.
std::optional<EscapedText> ParseEscaped(std::string_view src, char endChar) {
    EscapedText result;
    std::u16string& out = result.units;
    std::size_t pos = 0;
    while (pos < src.size() && src[pos] != endChar) {
        if (src[pos] == '\\') {
            if (++pos >= src.size()) break;
            const char c = src[pos];
            char16_t simple = 0;
            switch (c) {
            case 'a': simple = u'\a'; break;
            case 'b': simple = u'\b'; break;
            case 'e': simple = 0x1b; break;
            case 'f': simple = u'\f'; break;
            case 'n': simple = u'\n'; break;
            case 'r': simple = u'\r'; break;
            case 't': simple = u'\t'; break;
            case 'v': simple = u'\v'; break;
            default: break;
            }
            if (simple != 0) {
                out.push_back(simple);
                ++pos;
                continue;
            }
            if (c == 'x') {
                ++pos;
                if (pos >= src.size() || !IsHexDigit(src[pos])) {
                    out.push_back(u'x');
                    continue;
                }
                unsigned value = 0;
                for (int digits = 0; digits < 4 && pos < src.size() && IsHexDigit(src[pos]); ++digits)
                    value = value * 16 + static_cast<unsigned>(HexValue(src[pos++]));
                out.push_back(static_cast<char16_t>(value));
                continue;
            }
            if (c >= '0' && c <= '7') {
                unsigned value = static_cast<unsigned>(c - '0');
                ++pos;
                for (int digits = 1; digits < 3 && pos < src.size() && src[pos] >= '0' && src[pos] <= '7'; ++digits)
                    value = value * 8 + static_cast<unsigned>(src[pos++] - '0');
                out.push_back(static_cast<char16_t>(value));
                continue;
            }
            // Any other escaped character stands for itself.
        }
        if (static_cast<std::uint8_t>(src[pos]) < 0x80)
            out.push_back(static_cast<char16_t>(src[pos++]));
        else
            DecodeUtf8(src, pos, out);
    }
    if (pos >= src.size()) return std::nullopt;
    out.push_back(u'\0');
    result.length = pos + 1;
    return result;
}

std::vector<std::uint8_t> Utf16LeBytes(const std::u16string& units) {
    std::vector<std::uint8_t> bytes;
    bytes.reserve(units.size() * 2);
    for (const char16_t unit : units) {
        bytes.push_back(static_cast<std::uint8_t>(unit & 0xff));
        bytes.push_back(static_cast<std::uint8_t>(unit >> 8));
    }
    return bytes;
}

// A comma-separated hex byte list, continued onto the next line by a trailing backslash.
std::optional<std::vector<std::uint8_t>> ParseHexList(std::string_view text, LineReader& reader) {
    std::vector<std::uint8_t> bytes;
    for (;;) {
        std::size_t pos = 0;
        while (pos < text.size() && IsHexDigit(text[pos])) {
            std::size_t used = 0;
            const std::uint64_t value = ParseUnsignedHex(text.substr(pos), used);
            if (used == 0 || value > 0xff) return std::nullopt;
            bytes.push_back(static_cast<std::uint8_t>(value));
            pos = SkipSpaces(text, pos + used);
            if (pos < text.size() && text[pos] == ',') ++pos;
            pos = SkipSpaces(text, pos);
        }
        pos = SkipSpaces(text, pos);
        if (pos >= text.size()) return bytes;
        if (text[pos] != '\\') return std::nullopt;
        if (!reader.Next(text)) return std::nullopt;
        text = text.substr(SkipSpaces(text, 0));
    }
}

constexpr std::uint32_t kRegSz = 1;
constexpr std::uint32_t kRegExpandSz = 2;
constexpr std::uint32_t kRegBinary = 3;
constexpr std::uint32_t kRegDword = 4;
constexpr std::uint32_t kRegMultiSz = 7;

// The data after "=": a type tag and the data in the form the tag implies. std::nullopt when it is
// malformed. Without `wantData` only as much is parsed as decides which lines the value occupies.
std::optional<RawValue> ParseData(std::string_view text, LineReader& reader, bool wantData) {
    enum class Form { String, Dword, Hex };
    struct Tag {
        std::string_view prefix;
        std::uint32_t type;
        Form form;
    };
    static constexpr std::array<Tag, 6> kTags = {{
        {"\"", kRegSz, Form::String},
        {"str:\"", kRegSz, Form::String},
        {"str(2):\"", kRegExpandSz, Form::String},
        {"str(7):\"", kRegMultiSz, Form::String},
        {"hex:", kRegBinary, Form::Hex},
        {"dword:", kRegDword, Form::Dword},
    }};

    RawValue value;
    Form form = Form::Hex;
    bool tagged = false;
    for (const Tag& tag : kTags) {
        if (text.substr(0, tag.prefix.size()) == tag.prefix) {
            value.type = tag.type;
            form = tag.form;
            text.remove_prefix(tag.prefix.size());
            tagged = true;
            break;
        }
    }
    if (!tagged) {
        // "hex(N):" stores any other type, N in hex.
        if (text.substr(0, 4) != "hex(") return std::nullopt;
        std::size_t used = 0;
        value.type = static_cast<std::uint32_t>(ParseUnsignedHex(text.substr(4), used));
        if (text.substr(4 + used, 2) != "):") return std::nullopt;
        text.remove_prefix(4 + used + 2);
    }

    switch (form) {
    case Form::String: {
        if (!wantData) return value;
        auto parsed = ParseEscaped(text, '"');
        if (!parsed) return std::nullopt;
        value.data = Utf16LeBytes(parsed->units);
        return value;
    }
    case Form::Dword: {
        std::size_t used = 0;
        const auto number = static_cast<std::uint32_t>(ParseUnsignedHex(text, used));
        value.data = {static_cast<std::uint8_t>(number), static_cast<std::uint8_t>(number >> 8),
                      static_cast<std::uint8_t>(number >> 16), static_cast<std::uint8_t>(number >> 24)};
        return value;
    }
    case Form::Hex: {
        auto bytes = ParseHexList(text, reader);
        if (!bytes) return std::nullopt;
        value.data = std::move(*bytes);
        return value;
    }
    }
    return std::nullopt;
}

struct ValueLine {
    bool named = false; // false: the name or the "=" is malformed, and Wine creates no value
    std::u16string name;
    std::optional<RawValue> value; // std::nullopt: malformed data
};

// A line starting with '@' (the default value) or '"'.
ValueLine ParseValueLine(std::string_view line, LineReader& reader, bool wantData) {
    ValueLine result;
    std::size_t pos = 1;
    if (line[0] == '"') {
        auto name = ParseEscaped(line.substr(1), '"');
        if (!name) return result;
        name->units.pop_back();
        result.name = std::move(name->units);
        pos = 1 + name->length;
    }
    pos = SkipSpaces(line, pos);
    if (pos >= line.size() || line[pos] != '=') return result;
    pos = SkipSpaces(line, pos + 1);
    result.named = true;
    result.value = ParseData(line.substr(pos), reader, wantData);
    return result;
}

// The path's components; empty ones (doubled or outer backslashes) do not count.
std::vector<std::u16string_view> SplitKeyPath(std::u16string_view path) {
    std::vector<std::u16string_view> parts;
    std::size_t start = 0;
    while (start <= path.size()) {
        std::size_t end = path.find(u'\\', start);
        if (end == std::u16string_view::npos) end = path.size();
        if (end > start) parts.push_back(path.substr(start, end - start));
        start = end + 1;
    }
    return parts;
}

bool KeyPathMatches(std::u16string_view keyName, const std::vector<std::u16string_view>& target) {
    const auto parts = SplitKeyPath(keyName);
    if (parts.size() != target.size()) return false;
    for (std::size_t i = 0; i < parts.size(); ++i)
        if (!NamesEqual(parts[i], target[i])) return false;
    return true;
}

// Options before the first key: only "#arch=" matters, and an unknown or changing architecture
// makes Wine stop reading the file.
bool GlobalOptionAccepted(std::string_view line, int& architecture) {
    constexpr std::string_view kArch = "#arch=";
    if (line.substr(0, kArch.size()) != kArch) return true;
    const std::string_view name = line.substr(kArch.size());
    int found = 0;
    if (name == "win32")
        found = 32;
    else if (name == "win64")
        found = 64;
    else
        return false;
    if (architecture == 0) architecture = found;
    return architecture == found;
}

char16_t ToLower(char16_t c) {
    const auto pairEvenUpper = [](char16_t ch) { return static_cast<char16_t>(ch % 2 == 0 ? ch + 1 : ch); };
    const auto pairOddUpper = [](char16_t ch) { return static_cast<char16_t>(ch % 2 == 1 ? ch + 1 : ch); };
    if (c < 0x80) return (c >= u'A' && c <= u'Z') ? static_cast<char16_t>(c + 32) : c;
    if (c >= 0xc0 && c <= 0xde && c != 0xd7) return static_cast<char16_t>(c + 32);
    if (c == 0x178) return 0xff;
    if ((c >= 0x100 && c <= 0x12f) || (c >= 0x132 && c <= 0x137) || (c >= 0x14a && c <= 0x177))
        return pairEvenUpper(c);
    if ((c >= 0x139 && c <= 0x148) || (c >= 0x179 && c <= 0x17e)) return pairOddUpper(c);
    if (c >= 0x391 && c <= 0x3ab && c != 0x3a2) return static_cast<char16_t>(c + 32);
    if (c == 0x386) return 0x3ac;
    if (c >= 0x388 && c <= 0x38a) return static_cast<char16_t>(c + 37);
    if (c == 0x38c) return 0x3cc;
    if (c == 0x38e || c == 0x38f) return static_cast<char16_t>(c + 63);
    if (c >= 0x400 && c <= 0x40f) return static_cast<char16_t>(c + 80);
    if (c >= 0x410 && c <= 0x42f) return static_cast<char16_t>(c + 32);
    if ((c >= 0x460 && c <= 0x481) || (c >= 0x48a && c <= 0x4bf) || (c >= 0x4d0 && c <= 0x52f))
        return pairEvenUpper(c);
    if (c == 0x4c0) return 0x4cf;
    if (c >= 0x4c1 && c <= 0x4ce) return pairOddUpper(c);
    if (c >= 0x531 && c <= 0x556) return static_cast<char16_t>(c + 48);
    if (c >= 0xff21 && c <= 0xff3a) return static_cast<char16_t>(c + 32);
    return c;
}

} // namespace

bool NamesEqual(std::u16string_view left, std::u16string_view right) {
    if (left.size() != right.size()) return false;
    for (std::size_t i = 0; i < left.size(); ++i)
        if (ToLower(left[i]) != ToLower(right[i])) return false;
    return true;
}

std::optional<RawValue> FindValue(std::string_view fileText, std::u16string_view keyPath,
                                  std::u16string_view valueName) {
    LineReader reader(fileText);
    std::string_view line;
    if (!reader.Next(line) || line != kHeader) return std::nullopt;

    const auto target = SplitKeyPath(keyPath);
    bool haveKey = false;  // a well-formed key line precedes: values and options belong to it
    bool inTarget = false; // ... and it is the key asked for
    int architecture = 0;
    std::optional<RawValue> found;
    while (reader.Next(line)) {
        line = line.substr(SkipSpaces(line, 0));
        if (line.empty()) continue;
        switch (line[0]) {
        case '[': {
            const auto name = ParseEscaped(line.substr(1), ']');
            haveKey = name.has_value();
            inTarget = haveKey && KeyPathMatches(std::u16string_view(name->units).substr(0, name->units.size() - 1),
                                                 target);
            break;
        }
        case '@':
        case '"': {
            if (!haveKey) break;
            // Elsewhere only a line with a backslash can continue onto the next one; skip the rest unread.
            if (!inTarget && line.find('\\') == std::string_view::npos) break;
            ValueLine value = ParseValueLine(line, reader, inTarget);
            if (inTarget && value.named && NamesEqual(value.name, valueName))
                found = value.value ? std::move(*value.value) : RawValue{};
            break;
        }
        case '#':
            if (!haveKey && !GlobalOptionAccepted(line, architecture)) return found;
            break;
        default: // comments (";;") and anything unrecognised
            break;
        }
    }
    return found;
}

} // namespace wine_registry
