#include "game_directory.h"

#include "archive/door/mpq_control.h"
#include "support/public_vars.h"
#include "support/text_path.h"

#include <stdexcept>

namespace window_test {

std::vector<std::uint8_t> GlobalStringsFdf(const std::string& gameNameUtf8) {
    return testkit::Bytes(
        "\xEF\xBB\xBF// Global strings\r\nStringList {\r\n    CHAT_ALL \"所有人\",\r\n    GAMENAME \"" + gameNameUtf8 +
        "\",\r\n    GAMENAME_SHORT \"x\",\r\n}\r\n");
}

std::vector<std::uint8_t> War3SkinsTxt(const std::string& raceWord) {
    return testkit::Bytes("\xEF\xBB\xBF[Human]\r\nCursor=UI\\Cursor\\" + raceWord +
                          "Cursor.mdl\r\nConsoleTexture=UI\\Console\\Human\\HumanUITile\r\n\r\n[Orc]\r\n"
                          "Cursor=UI\\Cursor\\OrcCursor.mdl\r\n");
}

void BuildGameArchive(const fs::path& path, const ArchiveContent& content) {
    std::vector<MpqBuilderFile> files = content.more;
    if (content.gameName)
        files.push_back({u"UI\\FrameDef\\GlobalStrings.fdf", GlobalStringsFdf(*content.gameName)});
    if (content.cursorRace)
        files.push_back({u"UI\\war3skins.txt", War3SkinsTxt(*content.cursorRace)});
    if (files.empty())
        files.push_back({u"readme.txt", testkit::Bytes("nothing here")});
    if (!CreateMpqArchive(path, files, 1))
        throw std::runtime_error("cannot build " + path.string());
}

std::optional<std::vector<std::uint8_t>> ArchiveFile(const fs::path& archive, const std::u16string& address) {
    clsMpqControl mpq;
    mpq.SetMpqFileName(TextFromPath(archive));
    std::vector<std::uint8_t> bytes;
    if (!mpq.ReadFileFromMpq(address, bytes))
        return std::nullopt;
    return bytes;
}

std::u16string DirText(const fs::path& directory) {
    std::u16string text = TextFromPath(directory);
    const auto separator = static_cast<char16_t>(fs::path::preferred_separator);
    if (text.empty() || text.back() != separator)
        text += separator;
    return text;
}

GameDirectory::GameDirectory() : m_prefix("WINEPREFIX", (m_root / "prefix").string()) {
    fs::create_directories(Prefix() / "dosdevices");
    fs::create_directories(Game());
    testkit::WriteFile(Game() / "war3.exe", "MZ");
    modPublicVars::GamePath.clear();
    modPublicVars::MpqName.clear();
}

} // namespace window_test
