// How the Qt window reports the lists' notifications: a choice from the open list, the keyboard,
// the drop-down list scrolling, the focus leaving. What each choice leads to is the shared
// scenarios' (tests/window/window_scenarios.h).
#include "window_fixture.h"

#include "app/frm_main.h"
#include "app/ui_prompts.h"
#include "archive/door/mpq_control.h"
#include "support/public_vars.h"
#include "support/text_path.h"
#include "testkit/faulty_mpq_engine.h"

#include <QAbstractItemView>
#include <QComboBox>
#include <QLineEdit>
#include <QRadioButton>
#include <QScrollBar>
#include <QTest>

using namespace window_test;

class SelectionTest : public QObject {
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void keyboardAndPopupChoicesRefresh();
    void aChoiceRefreshesOnce_data();
    void aChoiceRefreshesOnce();
    void scrollingTheListRefreshesAgain();
    void itemSelectionRunsOnEveryNotification();

private:
    template <typename T> T* Find(const char* name) const { return m_window->findChild<T*>(QLatin1String(name)); }
    QComboBox* Archives() const { return Find<QComboBox>("cboMpqFileName"); }
    QLineEdit* Name() const { return Find<QLineEdit>("txtLanGameName"); }
    QString CheckedRace() const {
        for (const QRadioButton* option : m_window->findChildren<QRadioButton*>()) {
            if (option->isChecked())
                return option->objectName();
        }
        return {};
    }

    std::unique_ptr<GameRig> m_rig;
    std::unique_ptr<FrmMain> m_window;
};

void SelectionTest::init() {
    m_rig = std::make_unique<GameRig>();
}

void SelectionTest::cleanup() {
    m_window.reset();
    m_rig.reset();
    QVERIFY(ui_prompts::TakeShownMessages().isEmpty()); // choosing never shows a message
}

void SelectionTest::keyboardAndPopupChoicesRefresh() {
    BuildGameArchive(m_rig->Game() / "War3Patch.mpq", {"补丁主机", "Human", {}});
    BuildGameArchive(m_rig->Game() / "War3x.mpq", {"资料片主机", "Undead", {}});
    m_window = m_rig->Start();
    QVERIFY(m_window);
    QCOMPARE(Name()->text(), QStringLiteral("补丁主机"));

    ChooseFromPopup(Archives(), QStringLiteral("War3x.mpq"));
    QCOMPARE(Q(m_window->MpqControlIfCreated()->MpqFileName()), Q(TextFromPath(m_rig->Game() / "War3x.mpq")));
    QCOMPARE(Name()->text(), QStringLiteral("资料片主机"));
    QCOMPARE(CheckedRace(), QStringLiteral("optMouseUndead"));

    // Back to the patch archive with the keyboard.
    Archives()->setFocus();
    QTest::keyClick(Archives(), Qt::Key_Home);
    QCOMPARE(Archives()->currentText(), QStringLiteral("War3Patch.mpq"));
    QCOMPARE(Q(modPublicVars::MpqName), QStringLiteral("War3Patch.mpq"));
    QCOMPARE(Name()->text(), QStringLiteral("补丁主机"));
    QCOMPARE(CheckedRace(), QStringLiteral("optMouseHuman"));
}

void SelectionTest::aChoiceRefreshesOnce_data() {
    QTest::addColumn<QString>("how");
    QTest::newRow("another entry from the open list") << QStringLiteral("popup");
    QTest::newRow("the same entry from the open list") << QStringLiteral("same");
    QTest::newRow("the keyboard") << QStringLiteral("key");
}

