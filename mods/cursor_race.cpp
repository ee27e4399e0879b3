#include "mods/cursor_race.h"

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
    const std::size_t prefix = text.find(kCursorPrefix);
    if (prefix == std::u16string::npos)
        return std::nullopt;
    const std::u16string window = text.substr(prefix + kCursorPrefix.size(), kRaceWindow);
    for (Race race : kRacesInTestOrder) {
        if (window.find(RaceWord(race)) != std::u16string::npos)
            return race;
    }
    return std::nullopt;
}

std::optional<CursorEntry> FindCursorEntry(std::u16string_view text) {
    const std::size_t prefix = text.find(kCursorPrefix);
    if (prefix == std::u16string_view::npos)
        return std::nullopt;
    const std::size_t wordBegin = prefix + kCursorPrefix.size();
    const std::size_t suffix = text.find(kCursorSuffix, wordBegin);
    if (suffix == std::u16string_view::npos)
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
