#pragma once
// Small files of the game's shape for the modification tests.
#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

namespace modstest {

// UI\FrameDef\GlobalStrings.fdf as the game ships it: UTF-8 with BOM, CRLF, the entry
//     GAMENAME                        "<value>",
// with a later GAMENAME-like entry that must never change.
std::vector<std::uint8_t> GlobalStringsFile(const std::string& valueUtf8 = "%s\xE7\x9A\x84\xE6\xB8\xB8\xE6\x88\x8F");

// UI\war3skins.txt: [Human] first with Cursor=UI\Cursor\<race>Cursor.mdl, other sections after it
// with their own cursor entries and PlacementCursor lines.
std::vector<std::uint8_t> War3SkinsFile(const std::string& firstRace = "Human");

// The whole archive file's bytes, to show that a failed operation wrote nothing.
std::vector<std::uint8_t> ArchiveBytes(const std::filesystem::path& archive);

} // namespace modstest
