#include "json_reader.h"

#include <cstdlib>

namespace clitest {
namespace {

class Parser {
public:
    explicit Parser(const std::string& text) : m_text(text) {}

    std::optional<JsonValue> Document() {
        JsonValue value;
        if (!Value(value, 0))
            return std::nullopt;
        SkipSpace();
        if (m_pos != m_text.size())
            return std::nullopt;
        return value;
    }

private:
    void SkipSpace() {
        while (m_pos < m_text.size() &&
               (m_text[m_pos] == ' ' || m_text[m_pos] == '\n' || m_text[m_pos] == '\r' || m_text[m_pos] == '\t'))
            ++m_pos;
    }
    bool Literal(const char* word) {
        const std::string text = word;
        if (m_text.compare(m_pos, text.size(), text) != 0)
            return false;
        m_pos += text.size();
        return true;
    }
    static void AppendUtf8(std::string& out, unsigned code) {
        if (code < 0x80) {
            out += static_cast<char>(code);
        } else if (code < 0x800) {
            out += static_cast<char>(0xC0 | (code >> 6));
            out += static_cast<char>(0x80 | (code & 0x3F));
        } else {
            out += static_cast<char>(0xE0 | (code >> 12));
            out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (code & 0x3F));
        }
    }
    bool String(std::string& out) {
        if (m_pos >= m_text.size() || m_text[m_pos] != '"')
            return false;
        ++m_pos;
        while (m_pos < m_text.size()) {
            const char c = m_text[m_pos++];
            if (c == '"')
                return true;
            if (static_cast<unsigned char>(c) < 0x20)
                return false;
            if (c != '\\') {
                out += c;
                continue;
            }
            if (m_pos >= m_text.size())
                return false;
            const char escape = m_text[m_pos++];
            switch (escape) {
            case '"':
            case '\\':
            case '/':
                out += escape;
                break;
            case 'n':
                out += '\n';
                break;
            case 'r':
                out += '\r';
                break;
            case 't':
                out += '\t';
                break;
            case 'b':
                out += '\b';
                break;
            case 'f':
                out += '\f';
                break;
            case 'u': {
                if (m_pos + 4 > m_text.size())
                    return false;
                const std::string hex = m_text.substr(m_pos, 4);
                if (hex.find_first_not_of("0123456789abcdefABCDEF") != std::string::npos)
                    return false;
                AppendUtf8(out, static_cast<unsigned>(std::strtoul(hex.c_str(), nullptr, 16)));
                m_pos += 4;
                break;
            }
            default:
                return false;
            }
        }
        return false;
    }
    bool Value(JsonValue& value, int depth) {
        if (depth > 64)
            return false;
        SkipSpace();
        if (m_pos >= m_text.size())
            return false;
        const char c = m_text[m_pos];
        if (c == 'n')
            return Literal("null");
        if (c == 't' || c == 'f') {
            value.kind = JsonValue::Kind::Bool;
            value.boolean = c == 't';
            return Literal(c == 't' ? "true" : "false");
        }
        if (c == '"') {
            value.kind = JsonValue::Kind::String;
            return String(value.string);
        }
        if (c == '-' || (c >= '0' && c <= '9')) {
            const char* begin = m_text.c_str() + m_pos;
            char* end = nullptr;
            value.kind = JsonValue::Kind::Number;
            value.number = std::strtod(begin, &end);
            m_pos += static_cast<std::size_t>(end - begin);
            return end != begin;
        }
        if (c == '[') {
            value.kind = JsonValue::Kind::Array;
            ++m_pos;
            SkipSpace();
            if (m_pos < m_text.size() && m_text[m_pos] == ']')
                return ++m_pos, true;
            for (;;) {
                value.array.emplace_back();
                if (!Value(value.array.back(), depth + 1))
                    return false;
                SkipSpace();
                if (m_pos < m_text.size() && m_text[m_pos] == ',') {
                    ++m_pos;
                    continue;
                }
                return m_pos < m_text.size() && m_text[m_pos++] == ']';
            }
        }
        if (c == '{') {
            value.kind = JsonValue::Kind::Object;
            ++m_pos;
            SkipSpace();
            if (m_pos < m_text.size() && m_text[m_pos] == '}')
                return ++m_pos, true;
            for (;;) {
                SkipSpace();
                std::string key;
                if (!String(key))
                    return false;
                SkipSpace();
                if (m_pos >= m_text.size() || m_text[m_pos++] != ':')
                    return false;
                // A key twice would make the document ambiguous.
                if (value.object.count(key) || !Value(value.object[key], depth + 1))
                    return false;
                SkipSpace();
                if (m_pos < m_text.size() && m_text[m_pos] == ',') {
                    ++m_pos;
                    continue;
                }
                return m_pos < m_text.size() && m_text[m_pos++] == '}';
            }
        }
        return false;
    }

    const std::string& m_text;
    std::size_t m_pos = 0;
};

} // namespace

const JsonValue* JsonValue::At(const std::string& path) const {
    const JsonValue* current = this;
    std::size_t start = 0;
    while (current && start <= path.size()) {
        const std::size_t slash = path.find('/', start);
        const std::string part = path.substr(start, slash == std::string::npos ? std::string::npos : slash - start);
        if (current->kind == Kind::Object) {
            const auto found = current->object.find(part);
            current = found == current->object.end() ? nullptr : &found->second;
        } else if (current->kind == Kind::Array && !part.empty() &&
                   part.find_first_not_of("0123456789") == std::string::npos) {
            const std::size_t index = std::stoul(part);
            current = index < current->array.size() ? &current->array[index] : nullptr;
        } else {
            current = nullptr;
        }
        if (slash == std::string::npos)
            break;
        start = slash + 1;
    }
    return current;
}

std::optional<JsonValue> ParseJson(const std::string& text) {
    return Parser(text).Document();
}

} // namespace clitest
