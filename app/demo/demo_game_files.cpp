#include "app/demo/demo_game_files.h"

#include "archive/format/mpq_builder.h"
#include "mods/modifications.h"
#include "support/utf8_convert.h"

#include <fstream>

namespace demo {
namespace {

std::vector<std::uint8_t> Utf8WithBom(const std::u16string& text) {
    return modUtf8Convert::StringToUtf8Bytes(u"\uFEFF" + text);
}

// Some entries around GAMENAME, aligned as in the game's own file.
std::u16string StringEntry(const std::u16string& key, const std::u16string& value) {
    std::u16string line = u"    " + key;
    line.append(key.size() < 32 ? 32 - key.size() : 1, u' ');
    return line + u"\"" + value + u"\",\r\n";
}

// Bytes that look like the start of the real kind of file, then a note naming the archive, so that an
// extracted stand-in shows where it came from.
std::vector<std::uint8_t> StandIn(const std::u16string& fileAddress, const std::u16string& archive) {
    std::vector<std::uint8_t> bytes;
    const auto ends = [&](std::u16string_view suffix) {
        return fileAddress.size() >= suffix.size() &&
               fileAddress.compare(fileAddress.size() - suffix.size(), suffix.size(), suffix) == 0;
    };
    if (ends(u".mp3")) {
        bytes = {'I', 'D', '3', 3, 0, 0, 0, 0, 0, 0};
    } else if (ends(u".ttf") || ends(u".TTF")) {
        bytes = {0, 1, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0};
    } else {
        bytes = {'M', 'D', 'L', 'X', 'V', 'E', 'R', 'S', 4, 0, 0, 0, 800 % 256, 800 / 256, 0, 0};
    }
    const std::vector<std::uint8_t> note =
        modUtf8Convert::StringToUtf8Bytes(u"Ostrawen demo stand-in for " + fileAddress + u" in " + archive);
    bytes.insert(bytes.end(), note.begin(), note.end());
    return bytes;
}

} // namespace

const std::vector<DemoArchive>& DemoArchives() {
    static const std::vector<DemoArchive> archives = {
        {u"War3Patch.mpq", u"Keldrava 的局域网游戏", u"Orc"},
        {u"War3xLocal.mpq", u"%s的游戏", u"Human"},
        {u"War3x.mpq", u"冰封王座主机", u"NightElf"},
        {u"War3.mpq", u"混乱之治主机", u"Undead"},
    };
    return archives;
}

std::vector<std::uint8_t> GlobalStringsFile(const std::u16string& gameName) {
    std::u16string text = u"/*\r\n"
                          u" * GlobalStrings\r\n"
                          u" * ----------------\r\n"
                          u" *\r\n"
                          u" * Strings shown by the glue screens and the in-game interface.\r\n"
                          u" * Each identifier may be declared once in any StringList.\r\n"
                          u" *\r\n"
                          u" */\r\n"
                          u"\r\n"
                          u"StringList {\r\n"
                          u"\r\n";
    text += StringEntry(u"ACCEPT", u"接受");
    text += StringEntry(u"CANCEL", u"取消");
    text += StringEntry(u"CREATE_GAME", u"创建游戏");
    text += StringEntry(u"GAME_NAME", u"游戏名称:");
    text += StringEntry(u"GAMENAME", gameName);
    text += StringEntry(u"LOCAL_AREA_NETWORK", u"局域网");
    text += StringEntry(u"NO", u"否");
    text += StringEntry(u"YES", u"是");
    text += u"}\r\n\r\n";
    return Utf8WithBom(text);
}

std::vector<std::uint8_t> War3SkinsFile(const std::u16string& firstRace) {
    // The [Human] section comes first; its cursor entry is the one the game (and the window) reads.
    const auto section = [](const std::u16string& name, const std::u16string& cursorRace) {
        return u"[" + name + u"]\r\n" + u"Music=Sound\\Music\\mp3Music\\" + name + u"1.mp3;Sound\\Music\\mp3Music\\" +
               name + u"2.mp3\r\n" + u"Cursor=UI\\Cursor\\" + cursorRace + u"Cursor.mdl\r\n" +
               u"ConsoleTexture=UI\\Console\\" + name + u"\\" + name + u"UITile01.blp\r\n" + u"\r\n";
    };
    std::u16string text = section(u"Human", firstRace);
    text += section(u"Orc", u"Orc");
    text += section(u"NightElf", u"NightElf");
    text += section(u"Undead", u"Undead");
    text += u"[Main]\r\nSkins=Human,Orc,NightElf,Undead\r\n";
    return Utf8WithBom(text);
}

bool MakeGameDirectory(const std::filesystem::path& gameDir, std::string& error) {
    std::error_code ec;
    std::filesystem::create_directories(gameDir, ec);
    if (ec) {
        error = "cannot create " + gameDir.string() + ": " + ec.message();
        return false;
    }
    {
        std::ofstream marker(gameDir / "war3.exe", std::ios::binary | std::ios::trunc);
        marker << "MZ Ostrawen demo: stands in for the game's program\r\n";
        if (!marker) {
            error = "cannot write " + (gameDir / "war3.exe").string();
            return false;
        }
    }
    for (const DemoArchive& archive : DemoArchives()) {
        std::vector<MpqBuilderFile> files;
        files.push_back({mods::kGlobalStringsPath, GlobalStringsFile(archive.gameName)});
        files.push_back({mods::kWar3SkinsPath, War3SkinsFile(archive.race)});
        for (const mods::ResourceItem& item : mods::ResourceItems()) {
            files.push_back({item.fileAddress, StandIn(item.fileAddress, archive.fileName)});
        }
        const std::filesystem::path archivePath = gameDir / std::filesystem::path(archive.fileName);
        if (!CreateMpqArchive(archivePath, files, 1)) {
            error = "cannot create the archive " + archivePath.string();
            return false;
        }
    }
    return true;
}

} // namespace demo
