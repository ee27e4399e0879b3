// Code page 936 through the system's own table, one character at a time, so that malformed input
// decodes as ICU's windows-936-2000 decodes it (codepage_posix.cpp): MultiByteToWideChar over the
// whole text turns a lead byte with a bad trail byte into '?' and swallows the trail byte with it.
// The rules, measured on every one- and two-byte input:
//   - a lead byte (0x81-0xFE) followed by a trail byte (0x40-0x7E, 0x80-0xFE) is one character;
//   - a lead byte followed by anything else, or by nothing, is U+FFFD, and the byte after it is
//     read again as the start of the next character ("\x81" "0" -> U+FFFD '0');
//   - every other byte is a character of its own: ASCII, 0x80 -> U+20AC, 0xFF -> U+F8F5.
#include "support/codepage.h"

#include "support/win32.h"

namespace codepage {

namespace {

constexpr UINT kCodePage = 936;

bool IsTrailByte936(std::uint8_t byte) {
    return (byte >= 0x40 && byte <= 0x7E) || (byte >= 0x80 && byte <= 0xFE);
}

// One character of `size` bytes through the system's table; U+FFFD where the table has none.
// A pair is decoded strictly, so that an unassigned one cannot come back as '?'. A single byte is
// not: the strict form refuses 0xFF, whose mapping to U+F8F5 both tables hold.
char16_t DecodeCharacter(const char* bytes, int size) {
    const DWORD flags = size == 2 ? MB_ERR_INVALID_CHARS : 0;
    wchar_t unit = 0;
    if (::MultiByteToWideChar(kCodePage, flags, bytes, size, &unit, 1) != 1)
        return u'\uFFFD';
    return static_cast<char16_t>(unit);
}

} // namespace

std::u16string AnsiBytesToString(std::string_view bytes) {
    std::u16string text;
    text.reserve(bytes.size());
    std::size_t at = 0;
    while (at < bytes.size()) {
        const auto byte = static_cast<std::uint8_t>(bytes[at]);
        if (!IsLeadByte936(byte)) {
            text += DecodeCharacter(bytes.data() + at, 1);
            at += 1;
        } else if (at + 1 < bytes.size() && IsTrailByte936(static_cast<std::uint8_t>(bytes[at + 1]))) {
            text += DecodeCharacter(bytes.data() + at, 2);
            at += 2;
        } else {
            text += u'\uFFFD';
            at += 1;
        }
    }
    return text;
}

} // namespace codepage