// A choice reads the chosen archive as often as one refresh does, never twice over.
void SelectionTest::aChoiceRefreshesOnce() {
    QFETCH(QString, how);
    BuildGameArchive(m_rig->Game() / "War3Patch.mpq", {"补丁主机", "Human", {}});
    BuildGameArchive(m_rig->Game() / "War3x.mpq", {"资料片主机", "Undead", {}});
    BuildGameArchive(m_rig->Game() / "War3xLocal.mpq", {"本地主机", "Orc", {}});
    m_window = m_rig->Start();
    QVERIFY(m_window);
    auto counting = std::make_shared<testkit::FaultyMpqEngine>();
    m_window->SetMpqEngine(counting);
    m_window->Logic().cboMpqFileName_Change();
    const int oneRefresh = counting->Calls(testkit::MpqStep::OpenArchive);
    QVERIFY(oneRefresh > 0);

    if (how == QLatin1String("key")) {
        Archives()->setFocus();
        QTest::keyClick(Archives(), Qt::Key_Down);
        QCOMPARE(Archives()->currentText(), QStringLiteral("War3xLocal.mpq"));
    } else {
        ChooseFromPopup(Archives(),
                        how == QLatin1String("same") ? QStringLiteral("War3Patch.mpq") : QStringLiteral("War3x.mpq"));
    }
    QCOMPARE(counting->Calls(testkit::MpqStep::OpenArchive), 2 * oneRefresh);
}

void SelectionTest::scrollingTheListRefreshesAgain() {
    BuildGameArchive(m_rig->Game() / "War3Patch.mpq", {"原名", "Orc", {}});
    m_window = m_rig->Start();
    QVERIFY(m_window);
    Name()->setText(QStringLiteral("typed"));
    // Four entries never need a scroll bar; give the list one and scroll it.
    QScrollBar* bar = Archives()->view()->verticalScrollBar();
    bar->setRange(0, 10);
    bar->setValue(3);
    QCOMPARE(Name()->text(), QStringLiteral("原名"));
    QCOMPARE(Archives()->currentText(), QStringLiteral("War3Patch.mpq"));
}

void SelectionTest::itemSelectionRunsOnEveryNotification() {
    m_window = m_rig->Start();
    QVERIFY(m_window);
    QComboBox* items = Find<QComboBox>("cboItemToModify");

    // Change: any new text; a text naming no entry keeps the item chosen before.
    items->setCurrentIndex(0);
    QCOMPARE(Q(m_window->ItemFileAddress()), QStringLiteral("Sound\\Music\\mp3Music\\Mainscreen.mp3"));
    QCOMPARE(Q(m_window->ItemFileFilter()), QStringLiteral("背景音乐文件 (*.mp3)|*.mp3|所有文件 (*.*)|*.*"));
    items->setCurrentIndex(-1);
    QCOMPARE(Q(m_window->ItemFileAddress()), QStringLiteral("Sound\\Music\\mp3Music\\Mainscreen.mp3"));

    // Click: a choice from the list.
    ChooseFromPopup(items, QStringLiteral("游戏字体 (繁体中文)"));
    QCOMPARE(Q(m_window->ItemFileAddress()), QStringLiteral("Fonts\\dffn_b31.ttf"));
    QCOMPARE(Q(m_window->ItemFileFilter()), QStringLiteral("字体文件 (*.ttf)|*.ttf|所有文件 (*.*)|*.*"));

    // LostFocus: a text that changed without any notification is taken when the focus leaves.
    m_window->ShowCentred();
    QVERIFY(QTest::qWaitForWindowActive(m_window.get()));
    items->setFocus();
    QTRY_VERIFY(items->hasFocus());
    {
        const QSignalBlocker quiet(items);
        items->setCurrentIndex(1);
    }
    QCOMPARE(Q(m_window->ItemFileAddress()), QStringLiteral("Fonts\\dffn_b31.ttf"));
    Name()->setFocus();
    QTRY_VERIFY(Name()->hasFocus());
    QCOMPARE(Q(m_window->ItemFileAddress()), QStringLiteral("Sound\\Music\\mp3Music\\War3XMainScreen.mp3"));

    // Scroll: the drop-down list scrolling.
    {
        const QSignalBlocker quiet(items);
        items->setCurrentIndex(5);
    }
    QScrollBar* bar = items->view()->verticalScrollBar();
    bar->setRange(0, 10);
    bar->setValue(4);
    QCOMPARE(Q(m_window->ItemFileAddress()), QStringLiteral("UI\\Glues\\MainMenu\\MainMenu3d\\MainMenu3d.mdx"));
}

QTEST_MAIN(SelectionTest)
#include "frm_main_selection_test.moc"
