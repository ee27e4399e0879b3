#pragma once
// A strict JSON reader for the tests: whatever ostrawen-cli prints with --json must be exactly one
// well-formed document, whose members the tests then look up by path.
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace clitest {

struct JsonValue {
    enum class Kind { Null, Bool, Number, String, Array, Object } kind = Kind::Null;
    bool boolean = false;
    double number = 0;
    std::string string; // UTF-8
    std::vector<JsonValue> array;
    std::map<std::string, JsonValue> object;

    // The member or element at a '/'-separated path ("error/reason", "archives/0/name"); nullptr
    // when there is none.
    const JsonValue* At(const std::string& path) const;
    bool IsNull() const { return kind == Kind::Null; }
};

// The one document of `text` (only white space may follow it), or nothing when it is not valid.
std::optional<JsonValue> ParseJson(const std::string& text);

} // namespace clitest
