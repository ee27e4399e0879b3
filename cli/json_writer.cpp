#include "cli/json_writer.h"

#include "support/utf8_convert.h"

namespace cli {

std::string ValidUtf8(std::string_view bytes) {
    // The core's decoder turns each invalid sequence into U+FFFD; encoding again gives valid UTF-8.
    return modUtf8Convert::TextToUtf8(modUtf8Convert::Utf8ToText(bytes));
}

bool IsValidUtf8(std::string_view bytes) {
    // Valid input survives the round trip unchanged; any replaced sequence differs from its bytes.
    return ValidUtf8(bytes) == bytes;
}

void JsonWriter::BeforeValue() {
    if (m_afterKey) {
        m_afterKey = false;
        return;
    }
    if (!m_open.empty()) {
        if (m_hasMembers.back())
            m_text += ',';
        m_hasMembers.back() = true;
    }
}

JsonWriter& JsonWriter::BeginObject() {
    BeforeValue();
    m_text += '{';
    m_open.push_back('}');
    m_hasMembers.push_back(false);
    return *this;
}

JsonWriter& JsonWriter::BeginArray() {
    BeforeValue();
    m_text += '[';
    m_open.push_back(']');
    m_hasMembers.push_back(false);
    return *this;
}

JsonWriter& JsonWriter::EndObject() {
    return CloseTo(m_open.empty() ? 0 : m_open.size() - 1);
}

JsonWriter& JsonWriter::EndArray() {
    return CloseTo(m_open.empty() ? 0 : m_open.size() - 1);
}

JsonWriter& JsonWriter::CloseTo(std::size_t depth) {
    // A key left without its value would make the document invalid.
    if (m_afterKey) {
        m_text += "null";
        m_afterKey = false;
    }
    while (m_open.size() > depth) {
        m_text += m_open.back();
        m_open.pop_back();
        m_hasMembers.pop_back();
    }
    return *this;
}

JsonWriter& JsonWriter::Key(std::string_view key) {
    BeforeValue();
    Escaped(key);
    m_text += ':';
    m_afterKey = true;
    return *this;
}

JsonWriter& JsonWriter::String(std::string_view utf8) {
    BeforeValue();
    Escaped(utf8);
    return *this;
}

JsonWriter& JsonWriter::String(std::u16string_view text) {
    return String(modUtf8Convert::TextToUtf8(text));
}

JsonWriter& JsonWriter::Bool(bool value) {
    BeforeValue();
    m_text += value ? "true" : "false";
    return *this;
}

JsonWriter& JsonWriter::Number(std::uint64_t value) {
    BeforeValue();
    m_text += std::to_string(value);
    return *this;
}

JsonWriter& JsonWriter::Null() {
    BeforeValue();
    m_text += "null";
    return *this;
}

void JsonWriter::Escaped(std::string_view utf8) {
    static constexpr char kHex[] = "0123456789abcdef";
    m_text += '"';
    for (const char c : ValidUtf8(utf8)) {
        const auto byte = static_cast<unsigned char>(c);
        switch (c) {
        case '"':
            m_text += "\\\"";
            break;
        case '\\':
            m_text += "\\\\";
            break;
        case '\n':
            m_text += "\\n";
            break;
        case '\r':
            m_text += "\\r";
            break;
        case '\t':
            m_text += "\\t";
            break;
        default:
            if (byte < 0x20 || byte == 0x7F) {
                m_text += "\\u00";
                m_text += kHex[byte >> 4];
                m_text += kHex[byte & 0xF];
            } else {
                m_text += c;
            }
        }
    }
    m_text += '"';
}

} // namespace cli
