// The window's logic against a recording view: the shared scenarios, then what only the logic's
// own seams show (start-up order, refused start-up, the blocked operation, path joining).
#include "recording_view.h"
#include "window_scenarios.h"

#include "archive/door/archive_guard.h"
#include "archive/door/mpq_control.h"
#include "mods/modifications.h"
#include "support/public_vars.h"
#include "support/text_path.h"
#include "testkit/child_process.h"
#include "testkit/faulty_mpq_engine.h"
#include "testkit/mpq_fixtures.h"
#include "testkit/test_registry.h"
#include "window/main_window.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <ostream>
#include <stdexcept>

using namespace window;
using namespace window_test;
namespace fs = std::filesystem;

namespace {

class RecordingDriver final : public ScenarioDriver {
public:
    RecordingView view;
    MainWindow logic{view};

    bool Start(const GamePathDecision& decision) override {
        logic.SetGamePathDecider([decision] { return decision; });
        logic.Form_Initialize();
        return logic.Form_Load();
    }
    void Choose(ControlId list, const std::u16string& entry) override {
        const std::vector<std::u16string> entries = view.ListEntries(list);
        const auto found = std::find(entries.begin(), entries.end(), entry);
        ASSERT_NE(found, entries.end());
        view.SetSelectedIndex(list, static_cast<int>(found - entries.begin()));
        if (list == ControlId::cboMpqFileName)
            logic.cboMpqFileName_Click();
        else
            logic.cboItemToModify_Click();
    }
    void SetText(ControlId box, const std::u16string& text) override { view.SetText(box, text); }
    void SetChecked(ControlId button, bool checked) override {
        // Selecting an option button clears the other three, as the group does.
        if (LayoutOf(button).kind == ControlKind::OptionButton)
            for (ControlId option : {ControlId::optMouseNightElf, ControlId::optMouseOrc, ControlId::optMouseHuman,
                                     ControlId::optMouseUndead})
                view.SetChecked(option, false);
        view.SetChecked(button, checked);
    }
    void Press(ControlId button) override {
        switch (button) {
        case ControlId::btnCompressMpq:
            return logic.btnCompressMpq_Click();
        case ControlId::btnDoModificationForGeneral:
            return logic.btnDoModificationForGeneral_Click();
        case ControlId::btnBrowserForModificationDest:
            return logic.btnBrowserForModificationDest_Click();
        case ControlId::btnDoModificationForMouse:
            return logic.btnDoModificationForMouse_Click();
        case ControlId::btnDoModificationForLanGameName:
            return logic.btnDoModificationForLanGameName_Click();
        default:
            FAIL() << "not a button: " << ControlName(button);
        }
    }
    void QueueAnswer(MessageAnswer answer) override { view.QueueAnswer(answer); }
    void QueueFileDialogResult(std::optional<std::u16string> path) override {
        view.QueueFileDialogResult(std::move(path));
    }
    std::vector<Message> TakeMessages() override { return view.TakeMessages(); }
    std::vector<FileDialogShown> TakeFileDialogs() override {
        std::vector<FileDialogShown> shown;
        for (const FileDialogRequest& request : view.TakeFileDialogs())
            shown.push_back({request.kind, FilterNames(request.filter)});
        return shown;
    }
    std::u16string Text(ControlId control) override { return view.Text(control); }
    bool IsChecked(ControlId control) override { return view.IsChecked(control); }
};

class Scenarios : public ::testing::TestWithParam<Scenario> {};

TEST_P(Scenarios, RecordingView) {
    GameDirectory game;
    RecordingDriver driver;
    RunScenario(GetParam(), driver, game);
    // Every prompt of a scenario is answered in advance.
    EXPECT_EQ(driver.view.Unanswered(), 0);
}

INSTANTIATE_TEST_SUITE_P(Window, Scenarios, ::testing::ValuesIn(window_test::Scenarios()),
                         [](const auto& info) { return info.param.name; });

TEST(StartUp, RunsItsStepsInOrderAndSelectsOnlyThroughTheHandlers) {
    GameDirectory game;
    RecordingDriver driver;
    ASSERT_TRUE(driver.Start({DirText(game.Game()), GamePathWarning::None, GamePathSource::ProgramDirectory}));
    const std::vector<std::u16string>& calls = driver.view.Calls();
    const std::vector<std::u16string> firstSteps{
        u"InitVisualStyle",      u"SetText FrmMain",  u"MoveControl Label(4)", u"SetText Label(4)",
        u"MoveControl Label(3)", u"SetText Label(3)", u"MakeButtonsFlat",      u"SetSelectedIndex cboMpqFileName"};
    ASSERT_GE(calls.size(), firstSteps.size());
    EXPECT_EQ(std::vector<std::u16string>(calls.begin(), calls.begin() + static_cast<long>(firstSteps.size())),
              firstSteps);
    // The archive is read with the window blocked, and the item list is chosen last.
    EXPECT_EQ(calls[firstSteps.size()], u"RunBlocked");
    EXPECT_EQ(calls.back(), u"SetSelectedIndex cboItemToModify");
    EXPECT_EQ(driver.view.Rect(ControlId::Label_4), kAboutLineRect);
    EXPECT_EQ(driver.view.Rect(ControlId::Label_3), kFeatureLineRect);
    EXPECT_EQ(driver.view.Text(ControlId::Label_4).rfind(u"Keldrava - ", 0), 0u);
    EXPECT_EQ(modPublicVars::MpqName, u"War3Patch.mpq");
    ASSERT_NE(driver.logic.MpqControlIfCreated(), nullptr);
    EXPECT_EQ(driver.logic.MpqControlIfCreated()->MpqFileName(), TextFromPath(game.Game() / "War3Patch.mpq"));
    EXPECT_EQ(driver.logic.ItemFileAddress(), u"UI\\Glues\\MainMenu\\MainMenu3d_exp\\MainMenu3d_exp.mdx");
    EXPECT_EQ(driver.logic.ItemFileFilter(), u"模型文件 (*.mdx)|*.mdx|所有文件 (*.*)|*.*");
}

enum class Source {
    OwnDirectory,
    SettingsFile,
    SettingsFileWithBlanksAndQuotes,
    SettingsFileWrongPath,
    SettingsFileWithoutKey,
    Nothing
};

struct SourceRow {
    const char* name;
    Source source;
    GamePathWarning warning;
};

void PrintTo(const SourceRow& row, std::ostream* out) {
    *out << row.name;
}

class GameDirectorySource : public ::testing::TestWithParam<SourceRow> {};

// Start-up through the real decision, from a program directory beside the game: where the window
// points its archive and what it shows, or the one warning and nothing else.
TEST_P(GameDirectorySource, DecidesTheArchiveOrWarns) {
    GameDirectory game;
    // Nothing of the machine's own registry shows through.
    const testkit::TestRegistry registry(game.Prefix());
    const fs::path app = game.Root() / "Pellidor";
    fs::create_directories(app);
    const std::string gameDir = game.Game().string();
    fs::path expected;
    switch (GetParam().source) {
    case Source::OwnDirectory:
        testkit::WriteFile(app / "War3.exe", "MZ");
        testkit::WriteFile(app / "PD_Set.ini", "[War3Main]\r\nWarPath=" + gameDir + "\r\n");
        expected = app;
        break;
    case Source::SettingsFile:
        testkit::WriteFile(app / "PD_Set.ini", "[War3Main]\r\nWarPath=" + gameDir + "\r\n");
        expected = game.Game();
        break;
    case Source::SettingsFileWithBlanksAndQuotes:
        testkit::WriteFile(app / "PD_Set.ini", "[War3Main]\r\nWarPath= \"" + gameDir + "\" \r\n");
        expected = game.Game();
        break;
    case Source::SettingsFileWrongPath:
        testkit::WriteFile(app / "PD_Set.ini", "[War3Main]\r\nWarPath=" + (game.Root() / "nowhere").string() + "\r\n");
        break;
    case Source::SettingsFileWithoutKey:
        testkit::WriteFile(app / "PD_Set.ini", "[Other]\r\nWarPath=" + gameDir + "\r\n");
        break;
    case Source::Nothing:
        break;
    }
    if (!expected.empty())
        BuildGameArchive(expected / "War3Patch.mpq", {"主机 A", "Undead", {}});

    RecordingView view;
    MainWindow logic(view);
    const std::u16string appPath = DirText(app);
    logic.SetGamePathDecider([appPath] { return DecideGamePath(appPath); });
    const bool loaded = logic.Form_Load();
    const std::vector<Message> messages = view.TakeMessages();
    if (GetParam().warning != GamePathWarning::None) {
        EXPECT_FALSE(loaded);
        ASSERT_EQ(messages.size(), 1u);
        EXPECT_EQ(messages[0], (Message{u"提示", GamePathWarningText(GetParam().warning), MessageIcon::Exclamation,
                                        MessageButtons::Ok}));
        EXPECT_EQ(logic.MpqControlIfCreated(), nullptr);
        return;
    }
    EXPECT_TRUE(loaded);
    EXPECT_TRUE(messages.empty());
    EXPECT_EQ(modPublicVars::GamePath, DirText(expected));
    ASSERT_NE(logic.MpqControlIfCreated(), nullptr);
    EXPECT_EQ(logic.MpqControlIfCreated()->MpqFileName(), TextFromPath(expected / "War3Patch.mpq"));
    EXPECT_EQ(view.Text(ControlId::txtLanGameName), u"主机 A");
    EXPECT_TRUE(view.IsChecked(ControlId::optMouseUndead));
}

INSTANTIATE_TEST_SUITE_P(
    StartUp, GameDirectorySource,
    ::testing::Values(SourceRow{"War3ExeBesideTheProgramWins", Source::OwnDirectory, GamePathWarning::None},
                      SourceRow{"SettingsFileWarPath", Source::SettingsFile, GamePathWarning::None},
                      SourceRow{"SettingsFileValueInBlanksAndQuotes", Source::SettingsFileWithBlanksAndQuotes,
                                GamePathWarning::None},
                      SourceRow{"M1SettingsFileNamesNoGame", Source::SettingsFileWrongPath, GamePathWarning::M1},
                      SourceRow{"M1SettingsFileWithoutWarPath", Source::SettingsFileWithoutKey, GamePathWarning::M1},
                      SourceRow{"M2NothingFound", Source::Nothing, GamePathWarning::M2}),
    [](const auto& info) { return std::string(info.param.name); });

class RefusedStartUp : public ::testing::TestWithParam<GamePathWarning> {};

TEST_P(RefusedStartUp, TouchesNoArchiveAndChoosesNothing) {
    GameDirectory game;
    RecordingDriver driver;
    EXPECT_FALSE(driver.Start({u"", GetParam(), GamePathSource::None}));
    EXPECT_EQ(driver.logic.MpqControlIfCreated(), nullptr);
    EXPECT_EQ(driver.view.SelectedIndex(ControlId::cboMpqFileName), -1);
    EXPECT_EQ(driver.view.SelectedIndex(ControlId::cboItemToModify), -1);
    EXPECT_TRUE(modPublicVars::GamePath.empty());
    EXPECT_EQ(driver.view.BlockedRuns(), 0);
    EXPECT_EQ(driver.view.Calls().back(), u"ShowMessage");
}

INSTANTIATE_TEST_SUITE_P(StartUp, RefusedStartUp, ::testing::Values(GamePathWarning::M1, GamePathWarning::M2),
                         [](const auto& info) { return info.param == GamePathWarning::M1 ? "M1" : "M2"; });

TEST(StartUp, AFailingGameDirectoryStepIsSkippedAndTheSelectionsStillRun) {
    GameDirectory game;
    RecordingDriver driver;
    driver.logic.SetGamePathDecider([]() -> GamePathDecision { throw std::runtime_error("registry exploded"); });
    EXPECT_TRUE(driver.logic.Form_Load());
    EXPECT_TRUE(driver.view.TakeMessages().empty());
    EXPECT_EQ(driver.view.Text(ControlId::cboMpqFileName), u"War3Patch.mpq");
    EXPECT_EQ(driver.logic.ItemFileAddress(), u"UI\\Glues\\MainMenu\\MainMenu3d_exp\\MainMenu3d_exp.mdx");
}

struct JoinRow {
    const char* name;
    std::u16string gamePath;
    int entry;
    std::u16string expected;
};

void PrintTo(const JoinRow& row, std::ostream* out) {
    *out << row.name;
}

// The rows write '|' for the platform's separator.
std::u16string Native(std::u16string text) {
    std::replace(text.begin(), text.end(), u'|', static_cast<char16_t>(std::filesystem::path::preferred_separator));
    return text;
}

class ArchivePath : public ::testing::TestWithParam<JoinRow> {};

TEST_P(ArchivePath, JoinsGamePathAndNameCollapsingPairsOnce) {
    GameDirectory game;
    RecordingDriver driver;
    const JoinRow& row = GetParam();
    ASSERT_TRUE(driver.Start({Native(row.gamePath), GamePathWarning::None, GamePathSource::ProgramDirectory}));
    driver.view.SetSelectedIndex(ControlId::cboMpqFileName, row.entry);
    driver.logic.cboMpqFileName_Change();
    EXPECT_EQ(modPublicVars::MpqName, driver.view.Text(ControlId::cboMpqFileName));
    EXPECT_EQ(driver.logic.MpqControlIfCreated()->MpqFileName(), Native(row.expected));
    EXPECT_TRUE(driver.view.TakeMessages().empty());
}

INSTANTIATE_TEST_SUITE_P(
    Selection, ArchivePath,
    ::testing::Values(JoinRow{"OneSeparatorAtTheSeam", u"|games|War3|", 0, u"|games|War3|War3Patch.mpq"},
                      JoinRow{"ThreeInARowBecomeTwo", u"|games|War3||", 2, u"|games|War3||War3x.mpq"},
                      JoinRow{"PairsInsideTheDirectoryCollapse", u"||srv||War3|", 3, u"|srv|War3|War3.mpq"},
                      JoinRow{"NoEntryGivesTheDirectory", u"|games|War3|", -1, u"|games|War3|"}),
    [](const auto& info) { return std::string(info.param.name); });

struct BlockedRow {
    const char* name;
    ControlId first;
    ControlId second; // pressed while the first runs
};

void PrintTo(const BlockedRow& row, std::ostream* out) {
    *out << row.name;
}

class WhileAnOperationRuns : public ::testing::TestWithParam<BlockedRow> {};

TEST_P(WhileAnOperationRuns, NothingElseStartsAndTheWindowStaysOpen) {
    GameDirectory game;
    BuildGameArchive(game.Game() / "War3Patch.mpq", {"原名", "Orc", {}});
    const std::vector<std::uint8_t> before = testkit::ReadFile(game.Game() / "War3Patch.mpq");
    RecordingDriver driver;
    ASSERT_TRUE(driver.Start({DirText(game.Game()), GamePathWarning::None, GamePathSource::ProgramDirectory}));
    driver.view.SetText(ControlId::txtLanGameName, u"不该写入");
    for (ControlId option :
         {ControlId::optMouseNightElf, ControlId::optMouseOrc, ControlId::optMouseHuman, ControlId::optMouseUndead})
        driver.view.SetChecked(option, false);
    bool refusedClose = false;
    driver.view.DuringNextBlockedRun([&] {
        refusedClose = driver.logic.Form_QueryUnload();
        driver.Press(GetParam().second);
    });
    const int runsBefore = driver.view.BlockedRuns();
    driver.Press(GetParam().first);
    EXPECT_TRUE(refusedClose);
    EXPECT_FALSE(driver.logic.Form_QueryUnload());
    EXPECT_EQ(driver.view.BlockedRuns(), runsBefore + 1);
    // Only the first press's message: the second press started nothing and said nothing.
    const std::vector<Message> messages = driver.view.TakeMessages();
    ASSERT_EQ(messages.size(), 1u);
    EXPECT_EQ(messages[0].text, u"操作过程中发生错误.");
    EXPECT_EQ(testkit::ReadFile(game.Game() / "War3Patch.mpq"), before);
}

// The first press fails (no race chosen; an empty box) so that the archive shows whether the second ran.
INSTANTIATE_TEST_SUITE_P(Operations, WhileAnOperationRuns,
                         ::testing::Values(BlockedRow{"CursorThenLanName", ControlId::btnDoModificationForMouse,
                                                      ControlId::btnDoModificationForLanGameName},
                                           BlockedRow{"ResourceThenLanName", ControlId::btnDoModificationForGeneral,
                                                      ControlId::btnDoModificationForLanGameName}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(Operations, ALongOperationKeepsTheWindowAlive) {
    GameDirectory game;
    BuildGameArchive(game.Game() / "War3Patch.mpq", {"x", "Orc", {}});
    // More than one piece of the door's transfer, so that it reports its progress.
    std::vector<std::uint8_t> big(3u << 20);
    for (std::size_t i = 0; i < big.size(); ++i)
        big[i] = static_cast<std::uint8_t>((i * 131) >> 5);
    testkit::WriteFile(game.Root() / "big.mdx", big);
    RecordingDriver driver;
    ASSERT_TRUE(driver.Start({DirText(game.Game()), GamePathWarning::None, GamePathSource::ProgramDirectory}));
    driver.view.SetText(ControlId::txtDestForGameModification, TextFromPath(game.Root() / "big.mdx"));
    driver.Press(ControlId::btnDoModificationForGeneral);
    const std::vector<Message> messages = driver.view.TakeMessages();
    ASSERT_EQ(messages.size(), 1u);
    EXPECT_EQ(messages[0].text, u"命令成功完成.");
    EXPECT_GT(driver.view.KeepAlives(), 0);
    EXPECT_EQ(ArchiveFile(game.Game() / "War3Patch.mpq", u"UI\\Glues\\MainMenu\\MainMenu3d_exp\\MainMenu3d_exp.mdx"),
              big);
}

TEST(ItemSelection, EveryNotificationTakesTheListsTextAndUnknownTextKeepsTheItem) {
    GameDirectory game;
    RecordingDriver driver;
    ASSERT_TRUE(driver.Start({DirText(game.Game()), GamePathWarning::None, GamePathSource::ProgramDirectory}));
    using Handler = void (MainWindow::*)();
    const std::vector<std::pair<Handler, int>> steps{{&MainWindow::cboItemToModify_Change, 0},
                                                     {&MainWindow::cboItemToModify_Click, 3},
                                                     {&MainWindow::cboItemToModify_LostFocus, 1},
                                                     {&MainWindow::cboItemToModify_Scroll, 5}};
    const std::vector<std::u16string> addresses{u"Sound\\Music\\mp3Music\\Mainscreen.mp3",
                                                u"Sound\\Music\\mp3Music\\War3XMainScreen.mp3",
                                                u"",
                                                u"Fonts\\dffn_b31.ttf",
                                                u"",
                                                u"UI\\Glues\\MainMenu\\MainMenu3d\\MainMenu3d.mdx"};
    for (const auto& [handler, index] : steps) {
        driver.view.SetSelectedIndex(ControlId::cboItemToModify, index);
        (driver.logic.*handler)();
        EXPECT_EQ(driver.logic.ItemFileAddress(), addresses[static_cast<std::size_t>(index)]) << index;
    }
    driver.view.SetSelectedIndex(ControlId::cboItemToModify, -1);
    driver.logic.cboItemToModify_Change();
    EXPECT_EQ(driver.logic.ItemFileAddress(), addresses[5]);
}

TESTKIT_CHILD_ROLE(WindowLanNameEditUntilStep) {
    return testkit::RunUntilStep(args, [](clsMpqControl& control) {
        control.SaveFileToMpq(mods::kGlobalStringsPath, GlobalStringsFdf("中断的名字"));
    });
}

// A write to the archive crashed, then another copy of the game's archive was put in its place (cp
// keeps the file). The door sets the journal aside and leaves the archive as it is; the window tells
// the player once, when the operation that found it ends, before that operation's own message.
struct SetAsideRow {
    const char* name;
    bool foundAtStartUp; // else found by the LAN-name write
};

void PrintTo(const SetAsideRow& row, std::ostream* out) {
    *out << row.name;
}

class JournalSetAside : public ::testing::TestWithParam<SetAsideRow> {};

TEST_P(JournalSetAside, IsToldOnceAndTheArchiveStaysAsItIs) {
    GameDirectory game;
    const fs::path archive = game.Game() / "War3Patch.mpq";
    const fs::path other = game.Root() / "other.mpq";
    BuildGameArchive(archive, {"补丁主机", "Human", {}});
    BuildGameArchive(other, {"补丁主机", "Human", {{u"Fonts\\dfst-m3u.ttf", std::vector<std::uint8_t>(23000, 'f')}}});
    const auto crashAndCopy = [&] {
        ASSERT_TRUE(testkit::KilledAt(archive, testkit::MpqStep::WriteFile, "WindowLanNameEditUntilStep"));
        ASSERT_TRUE(fs::exists(archive_guard::JournalPath(archive)));
        testkit::WriteFile(archive, testkit::ReadBytes(other));
    };
    if (GetParam().foundAtStartUp)
        crashAndCopy();
    RecordingDriver driver;
    ASSERT_TRUE(driver.Start({DirText(game.Game()), GamePathWarning::None, GamePathSource::ProgramDirectory}));
    std::vector<Message> expected;
    if (GetParam().foundAtStartUp) {
        expected.push_back({kAppTitle, kJournalSetAsideText, MessageIcon::Exclamation, MessageButtons::Ok});
    } else {
        EXPECT_TRUE(driver.TakeMessages().empty());
        crashAndCopy();
        driver.SetText(ControlId::txtLanGameName, u"新主机");
        driver.Press(ControlId::btnDoModificationForLanGameName);
        expected.push_back({kAppTitle, kJournalSetAsideText, MessageIcon::Exclamation, MessageButtons::Ok});
        expected.push_back({kAppTitle, mods::kTextSucceeded, MessageIcon::Information, MessageButtons::Ok});
    }
    EXPECT_EQ(driver.TakeMessages(), expected);
    // The copy put in place is what the archive holds: nothing of the crashed write was replayed.
    EXPECT_EQ(ArchiveFile(archive, u"Fonts\\dfst-m3u.ttf"), std::vector<std::uint8_t>(23000, 'f'));
    driver.Choose(ControlId::cboMpqFileName, u"War3Patch.mpq");
    EXPECT_EQ(driver.view.Text(ControlId::txtLanGameName), GetParam().foundAtStartUp ? u"补丁主机" : u"新主机");
    EXPECT_TRUE(driver.TakeMessages().empty()) << "told once";
    EXPECT_FALSE(fs::exists(archive_guard::JournalPath(archive)));
    EXPECT_TRUE(fs::exists(archive_guard::AsideJournalPath(archive, 1)));
}

INSTANTIATE_TEST_SUITE_P(Found, JournalSetAside,
                         ::testing::Values(SetAsideRow{"AtStartUp", true}, SetAsideRow{"ByALanNameWrite", false}),
                         [](const auto& info) { return std::string(info.param.name); });

} // namespace
