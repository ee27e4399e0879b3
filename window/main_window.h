#pragma once
// The main window's logic, below every view: the start-up steps and their order, the game-directory
// warnings, the archive selection, what the settings area shows, each handler's flow and message,
// and the rule that nothing else runs while an archive operation runs. It owns the archive object
// and talks to the player only through its WindowView.
//
// A view calls Form_Initialize when it has created its controls from the layout, Form_Load before
// it first shows the window (false: the game directory could not be decided, the warning has been
// shown, and the process must end unseen), Form_QueryUnload when the player closes the window, and
// the handlers named after their control and event when the player acts. A player's choice of a
// list entry is reported once, as Click, also when the entry was chosen already.
#include "window/window_view.h"

#include "support/game_path.h"

#include <functional>
#include <memory>
#include <optional>
#include <string>

class clsMpqControl;
class MpqEngine;

namespace mods {
struct Outcome;
}

namespace window {

// The application's title, the caption of every message box of the handlers.
inline constexpr char16_t kAppTitle[] = u"Ostrawen";
inline constexpr char16_t kWarningTitle[] = u"提示";
// Shown once an operation ends when the archive door found, beside the archive, the journal of an
// interrupted write that did not belong to the archive now in its place: the journal was set aside
// beside it and the archive left as it is.
inline constexpr char16_t kJournalSetAsideText[] =
    u"MPQ 文件旁有一次中断的写入留下的日志, 但它不属于现在的 MPQ 文件。日志已改名保存在 MPQ 文件旁 "
    u"(-journal.N 或 -backup.N), MPQ 文件未作任何改动。";
inline constexpr char16_t kDefaultMpqName[] = u"War3Patch.mpq";
inline constexpr char16_t kDefaultItem[] = u"界面背景 (冰封王座)";
// Where start-up moves the banner's two lines (twips, within PicTop); both then follow their text.
inline constexpr TwipsRect kAboutLineRect{240, 180, 5475, 180};
inline constexpr TwipsRect kFeatureLineRect{600, 480, 5850, 180};

class MainWindow {
public:
    explicit MainWindow(WindowView& view);
    ~MainWindow();
    MainWindow(const MainWindow&) = delete;
    MainWindow& operator=(const MainWindow&) = delete;

    // The game-directory decision used by Form_Load; FindGamePath unless a test gives another.
    void SetGamePathDecider(std::function<GamePathDecision()> decider);
    // For tests: the archive door works through this engine from now on (an engine that is slow,
    // counts or fails on purpose); the chosen archive stays.
    void SetMpqEngine(std::shared_ptr<MpqEngine> engine);

    // Start-up.
    void Form_Initialize();
    bool Form_Load();
    // True when the window must stay open: an archive operation is running.
    bool Form_QueryUnload() const;

    // Handlers.
    void cboMpqFileName_Change();
    void cboMpqFileName_Click();
    void cboMpqFileName_Scroll();
    void cboItemToModify_Change();
    void cboItemToModify_Click();
    void cboItemToModify_LostFocus();
    void cboItemToModify_Scroll();
    void btnBrowserForModificationDest_Click();
    void btnDoModificationForGeneral_Click();
    void btnDoModificationForLanGameName_Click();
    void btnDoModificationForMouse_Click();
    void btnCompressMpq_Click();

    // The key/value editing of the LAN game name, exposed as the window's public operation.
    static bool SetString(std::u16string ProcString, std::u16string ModName, std::u16string NewModStr,
                          std::u16string& NewText, std::u16string& OldModStr);

    // State the handlers share, read by views and tests.
    const std::u16string& ItemFileAddress() const { return m_itemFileAddress; }
    const std::u16string& ItemFileFilter() const { return m_itemFileFilter; }
    // The archive object, or nullptr before anything has needed it.
    const clsMpqControl* MpqControlIfCreated() const { return m_mpqControl.get(); }
    // True while an archive operation runs: the view takes no input and refuses to close.
    bool OperationRunning() const { return m_operationRunning; }

private:
    clsMpqControl& MpqControl();
    // Gives a new archive door the window's progress callback and set-aside notice.
    void WireMpqControl();
    void RefreshCurrentSettings();
    // Chooses the entry whose text is `text` and runs the list's Click handler, as a player's choice.
    void ChooseListEntry(ControlId list, const std::u16string& text);
    // Runs one archive step with the window blocked. While one step runs no other starts: a second
    // call does nothing and returns true. False when the step failed with an exception.
    bool RunOperation(const std::function<void()>& step);
    void KeepWindowAlive();
    // The outcome of RunOperation: the error message when the step threw, else its outcome if any.
    void ShowResult(bool completed, const std::optional<mods::Outcome>& outcome);
    void ShowOperationError();
    MessageAnswer Show(MessageIcon icon, MessageButtons buttons, const std::u16string& text);

    WindowView& m_view;
    std::function<GamePathDecision()> m_decideGamePath;
    std::unique_ptr<clsMpqControl> m_mpqControl;
    std::u16string m_itemFileAddress;
    std::u16string m_itemFileFilter;
    bool m_operationRunning = false;
    bool m_keepingAlive = false;
    bool m_journalSetAside = false; // told by the door during the running operation
};

} // namespace window
