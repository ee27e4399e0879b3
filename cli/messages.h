#pragma once
// The command line's human-readable texts in the user's language. Every such text is written in the
// code as Tr("English text"); the English is the key into the Simplified Chinese catalogue compiled
// from po/zh_CN.po at build time, and the fallback when the catalogue has no text for it. JSON output
// never goes through here: its keys, reasons and messages stay English for scripts.
// Example: with LANG=zh_CN.UTF-8, Format(Tr("cannot write %s: %s"), {"adir", "Is a directory"})
// -> "无法写入 adir: Is a directory".
#include <initializer_list>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace cli {

// Which language Tr() answers in; decided once per run from the user's settings (ui_language.h).
enum class Language { English, SimplifiedChinese };
void SetLanguage(Language language);
Language CurrentLanguage();

// The text for `english` in the current language; `english` itself when the catalogue lacks it.
const char* Tr(const char* english);

// printf-style placeholders as gettext's c-format knows them, strings only: "%s" takes the next
// argument, "%2$s" the second, "%%" is a percent sign. A translation may reorder with "%N$s".
std::string Format(std::string_view pattern, std::initializer_list<std::string_view> arguments);
std::string FormatList(std::string_view pattern, const std::vector<std::string_view>& arguments);

// A message as scripts read it (English, in the JSON document) and as the person reads it (stderr,
// the human output: in the user's language, with control characters of values escaped).
struct Text {
    Text() = default;
    Text(std::string same) : english(same), shown(std::move(same)) {}
    Text(const char* same) : Text(std::string(same)) {}
    Text(std::string englishText, std::string shownText)
        : english(std::move(englishText)), shown(std::move(shownText)) {}
    std::string english;
    std::string shown;
};

// Both forms of a message: the English pattern filled with the arguments' English, and its
// translation filled with their shown forms. Msg("cannot read %s", {Value(name)}).
Text Msg(const char* english, std::initializer_list<Text> arguments = {});

// A value the user typed or the archive holds: the same text for JSON, and for a terminal with every
// C0 control character and DEL written as \xHH, so a name holding ESC cannot drive the terminal.
// "a\x1b[31m" (ESC as one byte) -> shown "a\\x1b[31m" (ESC as the four characters \x1b).
Text Value(std::string_view raw);
std::string EscapeControls(std::string_view raw);

// The compiled catalogue: msgid and msgstr pairs in the order of the .po file.
struct CatalogueEntry {
    const char* english;
    const char* translated;
};
struct Catalogue {
    const CatalogueEntry* entries;
    std::size_t size;
};
Catalogue SimplifiedChineseCatalogue();

} // namespace cli
