#include "game_files.h"

#include "testkit/temp_dir.h"

namespace modstest {

std::vector<std::uint8_t> GlobalStringsFile(const std::string& valueUtf8) {
    return testkit::Bytes("\xEF\xBB\xBF// Global strings\r\n"
                          "StringList {\r\n"
                          "    CHAT_ACTION                     \"%s: %s\",\r\n"
                          "    GAMENAME                        \"" +
                          valueUtf8 +
                          "\",\r\n"
                          "    GAME_NAME_LABEL                 \"\xE6\xB8\xB8\xE6\x88\x8F\xE5\x90\x8D:\",\r\n"
                          "    GAMENAME_SHORT                  \"%s\",\r\n"
                          "}\r\n");
}

std::vector<std::uint8_t> War3SkinsFile(const std::string& firstRace) {
    return testkit::Bytes("[Default]\r\n"
                          "Skin=Human\r\n"
                          "\r\n"
                          "[Human]\r\n"
                          "Cursor=UI\\Cursor\\" +
                          firstRace +
                          "Cursor.mdl\r\n"
                          "PlacementCursor=UI\\Cursor\\HumanPlacement.mdl\r\n"
                          "\r\n"
                          "[Orc]\r\n"
                          "Cursor=UI\\Cursor\\OrcCursor.mdl\r\n"
                          "PlacementCursor=UI\\Cursor\\OrcPlacement.mdl\r\n");
}

std::vector<std::uint8_t> ArchiveBytes(const std::filesystem::path& archive) {
    return testkit::ReadFile(archive);
}

} // namespace modstest
