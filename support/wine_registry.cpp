#include "support/wine_registry.h"

#include <array>
#include <utility>

namespace wine_registry {

namespace {

constexpr std::string_view kHeader = "WINE REGISTRY Version 2";

// The C locale's notion of blanks and hex digits, independent of whatever locale the process runs in.
bool IsSpace(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

int HexValue(char c) {
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

bool IsHexDigit(char c) {
    return HexValue(c) >= 0;
}

std::size_t SkipSpaces(std::string_view text, std::size_t pos) {
    while (pos < text.size() && IsSpace(text[pos]))
        ++pos;
    return pos;
}

// Lines as wineserver reads them: without the newline and a carriage return before it, and cut at an
// embedded NUL byte.
class LineReader {
public:
    explicit LineReader(std::string_view text) : m_text(text) {}

    bool Next(std::string_view& line) {
        if (m_pos >= m_text.size())
            return false;
        std::size_t end = m_text.find('\n', m_pos);
        const bool hasNewline = end != std::string_view::npos;
        if (!hasNewline)
            end = m_text.size();
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
    if (pos < text.size() && (text[pos] == '+' || text[pos] == '-'))
        negative = text[pos++] == '-';
    if (pos + 2 < text.size() && text[pos] == '0' && (text[pos + 1] == 'x' || text[pos + 1] == 'X') &&
        IsHexDigit(text[pos + 2]))
        pos += 2;
    const std::size_t digitsStart = pos;
    std::uint64_t value = 0;
    bool overflow = false;
    for (; pos < text.size() && IsHexDigit(text[pos]); ++pos) {
        if (value > (UINT64_MAX >> 4))
            overflow = true;
        value = (value << 4) | static_cast<std::uint64_t>(HexValue(text[pos]));
    }
    if (pos == digitsStart) {
        used = 0;
        return 0;
    }
    used = pos;
    if (overflow)
        return UINT64_MAX;
    return negative ? (~value + 1) : value;
}

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
    if (trailing == 0)
        return;
    std::uint32_t code = lead & kMask[static_cast<std::size_t>(trailing)];
    for (int i = 0; i < trailing; ++i) {
        if (pos >= src.size())
            return;
        const std::uint8_t bits = static_cast<std::uint8_t>(src[pos]) ^ 0x80;
        if (bits >= 0x40)
            return;
        code = (code << 6) | bits;
        ++pos;
    }
    if (code < kMinimum[static_cast<std::size_t>(trailing)] || code > 0x10ffff)
        return;
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
// The text goes to `out` (replacing what it held) with the terminating NUL that Wine appends; the
// result is the number of input bytes consumed including the delimiter, std::nullopt when the
// delimiter is missing.
std::optional<std::size_t> ParseEscaped(std::string_view src, char endChar, std::u16string& out) {
    out.clear();
    std::size_t pos = 0;
    while (pos < src.size() && src[pos] != endChar) {
        if (src[pos] == '\\') {
            if (++pos >= src.size())
                break;
            const char c = src[pos];
            char16_t simple = 0;
            switch (c) {
            case 'a':
                simple = u'\a';
                break;
            case 'b':
                simple = u'\b';
                break;
            case 'e':
                simple = 0x1b;
                break;
            case 'f':
                simple = u'\f';
                break;
            case 'n':
                simple = u'\n';
                break;
            case 'r':
                simple = u'\r';
                break;
            case 't':
                simple = u'\t';
                break;
            case 'v':
                simple = u'\v';
                break;
            default:
                break;
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
    if (pos >= src.size())
        return std::nullopt;
    out.push_back(u'\0');
    return pos + 1;
}

// Where ParseEscaped would stop, without decoding: a backslash always takes the next character with
// it, and neither escapes nor UTF-8 sequences ever swallow an ASCII delimiter.
std::optional<std::size_t> SkipEscaped(std::string_view src, char endChar) {
    std::size_t pos = 0;
    while (pos < src.size()) {
        if (src[pos] == endChar)
            return pos + 1;
        pos += src[pos] == '\\' ? 2 : 1;
    }
    return std::nullopt;
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

// One byte of a hex list at `pos`, which holds a hex digit; strtoul's reading of it. `used` is 0
// when the number does not fit a byte.
std::uint8_t ParseHexByte(std::string_view text, std::size_t pos, std::size_t& used) {
    // The usual one or two digits take the short way; anything longer (or "0x") the general one.
    const bool second = pos + 1 < text.size() && IsHexDigit(text[pos + 1]);
    const bool third = second && pos + 2 < text.size() && IsHexDigit(text[pos + 2]);
    const bool prefix = text[pos] == '0' && pos + 1 < text.size() && (text[pos + 1] == 'x' || text[pos + 1] == 'X');
    if (!third && !prefix) {
        used = second ? 2 : 1;
        const int value = second ? HexValue(text[pos]) * 16 + HexValue(text[pos + 1]) : HexValue(text[pos]);
        return static_cast<std::uint8_t>(value);
    }
    const std::uint64_t value = ParseUnsignedHex(text.substr(pos), used);
    if (value > 0xff)
        used = 0;
    return static_cast<std::uint8_t>(value);
}

// A comma-separated hex byte list, continued onto the next line by a trailing backslash. The bytes go
// to `bytes` when given; false when the list is malformed.
bool ParseHexList(std::string_view text, LineReader& reader, std::vector<std::uint8_t>* bytes) {
    for (;;) {
        std::size_t pos = 0;
        while (pos < text.size() && IsHexDigit(text[pos])) {
            std::size_t used = 0;
            const std::uint8_t value = ParseHexByte(text, pos, used);
            if (used == 0)
                return false;
            if (bytes)
                bytes->push_back(value);
            pos = SkipSpaces(text, pos + used);
            if (pos < text.size() && text[pos] == ',')
                ++pos;
            pos = SkipSpaces(text, pos);
        }
        if (pos >= text.size())
            return true;
        if (text[pos] != '\\')
            return false;
        if (!reader.Next(text))
            return false;
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
        if (text.substr(0, 4) != "hex(")
            return std::nullopt;
        std::size_t used = 0;
        value.type = static_cast<std::uint32_t>(ParseUnsignedHex(text.substr(4), used));
        if (text.substr(4 + used, 2) != "):")
            return std::nullopt;
        text.remove_prefix(4 + used + 2);
    }

    switch (form) {
    case Form::String: {
        if (!wantData)
            return value;
        std::u16string units;
        if (!ParseEscaped(text, '"', units))
            return std::nullopt;
        value.data = Utf16LeBytes(units);
        return value;
    }
    case Form::Dword: {
        std::size_t used = 0;
        const auto number = static_cast<std::uint32_t>(ParseUnsignedHex(text, used));
        value.data = {static_cast<std::uint8_t>(number), static_cast<std::uint8_t>(number >> 8),
                      static_cast<std::uint8_t>(number >> 16), static_cast<std::uint8_t>(number >> 24)};
        return value;
    }
    case Form::Hex:
        if (!ParseHexList(text, reader, wantData ? &value.data : nullptr))
            return std::nullopt;
        return value;
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
        const auto length =
            wantData ? ParseEscaped(line.substr(1), '"', result.name) : SkipEscaped(line.substr(1), '"');
        if (!length)
            return result;
        if (wantData)
            result.name.pop_back();
        pos = 1 + *length;
    }
    pos = SkipSpaces(line, pos);
    if (pos >= line.size() || line[pos] != '=')
        return result;
    pos = SkipSpaces(line, pos + 1);
    result.named = true;
    result.value = ParseData(line.substr(pos), reader, wantData);
    return result;
}

// The path's components; empty ones (doubled or outer backslashes) do not count.
class KeyPathParts {
public:
    explicit KeyPathParts(std::u16string_view path) : m_path(path) {}

    bool Next(std::u16string_view& part) {
        while (m_pos < m_path.size() && m_path[m_pos] == u'\\')
            ++m_pos;
        if (m_pos >= m_path.size())
            return false;
        std::size_t end = m_path.find(u'\\', m_pos);
        if (end == std::u16string_view::npos)
            end = m_path.size();
        part = m_path.substr(m_pos, end - m_pos);
        m_pos = end;
        return true;
    }

private:
    std::u16string_view m_path;
    std::size_t m_pos = 0;
};

bool KeyPathsEqual(std::u16string_view left, std::u16string_view right) {
    KeyPathParts leftParts(left);
    KeyPathParts rightParts(right);
    std::u16string_view leftPart;
    std::u16string_view rightPart;
    for (;;) {
        const bool hasLeft = leftParts.Next(leftPart);
        const bool hasRight = rightParts.Next(rightPart);
        if (!hasLeft || !hasRight)
            return hasLeft == hasRight;
        if (!NamesEqual(leftPart, rightPart))
            return false;
    }
}

// Options before the first key: only "#arch=" matters, and an unknown or changing architecture
// makes Wine stop reading the file.
bool GlobalOptionAccepted(std::string_view line, int& architecture) {
    constexpr std::string_view kArch = "#arch=";
    if (line.substr(0, kArch.size()) != kArch)
        return true;
    const std::string_view name = line.substr(kArch.size());
    int found = 0;
    if (name == "win32")
        found = 32;
    else if (name == "win64")
        found = 64;
    else
        return false;
    if (architecture == 0)
        architecture = found;
    return architecture == found;
}

char16_t ToLower(char16_t c) {
    const auto pairEvenUpper = [](char16_t ch) { return static_cast<char16_t>(ch % 2 == 0 ? ch + 1 : ch); };
    const auto pairOddUpper = [](char16_t ch) { return static_cast<char16_t>(ch % 2 == 1 ? ch + 1 : ch); };
    if (c < 0x80)
        return (c >= u'A' && c <= u'Z') ? static_cast<char16_t>(c + 32) : c;
    if (c >= 0xc0 && c <= 0xde && c != 0xd7)
        return static_cast<char16_t>(c + 32);
    if (c == 0x178)
        return 0xff;
    if ((c >= 0x100 && c <= 0x12f) || (c >= 0x132 && c <= 0x137) || (c >= 0x14a && c <= 0x177))
        return pairEvenUpper(c);
    if ((c >= 0x139 && c <= 0x148) || (c >= 0x179 && c <= 0x17e))
        return pairOddUpper(c);
    if (c >= 0x391 && c <= 0x3ab && c != 0x3a2)
        return static_cast<char16_t>(c + 32);
    if (c == 0x386)
        return 0x3ac;
    if (c >= 0x388 && c <= 0x38a)
        return static_cast<char16_t>(c + 37);
    if (c == 0x38c)
        return 0x3cc;
    if (c == 0x38e || c == 0x38f)
        return static_cast<char16_t>(c + 63);
    if (c >= 0x400 && c <= 0x40f)
        return static_cast<char16_t>(c + 80);
    if (c >= 0x410 && c <= 0x42f)
        return static_cast<char16_t>(c + 32);
    if ((c >= 0x460 && c <= 0x481) || (c >= 0x48a && c <= 0x4bf) || (c >= 0x4d0 && c <= 0x52f))
        return pairEvenUpper(c);
    if (c == 0x4c0)
        return 0x4cf;
    if (c >= 0x4c1 && c <= 0x4ce)
        return pairOddUpper(c);
    if (c >= 0x531 && c <= 0x556)
        return static_cast<char16_t>(c + 48);
    if (c >= 0xff21 && c <= 0xff3a)
        return static_cast<char16_t>(c + 32);
    return c;
}

} // namespace

bool NamesEqual(std::u16string_view left, std::u16string_view right) {
    if (left.size() != right.size())
        return false;
    for (std::size_t i = 0; i < left.size(); ++i)
        if (ToLower(left[i]) != ToLower(right[i]))
            return false;
    return true;
}

namespace {

// Calls onValue(name, value) for every value line of the key `keyPath`, in file order; a malformed
// value comes as type 0 with no data. False when the text is not a Wine registry file.
template <typename OnValue> bool ScanKey(std::string_view fileText, std::u16string_view keyPath, OnValue onValue) {
    LineReader reader(fileText);
    std::string_view line;
    if (!reader.Next(line) || line != kHeader)
        return false;

    std::u16string keyName; // reused for every key line
    bool haveKey = false;   // a well-formed key line precedes: values and options belong to it
    bool inTarget = false;  // ... and it is the key asked for
    int architecture = 0;
    while (reader.Next(line)) {
        line = line.substr(SkipSpaces(line, 0));
        if (line.empty())
            continue;
        switch (line[0]) {
        case '[': {
            haveKey = ParseEscaped(line.substr(1), ']', keyName).has_value();
            inTarget = haveKey && KeyPathsEqual(std::u16string_view(keyName).substr(0, keyName.size() - 1), keyPath);
            break;
        }
        case '@':
        case '"': {
            if (!haveKey)
                break;
            // Elsewhere only a line with a backslash can continue onto the next one; skip the rest unread.
            if (!inTarget && line.find('\\') == std::string_view::npos)
                break;
            ValueLine value = ParseValueLine(line, reader, inTarget);
            if (inTarget && value.named)
                onValue(std::move(value.name), value.value ? std::move(*value.value) : RawValue{});
            break;
        }
        case '#':
            if (!haveKey && !GlobalOptionAccepted(line, architecture))
                return true;
            break;
        default: // comments (";;") and anything unrecognised
            break;
        }
    }
    return true;
}

} // namespace

std::optional<RawValue> FindValue(std::string_view fileText, std::u16string_view keyPath,
                                  std::u16string_view valueName) {
    std::optional<RawValue> found;
    const bool isRegistry = ScanKey(fileText, keyPath, [&](std::u16string&& name, RawValue&& value) {
        if (NamesEqual(name, valueName))
            found = std::move(value);
    });
    if (!isRegistry)
        return std::nullopt;
    return found;
}

std::vector<NamedValue> KeyValues(std::string_view fileText, std::u16string_view keyPath) {
    std::vector<NamedValue> values;
    ScanKey(fileText, keyPath, [&](std::u16string&& name, RawValue&& value) {
        for (NamedValue& known : values) {
            if (NamesEqual(known.name, name)) {
                known.value = std::move(value);
                return;
            }
        }
        values.push_back({std::move(name), std::move(value)});
    });
    return values;
}

int Architecture(std::string_view fileText) {
    LineReader reader(fileText);
    std::string_view line;
    if (!reader.Next(line) || line != kHeader)
        return 0;
    int architecture = 0;
    while (reader.Next(line)) {
        line = line.substr(SkipSpaces(line, 0));
        if (!line.empty() && line[0] == '[')
            break;
        if (!line.empty() && line[0] == '#' && !GlobalOptionAccepted(line, architecture))
            return 0;
    }
    return architecture;
}

std::optional<std::u16string> RootUser(std::string_view fileText) {
    LineReader reader(fileText);
    std::string_view line;
    if (!reader.Next(line) || line != kHeader)
        return std::nullopt;
    constexpr std::string_view kRelative = ";; All keys relative to ";
    while (reader.Next(line)) {
        if (!line.empty() && line[0] == '[')
            break;
        if (line.substr(0, kRelative.size()) != kRelative)
            continue;
        std::u16string root;
        // Written with doubled backslashes, as key names are: \\User\\S-1-5-21-...
        for (char c : line.substr(kRelative.size()))
            root.push_back(static_cast<char16_t>(static_cast<unsigned char>(c)));
        constexpr std::u16string_view kUser = u"\\\\User\\\\";
        if (root.substr(0, kUser.size()) != kUser)
            return std::nullopt;
        return root.substr(kUser.size());
    }
    return std::nullopt;
}

} // namespace wine_registry
