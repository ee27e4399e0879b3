#pragma once
// The built ostrawen-cli run as a process, as a script runs it, on a game directory of its own per test:
// war3.exe and War3Patch.mpq holding GAMENAME "Host", the Human cursor and PatternBytes(5000, 7) as menu-music-roc.
#include "../mods/game_files.h"
#include "testkit/mpq_fixtures.h"
#include "testkit/temp_dir.h"

#include <gtest/gtest.h>

#include <map>

namespace clitest {

struct CliResult {
    int exitCode = -1;
    std::string out;
    std::string err;
};

inline MpqBuilderFile Strings(const std::string& gameName) {
    return {u"UI\\FrameDef\\GlobalStrings.fdf", modstest::GlobalStringsFile(gameName)};
}
inline MpqBuilderFile Skins(const std::string& firstRace) {
    return {u"UI\\war3skins.txt", modstest::War3SkinsFile(firstRace)};
}
// GlobalStrings.fdf with only an entry whose name begins with GAMENAME; a file for archives without game files.
inline const MpqBuilderFile kNoGameNameEntry = {u"UI\\FrameDef\\GlobalStrings.fdf",
                                                testkit::Bytes("StringList {\r\n    GAMENAME_SHORT \"%s\",\r\n}\r\n")};
inline const MpqBuilderFile kMarker = {u"readme.txt", testkit::Bytes("marker")};

class CliTest : public testing::Test {
protected:
    CliTest();
    std::filesystem::path GameDir() const { return m_root / "Warcraft III"; }
    std::filesystem::path Patch() const { return GameDir() / "War3Patch.mpq"; }
    // Runs in the test's directory; `terminal` gives stderr a pseudo-terminal, as a person at a shell has it.
    CliResult Run(std::vector<std::string> arguments, bool json = false, bool gameDir = true, bool terminal = false);
    // The output's one JSON document flattened to its values as written: {"a":[{"b":"x"}]} gives "a" -> "[]",
    // "a/0" -> "{}", "a/0/b" -> "\"x\"". Fails the test when the output is anything else.
    static std::map<std::string, std::string> Document(const CliResult& result);
    // Bytes and modification time: equal when nothing was written.
    static auto StateOf(const std::filesystem::path& path) {
        return std::pair(testkit::ReadFile(path), std::filesystem::last_write_time(path));
    }

    testkit::TempDir m_root;
    // The game search finds only what a test puts under its own directory.
    testkit::ScopedEnv m_home{"HOME", m_root.path().string()};
    testkit::ScopedEnv m_prefix{"WINEPREFIX", (m_root / "no-prefix").string()};
};

// "LanNameJson" for the row "LanName" run with --json.
inline std::string RowAndMode(const auto& info) {
    return std::string(std::get<0>(info.param).name) + (std::get<1>(info.param) ? "Json" : "Human");
}

} // namespace clitest
