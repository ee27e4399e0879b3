#pragma once
// A game directory on disk for the window's tests: war3.exe, archives of the game's shape built by
// our own builder, a Wine prefix of its own (so the host's registry never leaks in), and a started
// window pointed at it.
#include "app/frm_main.h"
#include "archive/format/mpq_builder.h"
#include "testkit/temp_dir.h"

#include <QString>

#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <vector>

class QComboBox;

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

QString Q(const std::u16string& text);

// Pretends to choose an entry from the open drop-down list, as a user's click does: the list reports
// the choice even when the entry was chosen already.
void ChooseFromPopup(QComboBox* combo, const QString& text);

class GameRig {
public:
    GameRig();

    const fs::path& Root() const { return m_root.path(); }
    fs::path Game() const { return m_root / "game"; }
    fs::path Prefix() const { return m_root / "prefix"; }

    // A window whose start-up decides the game directory from `appDirectory` (default: the game
    // directory itself), after Form_Load; nullptr when Form_Load refused.
    std::unique_ptr<FrmMain> Start(const std::optional<fs::path>& appDirectory = std::nullopt);

    template <typename T> static T* Find(const FrmMain& window, const char* name) {
        return window.findChild<T*>(QLatin1String(name));
    }

private:
    testkit::TempDir m_root;
    testkit::ScopedEnv m_prefix;
};

} // namespace window_test
