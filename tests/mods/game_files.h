#pragma once
// Small files of the game's shape for the modification tests, and an MPQ engine that can be told
// to refuse writing.
#include "archive/mpq_engine.h"

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

// Delegates to the real engine; refuses to create files in archives, remove them or compact while
// writesFail is set, so that a read succeeds and the following write fails.
class WriteRefusingEngine : public MpqEngine {
public:
    WriteRefusingEngine();
    bool writesFail = false;

    MpqHandle OpenArchive(const std::filesystem::path& path, bool readOnly, bool headerAtStart) override;
    bool IsReadOnly(MpqHandle archive) override;
    bool FlushArchive(MpqHandle archive) override;
    bool CloseArchive(MpqHandle archive) override;
    MpqHandle OpenFile(MpqHandle archive, const std::string& name) override;
    std::optional<std::uint64_t> FileSize(MpqHandle file) override;
    std::optional<std::uint32_t> FileLocale(MpqHandle file) override;
    bool ReadFile(MpqHandle file, std::uint8_t* buffer, std::uint32_t size) override;
    bool CloseFile(MpqHandle file) override;
    MpqHandle CreateFile(MpqHandle archive, const std::string& name, std::uint32_t size, std::uint32_t locale) override;
    bool WriteFile(MpqHandle file, const std::uint8_t* data, std::uint32_t size) override;
    bool FinishFile(MpqHandle file) override;
    bool RemoveFile(MpqHandle archive, const std::string& name) override;
    bool CompactArchive(MpqHandle archive) override;

private:
    std::shared_ptr<MpqEngine> m_real;
};

} // namespace modstest
