// Enter on the window's focused push button presses it, as on Windows, whether from the main
// keyboard or the keypad; other controls keep Enter to themselves and modified Enter presses nothing.
#include "window_fixture.h"

#include "app/ui_prompts.h"

#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QLineEdit>
#include <QPushButton>
#include <QSignalSpy>
#include <QTest>

using namespace window_test;

namespace {

const char* const kButtons[] = {"btnCompressMpq", "btnDoModificationForGeneral", "btnBrowserForModificationDest",
                                "btnDoModificationForMouse", "btnDoModificationForLanGameName"};

// What a control shows of its state, to see that Enter left it alone.
QString StateOf(const QWidget* widget) {
    if (const auto* combo = qobject_cast<const QComboBox*>(widget))
        return combo->currentText();
    if (const auto* text = qobject_cast<const QLineEdit*>(widget))
        return text->text();
    if (const auto* check = qobject_cast<const QCheckBox*>(widget))
        return check->isChecked() ? QStringLiteral("checked") : QStringLiteral("unchecked");
    return {};
}

} // namespace

class EnterPressesButtonTest : public QObject {
    Q_OBJECT

private slots:
    void init() { m_rig = std::make_unique<GameRig>(); }
    void cleanup() {
        m_window.reset();
        ui_prompts::TakeShownMessages();
        ui_prompts::TakeShownFileDialogs();
    }

    void enterOnTheFocusedControl_data() {
        QTest::addColumn<QString>("focused");
        QTest::addColumn<int>("key");
        QTest::addColumn<int>("modifiers");
        QTest::addColumn<bool>("presses"); // the focused control is a button and Enter presses it
        for (const char* button : kButtons) {
            QTest::addRow("Return on %s", button) << button << int(Qt::Key_Return) << int(Qt::NoModifier) << true;
            QTest::addRow("keypad Enter on %s", button)
                << button << int(Qt::Key_Enter) << int(Qt::KeypadModifier) << true;
        }
        QTest::newRow("Ctrl+Return on a button")
            << "btnCompressMpq" << int(Qt::Key_Return) << int(Qt::ControlModifier) << false;
        QTest::newRow("Shift+keypad Enter on a button") << "btnDoModificationForMouse" << int(Qt::Key_Enter)
                                                        << int(Qt::ShiftModifier | Qt::KeypadModifier) << false;
        QTest::newRow("Alt+Return on a button")
            << "btnDoModificationForLanGameName" << int(Qt::Key_Return) << int(Qt::AltModifier) << false;
        QTest::newRow("Return on the archive list")
            << "cboMpqFileName" << int(Qt::Key_Return) << int(Qt::NoModifier) << false;
        QTest::newRow("keypad Enter on the item list")
            << "cboItemToModify" << int(Qt::Key_Enter) << int(Qt::KeypadModifier) << false;
        QTest::newRow("Return in the LAN name box")
            << "txtLanGameName" << int(Qt::Key_Return) << int(Qt::NoModifier) << false;
        QTest::newRow("Return on the extract box")
            << "chkExtract" << int(Qt::Key_Return) << int(Qt::NoModifier) << false;
    }

    void enterOnTheFocusedControl() {
        QFETCH(QString, focused);
        QFETCH(int, key);
        QFETCH(int, modifiers);
        QFETCH(bool, presses);
        m_window = m_rig->Start();
        QVERIFY(m_window);
        m_window->ShowCentred();
        QVERIFY(QTest::qWaitForWindowActive(m_window.get()));
        GameRig::Find<QLineEdit>(*m_window, "txtLanGameName")->setText(QStringLiteral("主机"));
        ui_prompts::TakeShownMessages();

        auto* target = GameRig::Find<QWidget>(*m_window, qPrintable(focused));
        QVERIFY(target);
        target->setFocus(Qt::TabFocusReason);
        QCOMPARE(QApplication::focusWidget(), target);
        const QString before = StateOf(target);
        std::vector<std::unique_ptr<QSignalSpy>> clicks;
        for (const char* button : kButtons)
            clicks.push_back(
                std::make_unique<QSignalSpy>(GameRig::Find<QPushButton>(*m_window, button), &QAbstractButton::clicked));

        QTest::keyClick(target, Qt::Key(key), Qt::KeyboardModifiers(modifiers));

        for (std::size_t i = 0; i < clicks.size(); ++i) {
            const bool pressed = presses && focused == QLatin1String(kButtons[i]);
            QVERIFY2(clicks[i]->count() == (pressed ? 1 : 0), kButtons[i]);
        }
        // The press ran the button's handler, which always answers with a message or a file dialog.
        const qsizetype answered = ui_prompts::TakeShownMessages().size() + ui_prompts::TakeShownFileDialogs().size();
        QCOMPARE(answered > 0, presses);
        if (!presses)
            QCOMPARE(StateOf(target), before);
    }

private:
    std::unique_ptr<GameRig> m_rig;
    std::unique_ptr<FrmMain> m_window;
};

QTEST_MAIN(EnterPressesButtonTest)
#include "enter_presses_button_test.moc"
