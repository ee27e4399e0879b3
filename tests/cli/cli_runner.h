#pragma once
// Runs the built ostrawen-cli as a process of its own, as a script would, and builds the game
// directories it works on.
#include "testkit/temp_dir.h"

#include <cstdint>
#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace clitest {

struct CliResult {
    int exitCode = -1; // -1 when the process did not end normally
    std::string out;
    std::string err;
};

// Runs ostrawen-cli with the arguments; `env` entries replace (or, with no value, remove) variables
// of this process's environment. Output is collected through files in `scratch`.
CliResult RunCli(const std::vector<std::string>& arguments, const std::filesystem::path& scratch,
                 const std::map<std::string, std::optional<std::string>>& env = {});

// The same with stderr on a pseudo-terminal, as a person at a shell has it; err is what reached it.
CliResult RunCliOnTerminal(const std::vector<std::string>& arguments, const std::filesystem::path& scratch);

// The files one archive holds; nothing for a game text file means the archive lacks that file.
struct ArchiveContent {
    std::optional<std::string> gameName; // GlobalStrings.fdf with this GAMENAME value (UTF-8 bytes)
    std::optional<std::string> cursor;   // war3skins.txt with this first race word ("Human")
    std::vector<std::pair<std::u16string, std::vector<std::uint8_t>>> others; // address, bytes
};

void BuildGameArchive(const std::filesystem::path& path, const ArchiveContent& content);

// A game directory with war3.exe and War3Patch.mpq holding GAMENAME "Host", the Human cursor
// and the Reign of Chaos menu music.
void BuildGameDir(const std::filesystem::path& dir);

// The archive's bytes and modification time, to show that nothing was written.
struct FileState {
    std::vector<std::uint8_t> bytes;
    std::filesystem::file_time_type mtime;
    bool operator==(const FileState&) const = default;
};
FileState StateOf(const std::filesystem::path& path);

} // namespace clitest
