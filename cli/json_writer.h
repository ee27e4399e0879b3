#pragma once
// A small JSON writer for the command line's one document per run. Commas and nesting are handled
// here, so a caller only states keys and values; strings are always valid UTF-8 on output: bytes
// that are not valid UTF-8 come out as U+FFFD. Example:
//     JsonWriter json; json.BeginObject().Key("changed").Bool(false).EndObject();
//     json.Text() == R"({"changed":false})"
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace cli {

// True when the bytes are well-formed UTF-8 (no overlong forms, surrogates or values past U+10FFFF).
bool IsValidUtf8(std::string_view bytes);

// The bytes with every invalid UTF-8 sequence replaced by U+FFFD.
std::string ValidUtf8(std::string_view bytes);

class JsonWriter {
public:
    JsonWriter& BeginObject();
    JsonWriter& EndObject();
    JsonWriter& BeginArray();
    JsonWriter& EndArray();
    // Inside an object, before each value.
    JsonWriter& Key(std::string_view key);
    JsonWriter& String(std::string_view utf8);
    JsonWriter& String(std::u16string_view text);
    JsonWriter& Bool(bool value);
    JsonWriter& Number(std::uint64_t value);
    JsonWriter& Null();

    // How many objects and arrays are open.
    std::size_t Depth() const { return m_open.size(); }
    // Closes open containers until only `depth` remain, so a failure can add its member at the top.
    JsonWriter& CloseTo(std::size_t depth);

    const std::string& Text() const { return m_text; }

private:
    void BeforeValue();
    void Escaped(std::string_view utf8);

    std::string m_text;
    std::vector<char> m_open;       // '}' or ']' for each open container
    std::vector<bool> m_hasMembers; // per open container
    bool m_afterKey = false;
};

} // namespace cli
