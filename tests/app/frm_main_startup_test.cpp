// Start-up: deciding the game directory from each source, the two warnings that end the program
// before its window is ever shown, and what the window shows once start-up has run.
#include "window_fixture.h"

#include "app/frm_main.h"
#include "app/ui_prompts.h"
#include "archive/door/mpq_control.h"
#include "support/public_vars.h"
#include "support/text_path.h"
#include "window/window_layout.h"

#include <QCheckBox>
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QProcess>
#include <QPushButton>
#include <QRadioButton>
#include <QTest>

#include <stdexcept>

using namespace window_test;

namespace {

enum class Source {
    OwnDirectory,
    Registry,
    RegistryWithoutDrive,
    SettingsFile,
    SettingsFileWrongPath,
    SettingsFileWithoutKey,
    Nothing
};

void WriteUserReg(const fs::path& prefix, const std::string& installPathLine) {
    testkit::WriteFile(prefix / "user.reg",
                       "WINE REGISTRY Version 2\n;; All keys relative to \\\\User\\\\S-1-5-21-0-0-0-1000\n\n"
                       "#arch=win32\n\n[Software\\\\Blizzard Entertainment\\\\Warcraft III] 1700000000\n"
                       "#time=1da0000000000000\n" +
                           installPathLine + "\n");
}

} // namespace

Q_DECLARE_METATYPE(Source)
Q_DECLARE_METATYPE(GamePathWarning)

class StartupTest : public QObject {
    Q_OBJECT

private slots:
    void decidesTheGameDirectory_data();
    void decidesTheGameDirectory();
    void programWaitsAtItsWarningWithoutGameDirectory();
};

void StartupTest::decidesTheGameDirectory_data() {
    QTest::addColumn<Source>("source");
    QTest::addColumn<GamePathWarning>("warning");
    QTest::newRow("war3.exe beside the program wins over registry and settings")
        << Source::OwnDirectory << GamePathWarning::None;
    QTest::newRow("registry InstallPath of the Wine prefix") << Source::Registry << GamePathWarning::None;
    QTest::newRow("registry value without a drive leaves it to PD_Set.ini")
        << Source::RegistryWithoutDrive << GamePathWarning::None;
    // The settings file's own cases and the warnings run below the view (tests/window); here the
    // registry a player's Wine holds, and the one warning the window itself shows.
    QTest::newRow("M2: nothing found") << Source::Nothing << GamePathWarning::M2;
}

