// The window's shared scenario table run through the Win32 window: the real view and the real
// logic over a game directory on disk, the player's actions as window messages (a list's choice as
// CB_SETCURSEL and CBN_SELCHANGE, a button as BM_CLICK, typing as WM_SETTEXT), prompts answered from
// the test view's queues.
#include "view_harness.h"
#include "window_scenarios.h"

#include "testkit/faulty_mpq_engine.h"
#include "window/main_window.h"
#include "winui/window_binding.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <memory>

namespace {

using window::ControlId;
using window::ControlKind;
using window_test::ScenarioDriver;

class Win32Driver final : public ScenarioDriver {
public:
    winui_test::TestView view;
    window::MainWindow logic{view};

    bool Start(const GamePathDecision& decision) override {
        if (!view.Create()) {
            ADD_FAILURE() << "the window could not be made";
            return false;
        }
        winui::BindWindow(view, logic);
        logic.SetGamePathDecider([decision] { return decision; });
        logic.Form_Initialize();
        if (!logic.Form_Load()) {
            return false;
        }
        view.ShowCentred();
        winui_test::Pump(view);
        return true;
    }
    void Choose(ControlId list, const std::u16string& entry) override {
        const std::vector<std::u16string> entries = view.ListEntries(list);
        const auto found = std::find(entries.begin(), entries.end(), entry);
        ASSERT_NE(found, entries.end());
        winui_test::ChooseEntry(view, list, static_cast<int>(found - entries.begin()));
    }
    void SetText(ControlId box, const std::u16string& text) override { winui_test::Type(view, box, text); }
    void SetChecked(ControlId button, bool checked) override {
        // A click: it toggles a check box and selects an option button, clearing its group.
        if (view.IsChecked(button) != checked) {
            winui_test::Click(view, button);
        }
    }
    void Press(ControlId button) override { winui_test::Click(view, button); }
    void QueueAnswer(window::MessageAnswer answer) override { view.messageAnswers.push_back(answer); }
    void QueueFileDialogResult(std::optional<std::u16string> path) override { view.fileAnswers.push_back(path); }
    std::vector<window::Message> TakeMessages() override { return std::exchange(view.messages, {}); }
    std::vector<FileDialogShown> TakeFileDialogs() override {
        std::vector<FileDialogShown> shown;
        for (const window::FileDialogRequest& request : std::exchange(view.fileRequests, {})) {
            shown.push_back({request.kind, window_test::FilterNames(request.filter)});
        }
        return shown;
    }
    std::u16string Text(ControlId control) override { return view.Text(control); }
    bool IsChecked(ControlId control) override { return view.IsChecked(control); }
};

class Scenarios : public ::testing::TestWithParam<window_test::Scenario> {};

TEST_P(Scenarios, Win32Window) {
    window_test::GameDirectory game;
    Win32Driver driver;
    window_test::RunScenario(GetParam(), driver, game);
}

INSTANTIATE_TEST_SUITE_P(Window, Scenarios, ::testing::ValuesIn(window_test::Scenarios()),
                         [](const ::testing::TestParamInfo<window_test::Scenario>& info) { return info.param.name; });

// A choice in the archive list reads the chosen archive as often as one refresh does, never twice
// over: the list reports the choice once, and only the choice runs the handler.
class ArchiveChoice : public ::testing::TestWithParam<const char16_t*> {};

TEST_P(ArchiveChoice, RefreshesOnce) {
    window_test::GameDirectory game;
    window_test::BuildGameArchive(game.Game() / "War3Patch.mpq", {"补丁主机", "Human", {}});
    window_test::BuildGameArchive(game.Game() / "War3x.mpq", {"资料片主机", "Undead", {}});
    Win32Driver driver;
    ASSERT_TRUE(
        driver.Start({window_test::DirText(game.Game()), GamePathWarning::None, GamePathSource::ProgramDirectory}));
    auto counting = std::make_shared<testkit::FaultyMpqEngine>();
    driver.logic.SetMpqEngine(counting);
    driver.logic.cboMpqFileName_Click();
    const int oneRefresh = counting->Calls(testkit::MpqStep::OpenArchive);
    ASSERT_GT(oneRefresh, 0);

    driver.Choose(ControlId::cboMpqFileName, GetParam());
    EXPECT_EQ(counting->Calls(testkit::MpqStep::OpenArchive), 2 * oneRefresh);
}

INSTANTIATE_TEST_SUITE_P(Entries, ArchiveChoice, ::testing::Values(u"War3x.mpq", u"War3Patch.mpq"),
                         [](const ::testing::TestParamInfo<const char16_t*>& info) {
                             return std::u16string(info.param) == u"War3x.mpq" ? std::string("AnotherEntry")
                                                                               : std::string("TheSameEntry");
                         });

} // namespace
