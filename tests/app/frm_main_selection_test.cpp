// Choosing an archive: the path the archive object is pointed at, and the refresh of the LAN game
// name and the cursor race from what the chosen archive holds. Choosing a resource item.
#include "window_fixture.h"

#include "app/frm_main.h"
#include "app/ui_prompts.h"
#include "archive/door/mpq_control.h"
#include "support/public_vars.h"
#include "support/text_path.h"

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

    void switchingArchivesRefreshesWhatIsFound();
    void choosingTheSameEntryAgainDiscardsTypedName();
    void scrollingTheListRefreshesAgain();
    void raceShownForEachArchive_data();
    void raceShownForEachArchive();
    void archiveNameMatchedIgnoringCase();
    void archivePathJoinsGamePathAndName_data();
    void archivePathJoinsGamePathAndName();
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

void SelectionTest::switchingArchivesRefreshesWhatIsFound() {
    BuildGameArchive(m_rig->Game() / "War3Patch.mpq", {"补丁主机", "Human", {}});
    BuildGameArchive(m_rig->Game() / "War3x.mpq", {"资料片主机", "Undead", {}});
    BuildGameArchive(m_rig->Game() / "War3xLocal.mpq", {std::nullopt, std::nullopt, {}});
    BuildGameArchive(m_rig->Game() / "War3.mpq", {std::nullopt, "Goblin", {}}); // no name, unknown race
    m_window = m_rig->Start();
    QVERIFY(m_window);
    QCOMPARE(Name()->text(), QStringLiteral("补丁主机"));
    QCOMPARE(CheckedRace(), QStringLiteral("optMouseHuman"));

    // A name typed but not written is replaced by what the next archive holds.
    Name()->setText(QStringLiteral("typed, not written"));
    ChooseFromPopup(Archives(), QStringLiteral("War3x.mpq"));
    QCOMPARE(Q(modPublicVars::MpqName), QStringLiteral("War3x.mpq"));
    QCOMPARE(Q(m_window->MpqControlIfCreated()->MpqFileName()), Q(TextFromPath(m_rig->Game() / "War3x.mpq")));
    QCOMPARE(Name()->text(), QStringLiteral("资料片主机"));
    QCOMPARE(CheckedRace(), QStringLiteral("optMouseUndead"));

    // An archive without either file leaves both as they were: the previous archive's values.
    ChooseFromPopup(Archives(), QStringLiteral("War3xLocal.mpq"));
    QCOMPARE(Q(m_window->MpqControlIfCreated()->MpqFileName()), Q(TextFromPath(m_rig->Game() / "War3xLocal.mpq")));
    QCOMPARE(Name()->text(), QStringLiteral("资料片主机"));
    QCOMPARE(CheckedRace(), QStringLiteral("optMouseUndead"));

    // Unknown race word and no string file: still nothing changes, but the path follows the choice.
    Name()->setText(QStringLiteral("mine"));
    ChooseFromPopup(Archives(), QStringLiteral("War3.mpq"));
    QCOMPARE(Q(m_window->MpqControlIfCreated()->MpqFileName()), Q(TextFromPath(m_rig->Game() / "War3.mpq")));
    QCOMPARE(Name()->text(), QStringLiteral("mine"));
    QCOMPARE(CheckedRace(), QStringLiteral("optMouseUndead"));

    // Back to the patch archive with the keyboard.
    Archives()->setFocus();
    QTest::keyClick(Archives(), Qt::Key_Home);
    QCOMPARE(Archives()->currentText(), QStringLiteral("War3Patch.mpq"));
    QCOMPARE(Name()->text(), QStringLiteral("补丁主机"));
    QCOMPARE(CheckedRace(), QStringLiteral("optMouseHuman"));
}

void SelectionTest::choosingTheSameEntryAgainDiscardsTypedName() {
    BuildGameArchive(m_rig->Game() / "War3Patch.mpq", {"原名", "Orc", {}});
    m_window = m_rig->Start();
    QVERIFY(m_window);
    Name()->setText(QStringLiteral("typed"));
    QTest::mouseClick(Find<QRadioButton>("optMouseHuman"), Qt::LeftButton);
    ChooseFromPopup(Archives(), QStringLiteral("War3Patch.mpq"));
    QCOMPARE(Name()->text(), QStringLiteral("原名"));
    QCOMPARE(CheckedRace(), QStringLiteral("optMouseOrc"));
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

void SelectionTest::raceShownForEachArchive_data() {
    QTest::addColumn<QString>("raceWord");
    QTest::addColumn<QString>("option");
    QTest::newRow("Human") << "Human"
                           << "optMouseHuman";
    QTest::newRow("Orc") << "Orc"
                         << "optMouseOrc";
    QTest::newRow("NightElf") << "NightElf"
                              << "optMouseNightElf";
    QTest::newRow("Undead") << "Undead"
                            << "optMouseUndead";
    QTest::newRow("unknown word leaves the buttons") << "Naga"
                                                     << "optMouseNightElf";
}

void SelectionTest::raceShownForEachArchive() {
    QFETCH(QString, raceWord);
    QFETCH(QString, option);
    BuildGameArchive(m_rig->Game() / "War3Patch.mpq", {"a", "NightElf", {}});
    BuildGameArchive(m_rig->Game() / "War3x.mpq", {"b", raceWord.toStdString(), {}});
    m_window = m_rig->Start();
    QVERIFY(m_window);
    QCOMPARE(CheckedRace(), QStringLiteral("optMouseNightElf"));
    ChooseFromPopup(Archives(), QStringLiteral("War3x.mpq"));
    QCOMPARE(CheckedRace(), option);
    QCOMPARE(Name()->text(), QStringLiteral("b"));
}

void SelectionTest::archiveNameMatchedIgnoringCase() {
    BuildGameArchive(m_rig->Game() / "war3patch.MPQ", {"小写", "Orc", {}});
    m_window = m_rig->Start();
    QVERIFY(m_window);
    QCOMPARE(Q(m_window->MpqControlIfCreated()->MpqFileName()), Q(TextFromPath(m_rig->Game() / "war3patch.MPQ")));
    QCOMPARE(Name()->text(), QStringLiteral("小写"));
    QCOMPARE(CheckedRace(), QStringLiteral("optMouseOrc"));
}

void SelectionTest::archivePathJoinsGamePathAndName_data() {
    QTest::addColumn<QString>("gamePath");
    QTest::addColumn<int>("entry");
    QTest::addColumn<QString>("expected");
    QTest::newRow("one separator at the seam") << "/games/War3/" << 0 << "/games/War3/War3Patch.mpq";
    QTest::newRow("three in a row become two") << "/games/War3//" << 2 << "/games/War3//War3x.mpq";
    QTest::newRow("pairs inside the directory collapse") << "//srv//War3/" << 3 << "/srv/War3/War3.mpq";
    QTest::newRow("no entry chosen gives the directory") << "/games/War3/" << -1 << "/games/War3/";
}

void SelectionTest::archivePathJoinsGamePathAndName() {
    QFETCH(QString, gamePath);
    QFETCH(int, entry);
    QFETCH(QString, expected);
    m_window = std::make_unique<FrmMain>();
    const std::u16string path = gamePath.toStdU16String();
    m_window->SetGamePathDecider([path] { return GamePathDecision{path, GamePathWarning::None}; });
    QVERIFY(m_window->Form_Load());
    Archives()->setCurrentIndex(entry);
    QCOMPARE(Q(modPublicVars::MpqName), entry < 0 ? QString() : Archives()->itemText(entry));
    QCOMPARE(Q(m_window->MpqControlIfCreated()->MpqFileName()), expected);
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
