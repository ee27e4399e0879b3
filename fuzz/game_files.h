#pragma once
// The stored names the program reads and writes, as the archive hashes them: the harnesses ask for
// these so that the checks and reads they drive are the ones a player's archive meets.
#include "archive/archive_name.h"
#include "mods/modifications.h"

#include <string>
#include <vector>

inline std::vector<std::string> GameFileNames() {
    std::vector<std::u16string> addresses = {mods::kGlobalStringsPath, mods::kWar3SkinsPath};
    for (const mods::ResourceItem& item : mods::ResourceItems())
        addresses.push_back(item.fileAddress);
    std::vector<std::string> names;
    for (const std::u16string& address : addresses) {
        if (std::optional<std::string> name = ArchiveNameFromText(address))
            names.push_back(*name);
    }
    return names;
}
