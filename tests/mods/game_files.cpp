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

WriteRefusingEngine::WriteRefusingEngine() : m_real(MakeStormMpqEngine()) {}

MpqHandle WriteRefusingEngine::OpenArchive(const std::filesystem::path& path, bool readOnly, bool headerAtStart) {
    return m_real->OpenArchive(path, readOnly, headerAtStart);
}
bool WriteRefusingEngine::IsReadOnly(MpqHandle archive) {
    return m_real->IsReadOnly(archive);
}
bool WriteRefusingEngine::FlushArchive(MpqHandle archive) {
    return m_real->FlushArchive(archive);
}
bool WriteRefusingEngine::CloseArchive(MpqHandle archive) {
    return m_real->CloseArchive(archive);
}
MpqHandle WriteRefusingEngine::OpenFile(MpqHandle archive, const std::string& name) {
    return m_real->OpenFile(archive, name);
}
std::optional<std::uint64_t> WriteRefusingEngine::FileSize(MpqHandle file) {
    return m_real->FileSize(file);
}
std::optional<std::uint32_t> WriteRefusingEngine::FileLocale(MpqHandle file) {
    return m_real->FileLocale(file);
}
bool WriteRefusingEngine::ReadFile(MpqHandle file, std::uint8_t* buffer, std::uint32_t size) {
    return m_real->ReadFile(file, buffer, size);
}
bool WriteRefusingEngine::CloseFile(MpqHandle file) {
    return m_real->CloseFile(file);
}
MpqHandle WriteRefusingEngine::CreateFile(MpqHandle archive, const std::string& name, std::uint32_t size,
                                          std::uint32_t locale) {
    if (writesFail)
        return nullptr;
    return m_real->CreateFile(archive, name, size, locale);
}
bool WriteRefusingEngine::WriteFile(MpqHandle file, const std::uint8_t* data, std::uint32_t size) {
    return m_real->WriteFile(file, data, size);
}
bool WriteRefusingEngine::FinishFile(MpqHandle file) {
    return m_real->FinishFile(file);
}
bool WriteRefusingEngine::RemoveFile(MpqHandle archive, const std::string& name) {
    if (writesFail)
        return false;
    return m_real->RemoveFile(archive, name);
}
bool WriteRefusingEngine::CompactArchive(MpqHandle archive) {
    if (writesFail)
        return false;
    return m_real->CompactArchive(archive);
}

} // namespace modstest
