#pragma once
// The four modifications as the window's handlers run them; each returns the one message to show.
#include "mods/cursor_race.h"

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

class clsMpqControl;

namespace mods {

enum class MessageIcon { Information, Exclamation };

inline constexpr char16_t kTextSucceeded[] = u"命令成功完成.";
inline constexpr char16_t kTextCompleted[] = u"命令完成."; // the cursor write's own success text
inline constexpr char16_t kTextFailed[] = u"操作过程中发生错误.";

struct Outcome {
    std::u16string text; // "命令成功完成.", "命令完成." or "操作过程中发生错误."
    MessageIcon icon = MessageIcon::Exclamation;
    // A success that found the archive already as the operation would leave it and wrote nothing
    // (a compaction with nothing to reclaim); the message stays the success message.
    bool unchanged = false;
};

inline constexpr char16_t kGlobalStringsPath[] = u"UI\\FrameDef\\GlobalStrings.fdf";
inline constexpr char16_t kWar3SkinsPath[] = u"UI\\war3skins.txt";
// The string file's key of the LAN game name.
inline constexpr char16_t kGameNameKey[] = u"GAMENAME";
// The string file and the skin file are refused above this size, before anything of them is read:
// the game's own are 43 to 77 KB, and a larger one can only be a decompression bomb.
inline constexpr std::uint32_t kMaxGameTextFileSize = 4u << 20;

// --- LAN game name ---
// A quote would end the value early and a line break would split the entry: either way the game's
// string file would no longer parse.
bool FitsInQuotedValue(const std::u16string& value);
// The string file with its first GAMENAME value replaced and every other byte as it was; nothing when
// the file holds no such entry or the name does not fit. The edit both the window and scripts make.
std::optional<std::vector<std::uint8_t>> EditLanGameName(const std::vector<std::uint8_t>& file,
                                                         const std::u16string& newName);
// Only the bytes of the first GAMENAME value change; every other byte of the file is written back as
// read, even where it is not valid UTF-8. A name holding '"', CR or LF is refused: nothing is written.
Outcome WriteLanGameName(clsMpqControl& mpq, const std::u16string& newName);
// The GAMENAME value the archive holds, or nothing (missing archive, file or entry).
std::optional<std::u16string> ReadLanGameName(clsMpqControl& mpq);

// --- Cursor race ---
// Only the first entry's race word changes, byte for byte as above. No race chosen, no prefix, or no
// suffix after it: failure, nothing written.
Outcome WriteCursorRace(clsMpqControl& mpq, std::optional<Race> race);
// The skin file with the first cursor entry's race word replaced, byte for byte as above; nothing
// when it holds no cursor entry.
std::optional<std::vector<std::uint8_t>> EditCursorRace(const std::vector<std::uint8_t>& file, Race race);
std::optional<Race> ReadCursorRace(clsMpqControl& mpq);

// --- Resources ---
struct ResourceItem {
    std::u16string entryText;   // "界面背景 (冰封王座)"
    std::u16string fileAddress; // "UI\\Glues\\MainMenu\\MainMenu3d_exp\\MainMenu3d_exp.mdx"
    std::u16string fileFilter;  // "模型文件 (*.mdx)|*.mdx|所有文件 (*.*)|*.*"
};
// The entry chosen at start-up.
inline constexpr char16_t kDefaultResourceEntry[] = u"界面背景 (冰封王座)";
// The seven items in list order.
const std::vector<ResourceItem>& ResourceItems();
// The item whose entry text equals the combo text, blanks trimmed, exactly; or nullptr.
const ResourceItem* FindResourceItem(const std::u16string& comboText);

enum class ResourceMode { Extract, Delete, Replace };
// Extract wins over delete when both boxes are checked.
ResourceMode ResourceModeFor(bool extractChecked, bool deleteChecked);
// Extract: archive -> disk file. Delete: a resource the archive does not hold is a success, but an
// archive that is missing or not an archive is a failure. Replace: disk file -> archive.
// diskPath is used as typed, not trimmed. Extract and replace copy a piece at a time, never the
// whole resource in memory.
Outcome RunResourceOperation(clsMpqControl& mpq, ResourceMode mode, const std::u16string& itemFileAddress,
                             const std::u16string& diskPath);

// --- Compaction (after the user said Yes) ---
inline constexpr char16_t kCompactQuestion[] = u"压缩 MPQ 将会花费较长时间, 确认执行?";
// An archive with nothing to reclaim is left as it is: the success message, with unchanged set.
Outcome CompactArchive(clsMpqControl& mpq);

} // namespace mods
