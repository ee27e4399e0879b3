#pragma once
// The stand-in game directory of the demo: a war3.exe marker and the four archives of the game, each
// with its own LAN game name and its own cursor race, so that switching archives shows a change.
#include <filesystem>
#include <string>
#include <vector>

namespace demo {

struct DemoArchive {
    std::u16string fileName; // "War3Patch.mpq"
    std::u16string gameName; // the GAMENAME value its GlobalStrings.fdf holds
    std::u16string race;     // the race word of its first cursor entry: "Orc"
};

// The four archives, in the order the window lists them.
const std::vector<DemoArchive>& DemoArchives();

// UTF-8 bytes (with BOM and CRLF line ends, as the game ships them) of the two text files.
std::vector<std::uint8_t> GlobalStringsFile(const std::u16string& gameName);
std::vector<std::uint8_t> War3SkinsFile(const std::u16string& firstRace);

// Creates gameDir (if needed) with war3.exe and the four archives; false and a reason on failure.
bool MakeGameDirectory(const std::filesystem::path& gameDir, std::string& error);

} // namespace demo
