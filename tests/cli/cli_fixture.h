#pragma once
// The built ostrawen-cli run as a process, as a script runs it, on a game directory of its own per test.
#include "testkit/temp_dir.h"

#include <gtest/gtest.h>

#include <map>
#include <optional>

namespace clitest {

struct CliResult {
    int exitCode = -1;
    std::string out;
    std::string err;
};

// One JSON document flattened to its values as written: {"a":[{"b":"x"}]} gives "a" -> "[]", "a/0" -> "{}",
// "a/0/b" -> "\"x\"".
using JsonDocument = std::map<std::string, std::string>;

// GlobalStrings.fdf with this GAMENAME, war3skins.txt with this first race, other files.
struct ArchiveContent {
    std::optional<std::string> gameName = std::nullopt;
    std::optional<std::string> cursor = std::nullopt;
    std::vector<std::pair<std::u16string, std::vector<std::uint8_t>>> others = {};
};
void BuildGameArchive(const std::filesystem::path& path, const ArchiveContent& content);
// GlobalStrings.fdf without a GAMENAME entry, only one whose name begins with it.
inline const std::pair<std::u16string, std::vector<std::uint8_t>> kNoGameNameEntry = {
    u"UI\\FrameDef\\GlobalStrings.fdf", testkit::Bytes("StringList {\r\n    GAMENAME_SHORT \"%s\",\r\n}\r\n")};

// Each test has war3.exe and War3Patch.mpq holding GAMENAME "Host", the Human cursor and as menu-music-roc
// PatternBytes(5000, 7), in GameDir().
class CliTest : public testing::Test {
protected:
    CliTest();
    std::filesystem::path GameDir() const { return m_root / "Warcraft III"; }
    std::filesystem::path Patch() const { return GameDir() / "War3Patch.mpq"; }
    // "{scratch}" in an argument stands for the test's directory. With `terminal`, stderr is a
    // pseudo-terminal, as a person at a shell has it.
    CliResult Run(std::vector<std::string> arguments, bool json = false, bool gameDir = true, bool terminal = false);
    // The one JSON document on stdout; fails the test when the output is not exactly one well-formed document.
    static JsonDocument Document(const CliResult& result);
    static std::string At(const JsonDocument& document, const std::string& path) {
        const auto found = document.find(path);
        return found == document.end() ? "<no " + path + ">" : found->second;
    }
    // Bytes and modification time: equal when nothing was written.
    static auto StateOf(const std::filesystem::path& path) {
        return std::pair(testkit::ReadFile(path), std::filesystem::last_write_time(path));
    }

    testkit::TempDir m_root;
    // The game search finds only what a test puts under its own directory.
    testkit::ScopedEnv m_home{"HOME", m_root.path().string()};
    testkit::ScopedEnv m_prefix{"WINEPREFIX", (m_root / "no-prefix").string()};
};

} // namespace clitest
