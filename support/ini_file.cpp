#include "support/ini_file.h"

#include "support/codepage.h"
#include "support/text_compare.h"
#include "support/utf8_convert.h"

#include <string_view>

namespace ini_file {
namespace {

constexpr std::size_t kMaxValueBytes = 254;

bool IsBlank(char c) {
    return c == ' ' || c == '\t';
}

std::string_view Trim(std::string_view text) {
    while (!text.empty() && IsBlank(text.front()))
        text.remove_prefix(1);
    while (!text.empty() && IsBlank(text.back()))
        text.remove_suffix(1);
    return text;
}

// Valid UTF-8 with at least one byte above 0x7F; plain ASCII reads the same either way.
bool IsNonAsciiUtf8(std::string_view bytes) {
    bool nonAscii = false;
    for (unsigned char c : bytes)
        nonAscii = nonAscii || c >= 0x80;
    if (!nonAscii)
        return false;
    const std::u16string decoded = modUtf8Convert::Utf8ToText(bytes);
    return decoded.find(u'\uFFFD') == std::u16string::npos || modUtf8Convert::TextToUtf8(decoded) == bytes;
}

// The longest prefix of at most kMaxValueBytes bytes that does not end inside a character.
std::size_t CutLength(std::string_view bytes, bool utf8) {
    if (bytes.size() <= kMaxValueBytes)
        return bytes.size();
    std::size_t i = 0;
    while (i < bytes.size()) {
        const auto c = static_cast<std::uint8_t>(bytes[i]);
        std::size_t width = 1;
        if (utf8) {
            width = c >= 0xF0 ? 4 : c >= 0xE0 ? 3 : c >= 0xC0 ? 2 : 1;
        } else if (codepage::IsLeadByte936(c) && i + 1 < bytes.size()) {
            width = 2;
        }
        if (i + width > kMaxValueBytes)
            break;
        i += width;
    }
    return i;
}

std::u16string Decode(std::string_view bytes, bool utf8) {
    return utf8 ? modUtf8Convert::Utf8ToText(bytes) : codepage::AnsiBytesToString(bytes);
}

// Names in the file are decoded by the same rule as values, so a Chinese section name can match.
std::u16string DecodeName(std::string_view bytes, bool bomFile) {
    return Decode(bytes, bomFile || IsNonAsciiUtf8(bytes));
}

} // namespace

std::u16string ReadValue(const std::vector<std::uint8_t>& file, const std::u16string& section,
                         const std::u16string& key) {
    std::string_view text(reinterpret_cast<const char*>(file.data()), file.size());
    const bool bomFile = text.substr(0, 3) == "\xEF\xBB\xBF";
    if (bomFile)
        text.remove_prefix(3);

    bool inSection = false;
    bool sectionSeen = false;
    std::size_t position = 0;
    while (position < text.size()) {
        std::size_t end = text.find_first_of("\r\n", position);
        if (end == std::string_view::npos)
            end = text.size();
        const std::string_view line = Trim(text.substr(position, end - position));
        position = end + 1;
        if (end < text.size() && text[end] == '\r' && position < text.size() && text[position] == '\n')
            ++position;

        if (line.empty())
            continue;
        if (line.front() == '[') {
            // Only the first section of that name is searched.
            if (inSection)
                return {};
            const std::size_t close = line.find(']');
            const std::string_view name =
                Trim(line.substr(1, close == std::string_view::npos ? std::string_view::npos : close - 1));
            if (!sectionSeen && EqualIgnoringAsciiCase(DecodeName(name, bomFile), section)) {
                inSection = true;
                sectionSeen = true;
            }
            continue;
        }
        if (!inSection || line.front() == ';')
            continue;
        const std::size_t equals = line.find('=');
        const std::string_view name = Trim(line.substr(0, equals));
        if (!EqualIgnoringAsciiCase(DecodeName(name, bomFile), key))
            continue;

        std::string_view value = equals == std::string_view::npos ? std::string_view() : Trim(line.substr(equals + 1));
        if (value.size() >= 2 && (value.front() == '"' || value.front() == '\'') && value.back() == value.front()) {
            value = value.substr(1, value.size() - 2);
        }
        const bool utf8 = bomFile || IsNonAsciiUtf8(value);
        return Decode(value.substr(0, CutLength(value, utf8)), utf8);
    }
    return {};
}

} // namespace ini_file
