#pragma once
// Process-wide state shared by the window's handlers, and two small services of the start-up.
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace modPublicVars {

// The game directory, always ending in the native separator ("/home/p/War3/" or "D:\\War3\\").
extern std::u16string GamePath;
// The chosen archive's file name, relative to GamePath ("War3Patch.mpq").
extern std::u16string MpqName;

// The program's own directory, ending in the native separator: the first of GetAppPaths().
std::u16string GetAppPath();

// Where the program stands, each ending in the native separator, in the order they count: the
// directory of the path it was started through (a symbolic link's own directory, or the PATH entry a
// bare name was found in), then the directory of its resolved file when that differs. Started as
// /games/War3/ostrawen, a link to /opt/ostrawen/ostrawen: {"/games/War3/", "/opt/ostrawen/"}.
std::vector<std::u16string> GetAppPaths();

// Records how the program was started: main calls it first, with argv[0], before anything changes the
// working directory. Without it the path is taken from the process's own command line. nullptr forgets
// what was recorded.
void RecordStartPath(const char* argv0);

// The file that `argv0` named when the program was started in `workingDirectory` with `searchPath` as
// PATH (a name with a '/' is taken as a path, a bare name is looked up on the PATH as execvp does), or
// nothing when it names no executable file that is `self`; a caller cannot make us look somewhere
// the program is not.
std::optional<std::filesystem::path> StartedThrough(std::string_view argv0,
                                                    const std::filesystem::path& workingDirectory,
                                                    std::string_view searchPath, const std::filesystem::path& self);

// One value of an INI file, as the Windows profile reader gives it: empty when the file, the
// section or the key is missing. Blanks and one pair of enclosing quotes are removed, the value is
// cut to 254 bytes without splitting a two-byte character, then decoded as UTF-8 (BOM file, or a
// valid non-ASCII UTF-8 value) or else as code page 936.
std::u16string ReadIniValue(const std::u16string& fileName, const std::u16string& section, const std::u16string& key);

} // namespace modPublicVars
