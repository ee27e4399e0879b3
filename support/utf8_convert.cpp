#include "support/utf8_convert.h"

namespace modUtf8Convert {
namespace {

constexpr char16_t kReplacement = 0xFFFD;

// Decodes with the "maximal subpart" rule: a broken sequence yields one U+FFFD for the bytes that
// could still have started a valid character, and decoding resumes at the first byte that could not.
template <typename Byte> std::u16string Decode(const Byte* data, std::size_t size) {
    std::u16string text;
    text.reserve(size);
    std::size_t i = 0;
    while (i < size) {
        const std::uint8_t lead = static_cast<std::uint8_t>(data[i]);
        if (lead < 0x80) {
            text.push_back(lead);
            ++i;
            continue;
        }
        int length = 0;
        char32_t codePoint = 0;
        std::uint8_t low = 0x80, high = 0xBF; // allowed range of the second byte
        if (lead >= 0xC2 && lead <= 0xDF) {
            length = 2;
            codePoint = lead & 0x1F;
        } else if (lead >= 0xE0 && lead <= 0xEF) {
            length = 3;
            codePoint = lead & 0x0F;
            if (lead == 0xE0)
                low = 0xA0;
            if (lead == 0xED)
                high = 0x9F; // no surrogates
        } else if (lead >= 0xF0 && lead <= 0xF4) {
            length = 4;
            codePoint = lead & 0x07;
            if (lead == 0xF0)
                low = 0x90;
            if (lead == 0xF4)
                high = 0x8F; // nothing above U+10FFFF
        } else {
            text.push_back(kReplacement);
            ++i;
            continue;
        }
        std::size_t next = i + 1;
        bool valid = true;
        for (int k = 1; k < length; ++k, ++next) {
            if (next >= size) {
                valid = false;
                break;
            }
            const std::uint8_t byte = static_cast<std::uint8_t>(data[next]);
            const std::uint8_t min = k == 1 ? low : 0x80;
            const std::uint8_t max = k == 1 ? high : 0xBF;
            if (byte < min || byte > max) {
                valid = false;
                break;
            }
            codePoint = (codePoint << 6) | (byte & 0x3F);
        }
        if (!valid) {
            text.push_back(kReplacement);
            i = next;
            continue;
        }
        if (codePoint >= 0x10000) {
            codePoint -= 0x10000;
            text.push_back(static_cast<char16_t>(0xD800 + (codePoint >> 10)));
            text.push_back(static_cast<char16_t>(0xDC00 + (codePoint & 0x3FF)));
        } else {
            text.push_back(static_cast<char16_t>(codePoint));
        }
        i = next;
    }
    return text;
}

template <typename Out> void Encode(std::u16string_view text, Out& out) {
    out.reserve(text.size() * 3);
    auto put = [&out](unsigned value) { out.push_back(static_cast<typename Out::value_type>(value)); };
    for (std::size_t i = 0; i < text.size(); ++i) {
        char32_t c = text[i];
        if (c >= 0xD800 && c <= 0xDBFF && i + 1 < text.size() && text[i + 1] >= 0xDC00 && text[i + 1] <= 0xDFFF) {
            c = 0x10000 + ((c - 0xD800) << 10) + (text[i + 1] - 0xDC00);
            ++i;
        } else if (c >= 0xD800 && c <= 0xDFFF) {
            c = kReplacement;
        }
        if (c < 0x80) {
            put(c);
        } else if (c < 0x800) {
            put(0xC0 | (c >> 6));
            put(0x80 | (c & 0x3F));
        } else if (c < 0x10000) {
            put(0xE0 | (c >> 12));
            put(0x80 | ((c >> 6) & 0x3F));
            put(0x80 | (c & 0x3F));
        } else {
            put(0xF0 | (c >> 18));
            put(0x80 | ((c >> 12) & 0x3F));
            put(0x80 | ((c >> 6) & 0x3F));
            put(0x80 | (c & 0x3F));
        }
    }
}

} // namespace

std::u16string Utf8BytesToString(const std::vector<std::uint8_t>& bytes) {
    return Decode(bytes.data(), bytes.size());
}

std::vector<std::uint8_t> StringToUtf8Bytes(const std::u16string& text) {
    std::vector<std::uint8_t> bytes;
    Encode(text, bytes);
    return bytes;
}

std::u16string Utf8ToText(std::string_view utf8) {
    return Decode(utf8.data(), utf8.size());
}

std::string TextToUtf8(std::u16string_view text) {
    std::string out;
    Encode(text, out);
    return out;
}

} // namespace modUtf8Convert
