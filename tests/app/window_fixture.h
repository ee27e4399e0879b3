#pragma once
// The Qt window's tests: a game directory on disk (game_directory.h, shared with the window logic's
// tests) and a started window pointed at it.
#include "app/frm_main.h"
#include "game_directory.h"

#include <QString>

#include <memory>
#include <optional>
#include <string>

class QComboBox;

namespace window_test {

QString Q(const std::u16string& text);

// Pretends to choose an entry from the open drop-down list, as a user's click does: the list reports
// the choice even when the entry was chosen already.
void ChooseFromPopup(QComboBox* combo, const QString& text);

class GameRig : public GameDirectory {
public:
    GameRig();

    // A window whose start-up decides the game directory from `appDirectory` (default: the game
    // directory itself), after Form_Load; nullptr when Form_Load refused.
    std::unique_ptr<FrmMain> Start(const std::optional<fs::path>& appDirectory = std::nullopt);

    template <typename T> static T* Find(const FrmMain& window, const char* name) {
        return window.findChild<T*>(QLatin1String(name));
    }
};

} // namespace window_test
