#pragma once
// The program's only window: a light-blue banner and four group boxes, one per modification.
// Start-up runs Form_Initialize (from the constructor) and Form_Load; every handler is named after
// its control and event. Controls carry their names as objectName; the indexed labels Label(0) to
// Label(4) are named "Label(0)" to "Label(4)" so that they never clash with Label2, Label9 and so on.
// Sizes are device-independent pixels (twips / 15): the client area is 517 x 317.
#include "support/game_path.h"

#include <QWidget>

#include <array>
#include <functional>
#include <memory>
#include <optional>
#include <string>

class QButtonGroup;
class QCheckBox;
class QComboBox;
class QFrame;
class QGroupBox;
class QLabel;
class QLineEdit;
class QPushButton;
class QRadioButton;

class clsCommonDialog;
class clsMpqControl;
class MpqEngine;

namespace mods {
struct Outcome;
}

class FrmMain : public QWidget {
    Q_OBJECT

public:
    // The application's title, the caption of every message box of the handlers.
    static constexpr char16_t kAppTitle[] = u"Ostrawen";
    static constexpr char16_t kCaption[] = u"Keldrava - Ostrawen Ver:2.0.091105";
    static constexpr char16_t kFeatureLine[] = u"功能: 压缩 MPQ 文件、修改魔兽背景图片/音乐/字体、修改局域网主机名";
    static constexpr char16_t kWarningTitle[] = u"提示";
    static constexpr char16_t kDefaultMpqName[] = u"War3Patch.mpq";
    static constexpr char16_t kDefaultItem[] = u"界面背景 (冰封王座)";
    static constexpr int kClientWidth = 517;
    static constexpr int kClientHeight = 317;

    // Builds every control; runs Form_Initialize first, so the style is set before the controls exist.
    explicit FrmMain(QWidget* parent = nullptr);
    ~FrmMain() override;

    // Start-up. Form_Load returns false when the game directory could not be decided: the warning
    // has been shown and the caller must end the process without showing the window.
    void Form_Initialize();
    bool Form_Load();

    // The game-directory decision used by Form_Load; FindGamePath unless a test gives another
    // (for instance DecideGamePath of a temporary program directory).
    void SetGamePathDecider(std::function<GamePathDecision()> decider);

    // Shows the window centred on its screen.
    void ShowCentred();

    // The key/value editing of the LAN game name, exposed as the window's public operation.
    static bool SetString(std::u16string ProcString, std::u16string ModName, std::u16string NewModStr,
                          std::u16string& NewText, std::u16string& OldModStr);

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

    // State the handlers share, read by tests.
    const std::u16string& ItemFileAddress() const { return m_itemFileAddress; }
    const std::u16string& ItemFileFilter() const { return m_itemFileFilter; }
    // The archive object, or nullptr before anything has needed it.
    const clsMpqControl* MpqControlIfCreated() const { return m_mpqControl.get(); }
    // For tests: the archive door works through this engine from now on (an engine that is slow or
    // fails on purpose); the chosen archive stays.
    void SetMpqEngine(std::shared_ptr<MpqEngine> engine);
    // True while an archive operation runs: the window takes no input and cannot be closed, but it
    // keeps painting and answering the desktop.
    bool OperationRunning() const { return m_operationRunning; }
    QLabel* Label(int index) const { return m_label.at(static_cast<std::size_t>(index)); }

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;
    void closeEvent(QCloseEvent* event) override;

private:
    void CreateControls();
    void ConnectHandlers();
    clsMpqControl& MpqControl();
    clsCommonDialog& CommonDialog();
    void RefreshCurrentSettings();
    // Chooses the entry whose text is `text`, as a user's choice would, running the list's handler
    // even when the entry was already chosen.
    void ChooseComboEntry(QComboBox* combo, const QString& text);
    // Runs one archive step with the window blocked; the outcome, if any, is shown afterwards, when
    // the window takes input again. While one step runs no other starts: a second call does nothing.
    // False when the step failed with an exception.
    template <typename Step> bool RunOperation(Step&& step);
    // Called by the archive door while it waits for its worker.
    void KeepWindowAlive();
    void ShowOutcome(const mods::Outcome& outcome);
    // The outcome of RunOperation: the error message when the step threw, else its outcome if any.
    void ShowResult(bool completed, const std::optional<mods::Outcome>& outcome);
    void ShowOperationError();

    std::function<GamePathDecision()> m_decideGamePath;
    std::unique_ptr<clsMpqControl> m_mpqControl;
    std::unique_ptr<clsCommonDialog> m_commonDialog;
    std::u16string m_itemFileAddress;
    std::u16string m_itemFileFilter;
    bool m_operationRunning = false;
    bool m_keepingAlive = false;

    QFrame* PicTop = nullptr;
    std::array<QLabel*, 5> m_label{};
    QLabel* ImgLogo = nullptr;
    QFrame* Line1 = nullptr;

    QGroupBox* Frame7 = nullptr;
    QLabel* Label9 = nullptr;
    QComboBox* cboMpqFileName = nullptr;
    QPushButton* btnCompressMpq = nullptr;

    QGroupBox* Frame2 = nullptr;
    QLabel* Label2 = nullptr;
    QLabel* Label10 = nullptr;
    QComboBox* cboItemToModify = nullptr;
    QLineEdit* txtDestForGameModification = nullptr;
    QPushButton* btnBrowserForModificationDest = nullptr;
    QCheckBox* chkExtract = nullptr;
    QCheckBox* chkDelete = nullptr;
    QPushButton* btnDoModificationForGeneral = nullptr;

    QGroupBox* Frame3 = nullptr;
    QLabel* Label11 = nullptr;
    QRadioButton* optMouseNightElf = nullptr;
    QRadioButton* optMouseOrc = nullptr;
    QRadioButton* optMouseHuman = nullptr;
    QRadioButton* optMouseUndead = nullptr;
    QButtonGroup* m_mouseGroup = nullptr;
    QPushButton* btnDoModificationForMouse = nullptr;

    QGroupBox* Frame4 = nullptr;
    QLabel* Label12 = nullptr;
    QLineEdit* txtLanGameName = nullptr;
    QPushButton* btnDoModificationForLanGameName = nullptr;
};
