#include "support/game_path.h"

#include "support/file_probe.h"
#include "support/native_path.h"
#include "support/public_vars.h"
#include "support/registry.h"
#include "support/text_compare.h"
#include "support/text_path.h"

namespace {

#ifdef _WIN32
constexpr char16_t kSeparator = u'\\';
#else
constexpr char16_t kSeparator = u'/';
#endif

bool HoldsGame(const std::u16string& directory) {
    return file_probe::OrdinaryFileExists(PathFromText(directory), u"war3.exe");
}

// "D:\..." from the registry or the settings file names a directory inside the Wine prefix here.
std::u16string ToNative(const std::u16string& path) {
    return native_path::FromWindowsPath(path);
}

} // namespace

std::u16string NormaliseGamePath(const std::u16string& path) {
    const std::u16string joined = TrimBlanks(path) + kSeparator;
    std::u16string result;
    result.reserve(joined.size());
    for (std::size_t i = 0; i < joined.size(); ++i) {
        result.push_back(joined[i]);
        if (joined[i] == kSeparator && i + 1 < joined.size() && joined[i + 1] == kSeparator)
            ++i;
    }
    return result;
}

GamePathDecision DecideGamePath(const std::vector<std::u16string>& appPaths) {
    for (const std::u16string& appPath : appPaths) {
        if (HoldsGame(appPath))
            return {appPath, GamePathWarning::None, GamePathSource::ProgramDirectory};
    }

    // A registry value that cannot be read counts as a missing one.
    std::u16string installPath;
    if (auto value = mRegEdit::GetRegValue(mRegEdit::HKEY_CURRENT_USER_,
                                           u"Software\\Blizzard Entertainment\\Warcraft III", u"InstallPath")) {
        installPath = TrimBlanks(mRegEdit::RegValueAsText(*value));
    }
    // A stale entry must not hide a valid settings file: every later action would fail on it.
    if (installPath.find(u":\\") != std::u16string::npos) {
        const std::u16string gamePath = NormaliseGamePath(ToNative(installPath));
        if (HoldsGame(gamePath))
            return {gamePath, GamePathWarning::None, GamePathSource::Registry};
    }

    // The first settings file found decides, as the first war3.exe did.
    const std::u16string settingsName = u"PD_Set.ini";
    for (const std::u16string& appPath : appPaths) {
        if (!file_probe::OrdinaryFileExists(PathFromText(appPath), settingsName))
            continue;
        const auto settingsFile = file_probe::FindEntryIgnoringCase(PathFromText(appPath), settingsName);
        const std::u16string warPath =
            settingsFile ? modPublicVars::ReadIniValue(TextFromPath(*settingsFile), u"War3Main", u"WarPath") : u"";
        const std::u16string gamePath = NormaliseGamePath(ToNative(warPath));
        if (HoldsGame(gamePath))
            return {gamePath, GamePathWarning::None, GamePathSource::SettingsFile};
        return {{}, GamePathWarning::M1, GamePathSource::None};
    }
    return {{}, GamePathWarning::M2, GamePathSource::None};
}

GamePathDecision DecideGamePath(const std::u16string& appPath) {
    return DecideGamePath(std::vector<std::u16string>{appPath});
}

GamePathDecision FindGamePath() {
    GamePathDecision decision = DecideGamePath(modPublicVars::GetAppPaths());
    if (decision.warning == GamePathWarning::None)
        modPublicVars::GamePath = decision.gamePath;
    return decision;
}

std::u16string GamePathWarningText(GamePathWarning warning) {
    switch (warning) {
    case GamePathWarning::M1:
        return u"Pellidor 中的 魔兽争霸III 安装目录设置不正确。\r\n"
               u"请重新在 Pellidor 中设置或将本程序放在 魔兽争霸III 安装目录下使用。";
    case GamePathWarning::M2:
        return u"请把本程序放在 Pellidor 目录下，或者放在 魔兽争霸III 安装目录下，再运行本程序才可使用！";
    case GamePathWarning::None:
        break;
    }
    return {};
}
