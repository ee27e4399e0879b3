#include "mods/modifications.h"

#include "archive/door/mpq_control.h"
#include "mods/byte_splice.h"
#include "mods/set_string.h"
#include "support/text_compare.h"
#include "support/utf8_convert.h"

#include <array>

namespace mods {
namespace {

Outcome Succeeded() {
    return {kTextSucceeded, MessageIcon::Information};
}
Outcome Failed() {
    return {kTextFailed, MessageIcon::Exclamation};
}
Outcome SucceededOrFailed(bool ok) {
    return ok ? Succeeded() : Failed();
}

} // namespace

bool FitsInQuotedValue(const std::u16string& value) {
    return value.find_first_of(u"\"\r\n") == std::u16string::npos;
}

std::optional<std::vector<std::uint8_t>> EditLanGameName(const std::vector<std::uint8_t>& file,
                                                         const std::u16string& newName) {
    if (!FitsInQuotedValue(newName))
        return std::nullopt;
    const std::u16string text = modUtf8Convert::Utf8BytesToString(file);
    const auto value = FindQuotedValue(text, kGameNameKey);
    if (!value)
        return std::nullopt;
    return SpliceDecoded(file, text, value->valueBegin, value->valueEnd, newName);
}

std::optional<std::vector<std::uint8_t>> EditCursorRace(const std::vector<std::uint8_t>& file, Race race) {
    const std::u16string text = modUtf8Convert::Utf8BytesToString(file);
    const auto entry = FindCursorEntry(text);
    if (!entry)
        return std::nullopt;
    return SpliceDecoded(file, text, entry->wordBegin, entry->wordEnd, RaceWord(race));
}

Outcome WriteLanGameName(clsMpqControl& mpq, const std::u16string& newName) {
    // Running out of memory on a large file is a failure like any other.
    try {
        std::vector<std::uint8_t> bytes;
        if (!mpq.ReadFileFromMpq(kGlobalStringsPath, bytes, nullptr, kMaxGameTextFileSize))
            return Failed();
        const auto edited = EditLanGameName(bytes, newName);
        if (!edited)
            return Failed();
        return SucceededOrFailed(mpq.SaveFileToMpq(kGlobalStringsPath, *edited));
    } catch (...) {
        return Failed();
    }
}

std::optional<std::u16string> ReadLanGameName(clsMpqControl& mpq) {
    // Running out of memory on a large file is a failure like any other.
    try {
        std::vector<std::uint8_t> bytes;
        if (!mpq.ReadFileFromMpq(kGlobalStringsPath, bytes, nullptr, kMaxGameTextFileSize))
            return std::nullopt;
        std::u16string ignored;
        std::u16string name;
        if (!SetString(modUtf8Convert::Utf8BytesToString(bytes), kGameNameKey, u"", ignored, name))
            return std::nullopt;
        return name;
    } catch (...) {
        return std::nullopt;
    }
}

Outcome WriteCursorRace(clsMpqControl& mpq, std::optional<Race> race) {
    // Running out of memory on a large file is a failure like any other.
    try {
        if (!race)
            return Failed();
        std::vector<std::uint8_t> bytes;
        if (!mpq.ReadFileFromMpq(kWar3SkinsPath, bytes, nullptr, kMaxGameTextFileSize))
            return Failed();
        const auto edited = EditCursorRace(bytes, *race);
        if (!edited)
            return Failed();
        if (!mpq.SaveFileToMpq(kWar3SkinsPath, *edited))
            return Failed();
        return {kTextCompleted, MessageIcon::Information};
    } catch (...) {
        return Failed();
    }
}

std::optional<Race> ReadCursorRace(clsMpqControl& mpq) {
    // Running out of memory on a large file is a failure like any other.
    try {
        std::vector<std::uint8_t> bytes;
        if (!mpq.ReadFileFromMpq(kWar3SkinsPath, bytes, nullptr, kMaxGameTextFileSize))
            return std::nullopt;
        return RecognizeRace(modUtf8Convert::Utf8BytesToString(bytes));
    } catch (...) {
        return std::nullopt;
    }
}

const std::vector<ResourceItem>& ResourceItems() {
    static const std::u16string music = u"背景音乐文件 (*.mp3)|*.mp3|所有文件 (*.*)|*.*";
    static const std::u16string font = u"字体文件 (*.ttf)|*.ttf|所有文件 (*.*)|*.*";
    static const std::u16string model = u"模型文件 (*.mdx)|*.mdx|所有文件 (*.*)|*.*";
    static const std::vector<ResourceItem> items = {
        {u"背景音乐 (混乱之治)", u"Sound\\Music\\mp3Music\\Mainscreen.mp3", music},
        {u"背景音乐 (冰封王座)", u"Sound\\Music\\mp3Music\\War3XMainScreen.mp3", music},
        {u"游戏字体 (简体中文)", u"Fonts\\dfst-m3u.ttf", font},
        {u"游戏字体 (繁体中文)", u"Fonts\\dffn_b31.ttf", font},
        {u"游戏字体 (英文)", u"Fonts\\FRIZQT__.TTF", font},
        {u"界面背景 (混乱之治)", u"UI\\Glues\\MainMenu\\MainMenu3d\\MainMenu3d.mdx", model},
        {u"界面背景 (冰封王座)", u"UI\\Glues\\MainMenu\\MainMenu3d_exp\\MainMenu3d_exp.mdx", model},
    };
    return items;
}

const ResourceItem* FindResourceItem(const std::u16string& comboText) {
    // Only blanks (U+0020) are trimmed: a tab or an ideographic space left in the text matches no entry.
    const std::u16string trimmed = TrimBlanks(comboText);
    for (const ResourceItem& item : ResourceItems()) {
        if (item.entryText == trimmed)
            return &item;
    }
    return nullptr;
}

ResourceMode ResourceModeFor(bool extractChecked, bool deleteChecked) {
    if (extractChecked)
        return ResourceMode::Extract;
    if (deleteChecked)
        return ResourceMode::Delete;
    return ResourceMode::Replace;
}

Outcome RunResourceOperation(clsMpqControl& mpq, ResourceMode mode, const std::u16string& itemFileAddress,
                             const std::u16string& diskPath) {
    // Whatever goes wrong is a failure like any other; nothing may reach the window's event loop.
    try {
        switch (mode) {
        case ResourceMode::Extract:
            return SucceededOrFailed(mpq.ExtractFileFromMpq(itemFileAddress, diskPath));
        case ResourceMode::Delete:
            // Nothing to delete is a success, but only from an archive that is there to hold it.
            if (!mpq.FileExistsInMpq(itemFileAddress))
                return SucceededOrFailed(mpq.ArchiveOpens());
            return SucceededOrFailed(mpq.DeleteFileFromMpq(itemFileAddress));
        case ResourceMode::Replace:
            return SucceededOrFailed(mpq.SaveFileToMpqFromDisk(itemFileAddress, diskPath));
        }
        return Failed();
    } catch (...) {
        return Failed();
    }
}

Outcome CompactArchive(clsMpqControl& mpq) {
    bool rewritten = false;
    Outcome outcome = SucceededOrFailed(mpq.CompressMpq(nullptr, &rewritten));
    outcome.unchanged = outcome.icon == MessageIcon::Information && !rewritten;
    return outcome;
}

} // namespace mods
