#pragma once
// Deciding the game directory at start-up: the program's own directory when it holds war3.exe, else
// the game's registry entry (InstallPath) when that directory holds war3.exe, else the WarPath of the
// host program's PD_Set.ini beside the program. Started through a link, the link's directory counts
// before the resolved program's. When none decides, the window shows one of two warnings and the
// process ends.
#include <optional>
#include <string>
#include <vector>

enum class GamePathWarning {
    None,
    // PD_Set.ini exists but names a directory without war3.exe.
    M1,
    // Nothing found at all.
    M2,
};

// Which source decided (None with a warning).
enum class GamePathSource {
    None,
    ProgramDirectory,
    Registry,
    SettingsFile,
};

struct GamePathDecision {
    std::u16string gamePath; // set when warning is None; ends in the native separator
    GamePathWarning warning = GamePathWarning::None;
    GamePathSource source = GamePathSource::None;
};

// Decides from the program's own directories (GetAppPaths) and sets modPublicVars::GamePath on success.
GamePathDecision FindGamePath();

// The same decision for given program directories (each ending in the separator); sets nothing. The
// directories are tried in order for war3.exe, then the registry, then in order for PD_Set.ini. A
// registry path whose directory lacks war3.exe (an uninstalled or moved game leaves it behind) counts
// as no registry entry, as a program directory without war3.exe does.
GamePathDecision DecideGamePath(const std::vector<std::u16string>& appPaths);
GamePathDecision DecideGamePath(const std::u16string& appPath);

// Trims blanks, appends one separator and collapses pairs of separators in one left-to-right pass:
// "D:\\War3" -> "D:\\War3\\", " /games/w3// " -> "/games/w3//" (three in a row become two).
std::u16string NormaliseGamePath(const std::u16string& path);

// The exact text of a warning (title "提示"); empty for None.
std::u16string GamePathWarningText(GamePathWarning warning);
