#pragma once
// A game directory on disk for the window's tests, without any toolkit: war3.exe, archives of the
// game's shape built by our own builder, and a Wine prefix of its own so that the host's registry
// never leaks in. Shared by the logic's tests and every view's harness.
#include "archive/format/mpq_builder.h"
#include "testkit/temp_dir.h"

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

namespace window_test {

namespace fs = std::filesystem;

// The string file with a GAMENAME entry, as the game ships it: BOM, CRLF, other entries around.
std::vector<std::uint8_t> GlobalStringsFdf(const std::string& gameNameUtf8);
// The skin file with its first cursor entry naming `raceWord`, the [Human] section first.
std::vector<std::uint8_t> War3SkinsTxt(const std::string& raceWord);

struct ArchiveContent {
    std::optional<std::string> gameName;   // nothing: no GlobalStrings.fdf
    std::optional<std::string> cursorRace; // nothing: no war3skins.txt
    std::vector<MpqBuilderFile> more;
};
void BuildGameArchive(const fs::path& path, const ArchiveContent& content);

// One file of an archive as our archive door reads it; nothing when it cannot.
std::optional<std::vector<std::uint8_t>> ArchiveFile(const fs::path& archive, const std::u16string& address);

// A directory as the start-up passes it around: with a trailing separator.
std::u16string DirText(const fs::path& directory);

class GameDirectory {
public:
    GameDirectory();

    const fs::path& Root() const { return m_root.path(); }
    fs::path Game() const { return m_root / "game"; }
    fs::path Prefix() const { return m_root / "prefix"; }

private:
    testkit::TempDir m_root;
    testkit::ScopedEnv m_prefix;
};

} // namespace window_test
