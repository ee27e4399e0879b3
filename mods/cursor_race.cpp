#include "mods/cursor_race.h"

#include "mods/set_string.h"

#include <array>

namespace mods {
namespace {

constexpr std::array<Race, 4> kRacesInTestOrder = {Race::Human, Race::Orc, Race::NightElf, Race::Undead};
// The longest race word, "NightElf".
constexpr std::size_t kRaceWindow = 8;

} // namespace

std::u16string RaceWord(Race race) {
    switch (race) {
    case Race::Human:
        return u"Human";
    case Race::Orc:
        return u"Orc";
    case Race::NightElf:
        return u"NightElf";
    case Race::Undead:
        return u"Undead";
    }
    return {};
}

std::optional<Race> RecognizeRace(const std::u16string& text) {
    const auto entry = FindCursorEntry(text);
    if (!entry)
        return std::nullopt;
    // The window never leaves the entry's line: the suffix after the word is longer than it.
    const std::u16string window = text.substr(entry->wordBegin, kRaceWindow);
    for (Race race : kRacesInTestOrder) {
        if (window.find(RaceWord(race)) != std::u16string::npos)
            return race;
    }
    return std::nullopt;
}

std::optional<CursorEntry> FindCursorEntry(std::u16string_view text) {
    // A prefix inside a longer key (PlacementCursor=...) or a comment is not the cursor entry.
    std::size_t prefix = text.find(kCursorPrefix);
    while (prefix != std::u16string_view::npos && !StartsEntry(text, prefix))
        prefix = text.find(kCursorPrefix, prefix + 1);
    if (prefix == std::u16string_view::npos)
        return std::nullopt;
    const std::size_t wordBegin = prefix + kCursorPrefix.size();
    const std::size_t suffix = text.find(kCursorSuffix, wordBegin);
    if (suffix == std::u16string_view::npos)
        return std::nullopt;
    // A suffix on a later line would make the rewrite drop every line in between.
    if (text.substr(wordBegin, suffix - wordBegin).find_first_of(u"\r\n") != std::u16string_view::npos)
        return std::nullopt;
    return CursorEntry{wordBegin, suffix};
}

std::optional<std::u16string> RewriteRace(const std::u16string& text, Race race) {
    const auto entry = FindCursorEntry(text);
    if (!entry)
        return std::nullopt;
    std::u16string rewritten = text;
    rewritten.replace(entry->wordBegin, entry->wordEnd - entry->wordBegin, RaceWord(race));
    return rewritten;
}

} // namespace mods