void StartupTest::decidesTheGameDirectory() {
    QFETCH(Source, source);
    QFETCH(GamePathWarning, warning);

    GameRig rig;
    const fs::path app = rig.Root() / "Pellidor";
    fs::create_directories(app);
    // The registry game directory lives on drive D: of the prefix, spelt in another case on disk.
    const fs::path registryGame = rig.Prefix() / "dosdevices" / "d:" / "Games" / "Warcraft III";
    fs::create_directories(registryGame);
    testkit::WriteFile(registryGame / "war3.exe", "MZ");

    fs::path expectedGame;
    switch (source) {
    case Source::OwnDirectory:
        testkit::WriteFile(app / "War3.exe", "MZ");
        WriteUserReg(rig.Prefix(), "\"InstallPath\"=\"D:\\\\Games\\\\Warcraft III\"");
        testkit::WriteFile(app / "PD_Set.ini", "[War3Main]\r\nWarPath=" + rig.Game().string() + "\r\n");
        expectedGame = app;
        break;
    case Source::Registry:
        WriteUserReg(rig.Prefix(), "\"InstallPath\"=\"d:\\\\games\\\\WARCRAFT III\\\\\"");
        expectedGame = registryGame;
        break;
    case Source::RegistryWithoutDrive:
        WriteUserReg(rig.Prefix(), "\"InstallPath\"=\"Warcraft III\"");
        testkit::WriteFile(app / "PD_Set.ini", "[War3Main]\r\nWarPath= \"" + rig.Game().string() + "\" \r\n");
        expectedGame = rig.Game();
        break;
    case Source::SettingsFile:
        testkit::WriteFile(app / "PD_Set.ini", "[War3Main]\r\nWarPath=" + rig.Game().string() + "\r\n");
        expectedGame = rig.Game();
        break;
    case Source::SettingsFileWrongPath:
        testkit::WriteFile(app / "PD_Set.ini", "[War3Main]\r\nWarPath=" + (rig.Root() / "nowhere").string() + "\r\n");
        break;
    case Source::SettingsFileWithoutKey:
        testkit::WriteFile(app / "PD_Set.ini", "[Other]\r\nWarPath=" + rig.Game().string() + "\r\n");
        break;
    case Source::Nothing:
        break;
    }
    if (!expectedGame.empty())
        BuildGameArchive(expectedGame / "War3Patch.mpq", {"主机 A", "Undead", {}});

    FrmMain window;
    const std::u16string appPath = DirText(app);
    window.SetGamePathDecider([appPath] { return DecideGamePath(appPath); });
    const bool loaded = window.Form_Load();
    const QList<ui_prompts::MessageRecord> messages = ui_prompts::TakeShownMessages();

    if (warning != GamePathWarning::None) {
        QVERIFY(!loaded);
        QCOMPARE(messages.size(), 1);
        QCOMPARE(messages[0].title, QStringLiteral("提示"));
        QCOMPARE(messages[0].text, Q(GamePathWarningText(warning)));
        QCOMPARE(messages[0].icon, ui_prompts::Icon::Exclamation);
        QCOMPARE(messages[0].buttons, ui_prompts::Buttons::Ok);
        // Never shown: no platform window was ever made, and no archive was ever pointed at.
        QVERIFY(!window.isVisible());
        QVERIFY(window.windowHandle() == nullptr);
        QVERIFY(window.MpqControlIfCreated() == nullptr);
        QCOMPARE(GameRig::Find<QComboBox>(window, "cboMpqFileName")->currentIndex(), -1);
        QVERIFY(modPublicVars::GamePath.empty());
        return;
    }

    QVERIFY(loaded);
    QVERIFY(messages.isEmpty());
    QVERIFY(!window.isVisible()); // showing is the caller's job, after Form_Load
    QCOMPARE(Q(modPublicVars::GamePath), Q(DirText(expectedGame)));
    QCOMPARE(Q(modPublicVars::MpqName), QStringLiteral("War3Patch.mpq"));
    QVERIFY(window.MpqControlIfCreated() != nullptr);
    QCOMPARE(Q(window.MpqControlIfCreated()->MpqFileName()), Q(TextFromPath(expectedGame / "War3Patch.mpq")));

    // What start-up chose and what the default archive holds.
    QCOMPARE(GameRig::Find<QComboBox>(window, "cboMpqFileName")->currentText(), QStringLiteral("War3Patch.mpq"));
    QCOMPARE(GameRig::Find<QComboBox>(window, "cboItemToModify")->currentText(), QStringLiteral("界面背景 (冰封王座)"));
    QCOMPARE(GameRig::Find<QLineEdit>(window, "txtLanGameName")->text(), QStringLiteral("主机 A"));
    QVERIFY(GameRig::Find<QRadioButton>(window, "optMouseUndead")->isChecked());
    QCOMPARE(Q(window.ItemFileAddress()), QStringLiteral("UI\\Glues\\MainMenu\\MainMenu3d_exp\\MainMenu3d_exp.mdx"));
    QCOMPARE(Q(window.ItemFileFilter()), QStringLiteral("模型文件 (*.mdx)|*.mdx|所有文件 (*.*)|*.*"));

    // The banner's run-time texts and positions, and the flat buttons.
    QCOMPARE(window.windowTitle(), QStringLiteral("Keldrava - Ostrawen Ver:2.0.091105"));
    QCOMPARE(window.Label(4)->text(), Q(window::kAboutLine));
    QVERIFY(window.Label(4)->text().startsWith(QStringLiteral("Keldrava - ")));
    QCOMPARE(window.Label(4)->pos(), QPoint(16, 12));
    QCOMPARE(window.Label(3)->text(),
             QStringLiteral("功能: 压缩 MPQ 文件、修改魔兽背景图片/音乐/字体、修改局域网主机名"));
    QCOMPARE(window.Label(3)->pos(), QPoint(40, 32));
    const auto buttons = window.findChildren<QPushButton*>();
    QCOMPARE(buttons.size(), 5);
    for (const QPushButton* button : buttons) {
        QVERIFY2(button->isFlat(), qPrintable(button->objectName()));
        QVERIFY2(!button->isHidden(), qPrintable(button->objectName()));
    }
}

void StartupTest::programWaitsAtItsWarningWithoutGameDirectory() {
    // The program itself, copied where a player would put it.
    GameRig rig;
    const fs::path bare = rig.Root() / "bare";
    const fs::path inGame = rig.Game();
    fs::create_directories(bare);
    std::error_code error;
    fs::copy_file(OSTRAWEN_EXECUTABLE, bare / "ostrawen", error);
    QVERIFY2(!error, error.message().c_str());
    fs::copy_file(OSTRAWEN_EXECUTABLE, inGame / "ostrawen", error);
    QVERIFY2(!error, error.message().c_str());

    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
    environment.insert(QStringLiteral("WINEPREFIX"), QString::fromStdString(rig.Prefix().string()));

    // Nothing to find: the warning waits for its player, off screen too; nothing answers it by
    // itself, so the program does not end by itself (prompts_attended_test reads the warning).
    QProcess unseen;
    unseen.setProcessEnvironment(environment);
    unseen.start(QString::fromStdString((bare / "ostrawen").string()), {});
    QVERIFY(unseen.waitForStarted(10000));
    QVERIFY(!unseen.waitForFinished(2000));
    unseen.kill();
    unseen.waitForFinished(10000);

    // In the game directory the window opens and waits for the user.
    QProcess shown;
    shown.setProcessEnvironment(environment);
    shown.start(QString::fromStdString((inGame / "ostrawen").string()), {});
    QVERIFY(shown.waitForStarted(10000));
    QVERIFY(!shown.waitForFinished(2000));
    shown.kill();
    shown.waitForFinished(10000);
}

QTEST_MAIN(StartupTest)
#include "frm_main_startup_test.moc"
