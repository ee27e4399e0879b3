#include "window/main_window.h"

#include "archive/door/mpq_control.h"
#include "archive/mpq_engine.h"
#include "mods/modifications.h"
#include "mods/set_string.h"
#include "support/file_probe.h"
#include "support/public_vars.h"
#include "support/text_path.h"

#include <array>
#include <filesystem>
#include <utility>

namespace window {
namespace {

// Every start-up step and handler runs under this guard: a failing step is skipped silently and
// nothing ever reaches a view's event loop.
template <typename Step> bool Guarded(Step&& step) noexcept {
    try {
        step();
        return true;
    } catch (...) {
        return false;
    }
}

// GamePath + separator + MpqName with every pair of separators collapsed in one left-to-right pass:
// "/g/War3/" + "/" + "War3x.mpq" -> "/g/War3/War3x.mpq"; three in a row become two.
std::u16string JoinArchivePath(const std::u16string& gamePath, const std::u16string& mpqName) {
    const auto separator = static_cast<char16_t>(std::filesystem::path::preferred_separator);
    const std::u16string joined = gamePath + separator + mpqName;
    std::u16string collapsed;
    collapsed.reserve(joined.size());
    for (std::size_t i = 0; i < joined.size(); ++i) {
        collapsed.push_back(joined[i]);
        if (joined[i] == separator && i + 1 < joined.size() && joined[i + 1] == separator)
            ++i;
    }
    return collapsed;
}

// The game's own file system ignores letter case, so "war3patch.mpq" on a case-sensitive disk is
// the archive "War3Patch.mpq" names.
std::u16string ArchivePath(const std::u16string& gamePath, const std::u16string& mpqName) {
    const std::u16string joined = JoinArchivePath(gamePath, mpqName);
    if (mpqName.empty() || gamePath.empty())
        return joined;
    const std::filesystem::path directory = PathFromText(gamePath);
    const auto entry = file_probe::FindEntryIgnoringCase(directory, mpqName);
    if (!entry)
        return joined;
    return JoinArchivePath(gamePath, TextFromPath(entry->filename()));
}

// The option buttons in the race table's order.
constexpr std::array<std::pair<mods::Race, ControlId>, 4> kRaceButtons{{
    {mods::Race::Human, ControlId::optMouseHuman},
    {mods::Race::Orc, ControlId::optMouseOrc},
    {mods::Race::NightElf, ControlId::optMouseNightElf},
    {mods::Race::Undead, ControlId::optMouseUndead},
}};

MessageIcon IconOf(mods::MessageIcon icon) {
    return icon == mods::MessageIcon::Information ? MessageIcon::Information : MessageIcon::Exclamation;
}

} // namespace

MainWindow::MainWindow(WindowView& view) : m_view(view), m_decideGamePath([] { return FindGamePath(); }) {}

MainWindow::~MainWindow() = default;

void MainWindow::SetGamePathDecider(std::function<GamePathDecision()> decider) {
    m_decideGamePath = std::move(decider);
}

void MainWindow::SetMpqEngine(std::shared_ptr<MpqEngine> engine) {
    const std::u16string mpqFileName = m_mpqControl ? m_mpqControl->MpqFileName() : std::u16string();
    m_mpqControl = std::make_unique<clsMpqControl>(std::move(engine));
    m_mpqControl->SetMpqFileName(mpqFileName);
    WireMpqControl();
}

// ---------------------------------------------------------------------------------------------
// Start-up

void MainWindow::Form_Initialize() {
    Guarded([this] { m_view.InitVisualStyle(); });
}

bool MainWindow::Form_Load() {
    Guarded([this] { m_view.SetText(ControlId::FrmMain, kCaption); });
    Guarded([this] { m_view.MoveControl(ControlId::Label_4, kAboutLineRect); });
    Guarded([this] { m_view.SetText(ControlId::Label_4, kAboutLine); });
    Guarded([this] { m_view.MoveControl(ControlId::Label_3, kFeatureLineRect); });
    Guarded([this] { m_view.SetText(ControlId::Label_3, kFeatureLine); });
    Guarded([this] { m_view.MakeButtonsFlat(); });

    GamePathWarning warning = GamePathWarning::None;
    Guarded([this, &warning] {
        const GamePathDecision decision = m_decideGamePath();
        warning = decision.warning;
        if (warning == GamePathWarning::None)
            modPublicVars::GamePath = decision.gamePath;
    });
    if (warning != GamePathWarning::None) {
        Guarded([this, warning] {
            m_view.ShowMessage(
                {kWarningTitle, GamePathWarningText(warning), MessageIcon::Exclamation, MessageButtons::Ok});
        });
        return false;
    }

    Guarded([this] {
        modPublicVars::MpqName = kDefaultMpqName;
        ChooseListEntry(ControlId::cboMpqFileName, modPublicVars::MpqName);
    });
    Guarded([this] { ChooseListEntry(ControlId::cboItemToModify, kDefaultItem); });
    return true;
}

bool MainWindow::Form_QueryUnload() const {
    // Closing in the middle of an archive operation would end it half done.
    return m_operationRunning;
}

void MainWindow::ChooseListEntry(ControlId list, const std::u16string& text) {
    const std::vector<std::u16string> entries = m_view.ListEntries(list);
    for (std::size_t index = 0; index < entries.size(); ++index) {
        if (entries[index] != text)
            continue;
        m_view.SetSelectedIndex(list, static_cast<int>(index));
        if (list == ControlId::cboMpqFileName)
            cboMpqFileName_Click();
        else if (list == ControlId::cboItemToModify)
            cboItemToModify_Click();
        return;
    }
}

// ---------------------------------------------------------------------------------------------
// Archive selection and the display of what the archive holds

void MainWindow::cboMpqFileName_Click() {
    cboMpqFileName_Change();
}

void MainWindow::cboMpqFileName_Scroll() {
    cboMpqFileName_Change();
}

void MainWindow::cboMpqFileName_Change() {
    (void)RunOperation([this] {
        modPublicVars::MpqName = m_view.Text(ControlId::cboMpqFileName);
        MpqControl().SetMpqFileName(ArchivePath(modPublicVars::GamePath, modPublicVars::MpqName));
        RefreshCurrentSettings();
    });
}

void MainWindow::RefreshCurrentSettings() {
    // What the chosen archive does not hold is shown empty (no name, no race): the previous
    // archive's values would otherwise stay on show, and a press would write them into this one.
    Guarded([this] {
        const auto name = mods::ReadLanGameName(MpqControl());
        m_view.SetText(ControlId::txtLanGameName, name.value_or(std::u16string()));
    });
    Guarded([this] {
        const auto race = mods::ReadCursorRace(MpqControl());
        for (const auto& [buttonRace, button] : kRaceButtons)
            m_view.SetChecked(button, race && *race == buttonRace);
    });
}

// ---------------------------------------------------------------------------------------------
// Resource replacement

void MainWindow::cboItemToModify_Change() {
    cboItemToModify_Scroll();
}

void MainWindow::cboItemToModify_Click() {
    cboItemToModify_Scroll();
}

void MainWindow::cboItemToModify_LostFocus() {
    cboItemToModify_Scroll();
}

void MainWindow::cboItemToModify_Scroll() {
    Guarded([this] {
        // A text that names no entry keeps the item chosen before.
        if (const mods::ResourceItem* item = mods::FindResourceItem(m_view.Text(ControlId::cboItemToModify))) {
            m_itemFileAddress = item->fileAddress;
            m_itemFileFilter = item->fileFilter;
        }
    });
}

void MainWindow::btnBrowserForModificationDest_Click() {
    if (!Guarded([this] {
            FileDialogRequest request;
            request.kind = m_view.IsChecked(ControlId::chkExtract) ? FileDialogKind::Save : FileDialogKind::Open;
            request.filter = m_itemFileFilter;
            const std::optional<std::u16string> chosen = m_view.ShowFileDialog(request);
            m_view.SetText(ControlId::txtDestForGameModification, chosen.value_or(std::u16string()));
        }))
        ShowOperationError();
}

void MainWindow::btnDoModificationForGeneral_Click() {
    std::optional<mods::Outcome> outcome;
    const bool completed = RunOperation([this, &outcome] {
        const mods::ResourceMode mode =
            mods::ResourceModeFor(m_view.IsChecked(ControlId::chkExtract), m_view.IsChecked(ControlId::chkDelete));
        outcome = mods::RunResourceOperation(MpqControl(), mode, m_itemFileAddress,
                                             m_view.Text(ControlId::txtDestForGameModification));
    });
    ShowResult(completed, outcome);
}

// ---------------------------------------------------------------------------------------------
// LAN game name, cursor race, compaction

bool MainWindow::SetString(std::u16string ProcString, std::u16string ModName, std::u16string NewModStr,
                           std::u16string& NewText, std::u16string& OldModStr) {
    return mods::SetString(std::move(ProcString), std::move(ModName), std::move(NewModStr), NewText, OldModStr);
}

void MainWindow::btnDoModificationForLanGameName_Click() {
    std::optional<mods::Outcome> outcome;
    const bool completed = RunOperation(
        [this, &outcome] { outcome = mods::WriteLanGameName(MpqControl(), m_view.Text(ControlId::txtLanGameName)); });
    ShowResult(completed, outcome);
}

void MainWindow::btnDoModificationForMouse_Click() {
    std::optional<mods::Outcome> outcome;
    const bool completed = RunOperation([this, &outcome] {
        // The buttons are read in the race table's order; the first selected one decides.
        std::optional<mods::Race> race;
        for (const auto& [buttonRace, button] : kRaceButtons) {
            if (m_view.IsChecked(button)) {
                race = buttonRace;
                break;
            }
        }
        outcome = mods::WriteCursorRace(MpqControl(), race);
    });
    ShowResult(completed, outcome);
}

void MainWindow::btnCompressMpq_Click() {
    if (!Guarded([this] {
            if (Show(MessageIcon::Question, MessageButtons::YesNo, mods::kCompactQuestion) != MessageAnswer::Yes)
                return;
            std::optional<mods::Outcome> outcome;
            const bool completed = RunOperation([this, &outcome] { outcome = mods::CompactArchive(MpqControl()); });
            ShowResult(completed, outcome);
        }))
        ShowOperationError();
}

// ---------------------------------------------------------------------------------------------

clsMpqControl& MainWindow::MpqControl() {
    if (!m_mpqControl) {
        m_mpqControl = std::make_unique<clsMpqControl>();
        WireMpqControl();
    }
    return *m_mpqControl;
}

void MainWindow::WireMpqControl() {
    m_mpqControl->SetProgress([this](std::uint64_t, std::uint64_t) { KeepWindowAlive(); });
    m_mpqControl->SetSetAsideNotice([this] { m_journalSetAside = true; });
}

bool MainWindow::RunOperation(const std::function<void()>& step) {
    // Nothing can start a second operation while one runs (its own callbacks included).
    if (m_operationRunning)
        return true;
    m_operationRunning = true;
    bool completed = false;
    const bool viewRan = Guarded([this, &step, &completed] { m_view.RunBlocked([&] { completed = Guarded(step); }); });
    m_operationRunning = false;
    // Told before the operation's own outcome, which the caller shows next.
    if (std::exchange(m_journalSetAside, false))
        Guarded([this] { Show(MessageIcon::Exclamation, MessageButtons::Ok, kJournalSetAsideText); });
    return viewRan && completed;
}

void MainWindow::KeepWindowAlive() {
    // Paints, timers and the desktop's ping, but no click or key: those wait until the end.
    if (m_keepingAlive)
        return;
    m_keepingAlive = true;
    Guarded([this] { m_view.KeepAlive(); });
    m_keepingAlive = false;
}

void MainWindow::ShowResult(bool completed, const std::optional<mods::Outcome>& outcome) {
    if (!completed) {
        ShowOperationError();
        return;
    }
    // No outcome: another operation was running and this one never started.
    if (outcome && !Guarded([this, &outcome] { Show(IconOf(outcome->icon), MessageButtons::Ok, outcome->text); }))
        ShowOperationError();
}

void MainWindow::ShowOperationError() {
    Guarded([this] { Show(MessageIcon::Exclamation, MessageButtons::Ok, mods::kTextFailed); });
}

MessageAnswer MainWindow::Show(MessageIcon icon, MessageButtons buttons, const std::u16string& text) {
    return m_view.ShowMessage({kAppTitle, text, icon, buttons});
}

} // namespace window
