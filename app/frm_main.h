#pragma once
// The program's only window on Linux, drawn with Qt: a view over window::MainWindow, which decides
// everything the window does. FrmMain creates its controls from the layout table
// (window/window_layout.h), answers the view's calls and forwards the player's events to the
// logic's handlers; it holds no start-up step, message or handler flow of its own.
// Controls carry their names as objectName ("btnCompressMpq", "Label(4)"). Sizes are device-
// independent pixels (twips / 15): the client area is 517 x 317.
#include "support/game_path.h"
#include "window/main_window.h"
#include "window/window_view.h"

#include <QWidget>

#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>

class QButtonGroup;
class QLabel;

class clsCommonDialog;
class clsMpqControl;
class MpqEngine;

class FrmMain : public QWidget, private window::WindowView {
    Q_OBJECT

public:
    static constexpr int kClientWidth = 517;
    static constexpr int kClientHeight = 317;

    // Builds every control; the logic's Form_Initialize runs first, so the style is set before the
    // controls exist.
    explicit FrmMain(QWidget* parent = nullptr);
    ~FrmMain() override;

    // Start-up; false when the game directory could not be decided: the warning has been shown and
    // the caller must end the process without showing the window.
    bool Form_Load() { return m_logic->Form_Load(); }
    void SetGamePathDecider(std::function<GamePathDecision()> decider);
    // Shows the window centred on its screen.
    void ShowCentred();

    // The logic this window draws, and what tests read of it.
    window::MainWindow& Logic() { return *m_logic; }
    const std::u16string& ItemFileAddress() const { return m_logic->ItemFileAddress(); }
    const std::u16string& ItemFileFilter() const { return m_logic->ItemFileFilter(); }
    const clsMpqControl* MpqControlIfCreated() const { return m_logic->MpqControlIfCreated(); }
    void SetMpqEngine(std::shared_ptr<MpqEngine> engine);
    bool OperationRunning() const { return m_logic->OperationRunning(); }
    QLabel* Label(int index) const;
    QWidget* Control(window::ControlId id) const;

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;
    void closeEvent(QCloseEvent* event) override;

private:
    void CreateControls();
    void ConnectHandlers();
    clsCommonDialog& CommonDialog();

    // The view's side of the window.
    void SetText(window::ControlId id, const std::u16string& text) override;
    std::u16string Text(window::ControlId id) const override;
    void SetListEntries(window::ControlId id, const std::vector<std::u16string>& entries) override;
    std::vector<std::u16string> ListEntries(window::ControlId id) const override;
    void SetSelectedIndex(window::ControlId id, int index) override;
    int SelectedIndex(window::ControlId id) const override;
    void SetChecked(window::ControlId id, bool checked) override;
    bool IsChecked(window::ControlId id) const override;
    void SetEnabled(window::ControlId id, bool enabled) override;
    void MoveControl(window::ControlId id, const window::TwipsRect& rect) override;
    void InitVisualStyle() override;
    void MakeButtonsFlat() override;
    window::MessageAnswer ShowMessage(const window::Message& message) override;
    std::optional<std::u16string> ShowFileDialog(const window::FileDialogRequest& request) override;
    void RunBlocked(const std::function<void()>& operation) override;
    void KeepAlive() override;

    std::unique_ptr<window::MainWindow> m_logic;
    std::unique_ptr<clsCommonDialog> m_commonDialog;
    std::map<window::ControlId, QWidget*> m_controls;
    QButtonGroup* m_mouseGroup = nullptr;
};
