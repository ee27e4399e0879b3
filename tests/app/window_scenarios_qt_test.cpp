// The window's shared scenarios on the Qt window: each action goes through the real widgets (a click,
// a choice from the open list, typed text), each prompt through ui_prompts' advance answers.
#include "window_fixture.h"
#include "window_scenarios.h"

#include "app/ui_prompts.h"
#include "archive/worker/mpq_worker.h"

#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QTest>

#include <gtest/gtest.h>

using namespace window;
using namespace window_test;

namespace {

class QtDriver final : public ScenarioDriver {
public:
    bool Start(const GamePathDecision& decision) override {
        m_window = std::make_unique<FrmMain>();
        m_window->SetGamePathDecider([decision] { return decision; });
        return m_window->Form_Load();
    }
    void Choose(ControlId list, const std::u16string& entry) override {
        ChooseFromPopup(Widget<QComboBox>(list), Q(entry));
    }
    void SetText(ControlId box, const std::u16string& text) override { Widget<QLineEdit>(box)->setText(Q(text)); }
    void SetChecked(ControlId button, bool checked) override {
        auto* widget = Widget<QAbstractButton>(button);
        if (widget->isChecked() != checked)
            QTest::mouseClick(widget, Qt::LeftButton);
    }
    void Press(ControlId button) override { QTest::mouseClick(Widget<QPushButton>(button), Qt::LeftButton); }
    void QueueAnswer(MessageAnswer answer) override {
        ui_prompts::SetNextAnswer(answer == MessageAnswer::Yes  ? ui_prompts::Answer::Yes
                                  : answer == MessageAnswer::No ? ui_prompts::Answer::No
                                                                : ui_prompts::Answer::Ok);
    }
    void QueueFileDialogResult(std::optional<std::u16string> path) override {
        ui_prompts::SetNextFileDialogResult(path ? std::optional(Q(*path)) : std::nullopt);
    }
    std::vector<Message> TakeMessages() override {
        std::vector<Message> messages;
        for (const ui_prompts::MessageRecord& record : ui_prompts::TakeShownMessages()) {
            const MessageIcon icon = record.icon == ui_prompts::Icon::Information   ? MessageIcon::Information
                                     : record.icon == ui_prompts::Icon::Exclamation ? MessageIcon::Exclamation
                                                                                    : MessageIcon::Question;
            messages.push_back(
                {record.title.toStdU16String(), record.text.toStdU16String(), icon,
                 record.buttons == ui_prompts::Buttons::YesNo ? MessageButtons::YesNo : MessageButtons::Ok});
        }
        return messages;
    }
    std::vector<FileDialogShown> TakeFileDialogs() override {
        std::vector<FileDialogShown> shown;
        for (const ui_prompts::FileDialogRequest& request : ui_prompts::TakeShownFileDialogs()) {
            FileDialogShown dialog{
                request.kind == ui_prompts::FileDialogKind::Save ? FileDialogKind::Save : FileDialogKind::Open, {}};
            for (const QString& name : request.nameFilters)
                dialog.filterNames.push_back(name.toStdU16String());
            shown.push_back(dialog);
        }
        return shown;
    }
    std::u16string Text(ControlId control) override {
        QWidget* widget = m_window->Control(control);
        if (widget == m_window.get())
            return m_window->windowTitle().toStdU16String();
        if (auto* combo = qobject_cast<QComboBox*>(widget))
            return combo->currentText().toStdU16String();
        if (auto* box = qobject_cast<QLineEdit*>(widget))
            return box->text().toStdU16String();
        if (auto* label = qobject_cast<QLabel*>(widget))
            return label->text().toStdU16String();
        if (auto* button = qobject_cast<QAbstractButton*>(widget))
            return button->text().toStdU16String();
        ADD_FAILURE() << "no text: " << ControlName(control);
        return {};
    }
    bool IsChecked(ControlId control) override { return Widget<QAbstractButton>(control)->isChecked(); }

private:
    template <typename T> T* Widget(ControlId id) const {
        // Found by name, as a player's tool would, not through the view's own map.
        auto* widget = m_window->findChild<T*>(QLatin1String(ControlName(id)));
        if (!widget)
            throw std::runtime_error("no such control: " + std::string(ControlName(id)));
        return widget;
    }

    std::unique_ptr<FrmMain> m_window;
};

class QtScenarios : public ::testing::TestWithParam<Scenario> {};

TEST_P(QtScenarios, QtWindow) {
    GameRig game;
    QtDriver driver;
    RunScenario(GetParam(), driver, game);
    EXPECT_TRUE(ui_prompts::TakeShownMessages().isEmpty());
}

INSTANTIATE_TEST_SUITE_P(Window, QtScenarios, ::testing::ValuesIn(window_test::Scenarios()),
                         [](const auto& info) { return info.param.name; });

} // namespace

int main(int argc, char* argv[]) {
    // The window's archive door starts this program as its worker.
    if (IsMpqWorkerInvocation(argc, argv))
        return RunMpqWorker(argc, argv, MakeOwnMpqEngine());
    // Window tests run headless, also when GoogleTest's discovery lists them.
    if (!qEnvironmentVariableIsSet("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication application(argc, argv);
    // Every prompt is answered in advance; one that is not must not wait for a player.
    ui_prompts::SetUnattended(true);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
