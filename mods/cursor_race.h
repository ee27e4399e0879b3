#pragma once
// The race of the game's mouse cursor in the skin file: the first "Cursor=UI\Cursor\<Race>Cursor.mdl".
// Prefix and suffix are matched exactly, letter case included; "cursor=ui\cursor\" is no entry.
// The entry is the first prefix that starts a line (only blanks before it: not the one inside
// "PlacementCursor=UI\Cursor\..." nor in a comment); its suffix must follow on the same line, or the
// text holds no entry at all.
#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

namespace mods {

enum class Race { Human, Orc, NightElf, Undead };

inline constexpr std::u16string_view kCursorPrefix = u"Cursor=UI\\Cursor\\";
inline constexpr std::u16string_view kCursorSuffix = u"Cursor.mdl";

// "Human", "Orc", "NightElf", "Undead".
std::u16string RaceWord(Race race);

// The race named in the 8 characters after the entry's prefix (case significant), or nothing.
// The window is tested for Human, Orc, NightElf, Undead in this order: "OrcHuman" gives Human.
std::optional<Race> RecognizeRace(const std::u16string& text);

// The race word's place in the entry, in code units (0-based): from just after its prefix to the
// first suffix after it. For "Cursor=UI\Cursor\OrcCursor.mdl": {17, 20}.
struct CursorEntry {
    std::size_t wordBegin = 0;
    std::size_t wordEnd = 0;
};
std::optional<CursorEntry> FindCursorEntry(std::u16string_view text);

// The text with the first entry's race word replaced (whatever stood there, of any length);
// nothing when the text holds no prefix or no suffix after it.
std::optional<std::u16string> RewriteRace(const std::u16string& text, Race race);

} // namespace mods
