#include "cli/messages.h"

#include <cstring>
#include <string>
#include <unordered_map>
#include <vector>

namespace cli {
namespace {

Language g_language = Language::English;

const std::unordered_map<std::string_view, const char*>& ChineseTexts() {
    static const std::unordered_map<std::string_view, const char*> texts = [] {
        std::unordered_map<std::string_view, const char*> map;
        const Catalogue catalogue = SimplifiedChineseCatalogue();
        for (std::size_t i = 0; i < catalogue.size; ++i) {
            // An untranslated entry (empty msgstr) falls back to the English, as gettext does.
            if (catalogue.entries[i].translated[0] != '\0')
                map.emplace(catalogue.entries[i].english, catalogue.entries[i].translated);
        }
        return map;
    }();
    return texts;
}

} // namespace

void SetLanguage(Language language) {
    g_language = language;
}

Language CurrentLanguage() {
    return g_language;
}

const char* Tr(const char* english) {
    if (g_language != Language::SimplifiedChinese)
        return english;
    const auto& texts = ChineseTexts();
    const auto found = texts.find(english);
    return found == texts.end() ? english : found->second;
}

std::string Format(std::string_view pattern, std::initializer_list<std::string_view> arguments) {
    return FormatList(pattern, std::vector<std::string_view>(arguments));
}

std::string FormatList(std::string_view pattern, const std::vector<std::string_view>& arguments) {
    std::string text;
    std::size_t next = 0;
    for (std::size_t i = 0; i < pattern.size(); ++i) {
        if (pattern[i] != '%' || i + 1 >= pattern.size()) {
            text += pattern[i];
            continue;
        }
        if (pattern[i + 1] == '%') {
            text += '%';
            ++i;
            continue;
        }
        std::size_t index = next;
        std::size_t end = i + 1;
        // "%N$s": the N-th argument.
        std::size_t digits = end;
        while (digits < pattern.size() && pattern[digits] >= '0' && pattern[digits] <= '9')
            ++digits;
        if (digits > end && digits + 1 < pattern.size() && pattern[digits] == '$' && pattern[digits + 1] == 's') {
            index = std::stoul(std::string(pattern.substr(end, digits - end))) - 1;
            end = digits + 1;
        } else if (pattern[end] != 's') {
            text += '%';
            continue;
        } else {
            ++next;
        }
        if (index < arguments.size())
            text += arguments[index];
        i = end;
    }
    return text;
}

Text Msg(const char* english, std::initializer_list<Text> arguments) {
    std::vector<std::string_view> englishArguments, shownArguments;
    for (const Text& argument : arguments) {
        englishArguments.push_back(argument.english);
        shownArguments.push_back(argument.shown);
    }
    return {FormatList(english, englishArguments), FormatList(Tr(english), shownArguments)};
}

std::string EscapeControls(std::string_view raw) {
    static constexpr char kHex[] = "0123456789abcdef";
    std::string shown;
    for (const char c : raw) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte < 0x20 || byte == 0x7F) {
            shown += "\\x";
            shown += kHex[byte >> 4];
            shown += kHex[byte & 0xF];
        } else {
            shown += c;
        }
    }
    return shown;
}

Text Value(std::string_view raw) {
    return {std::string(raw), EscapeControls(raw)};
}

} // namespace cli
