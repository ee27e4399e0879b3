// The buttons end to end on real archives: what each click leaves in the archive or on disk, and
// the one message box it ends with.
#include "window_fixture.h"

#include "app/frm_main.h"
#include "app/ui_prompts.h"
#include "support/utf8_convert.h"

#include <QCheckBox>
#include <QComboBox>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QTest>

using namespace window_test;

namespace {

const QString kSucceeded = QStringLiteral("命令成功完成.");
const QString kCompleted = QStringLiteral("命令完成.");
const QString kFailed = QStringLiteral("操作过程中发生错误.");
const std::u16string kGlobalStrings = u"UI\\FrameDef\\GlobalStrings.fdf";
const std::u16string kSkins = u"UI\\war3skins.txt";
const std::u16string kMenuModel = u"UI\\Glues\\MainMenu\\MainMenu3d_exp\\MainMenu3d_exp.mdx";
const std::u16string kEnglishFont = u"Fonts\\FRIZQT__.TTF";

std::vector<std::uint8_t> Model() {
    std::vector<std::uint8_t> bytes = testkit::Bytes("MDLXVERS");
    for (int i = 0; i < 5000; ++i)
        bytes.push_back(static_cast<std::uint8_t>((i * 37) ^ (i >> 3)));
    return bytes;
}

// The message boxes since the last call; exactly one is expected after each click.
ui_prompts::MessageRecord OnlyMessage() {
    const QList<ui_prompts::MessageRecord> messages = ui_prompts::TakeShownMessages();
    if (messages.size() != 1)
        qWarning("expected one message box, got %lld", static_cast<long long>(messages.size()));
    return messages.value(0);
}

} // namespace

class HandlersTest : public QObject {
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void lanGameName_data();
    void lanGameName();
    void cursorRace_data();
    void cursorRace();
    void resource_data();
    void resource();
    void resourceFollowsTheChosenItem();
    void browse_data();
    void browse();
    void compressAnsweredNoTouchesNothing();
    void compressAnsweredYes();
    void compressMissingArchive();

private:
    fs::path Patch() const { return m_rig->Game() / "War3Patch.mpq"; }
    void Start();
    void Click(const char* button) {
        QTest::mouseClick(m_window->findChild<QPushButton*>(QLatin1String(button)), Qt::LeftButton);
    }
    template <typename T> T* Find(const char* name) const { return m_window->findChild<T*>(QLatin1String(name)); }

    std::unique_ptr<GameRig> m_rig;
    std::unique_ptr<FrmMain> m_window;
};

void HandlersTest::init() {
    m_rig = std::make_unique<GameRig>();
}

void HandlersTest::cleanup() {
    m_window.reset();
    m_rig.reset();
    ui_prompts::TakeShownMessages();
    ui_prompts::TakeShownFileDialogs();
}

void HandlersTest::Start() {
    m_window = m_rig->Start();
    QVERIFY(m_window);
    ui_prompts::TakeShownMessages();
}

void HandlersTest::lanGameName_data() {
    QTest::addColumn<bool>("withStrings");
    QTest::addColumn<QString>("typed");
    QTest::addColumn<QString>("message");
    QTest::newRow("the typed name is written") << true << QStringLiteral("局域网 主机") << kSucceeded;
    QTest::newRow("an empty box empties the value") << true << QString() << kSucceeded;
    QTest::newRow("archive without the string file") << false << QStringLiteral("新名") << kFailed;
}

void HandlersTest::lanGameName() {
    QFETCH(bool, withStrings);
    QFETCH(QString, typed);
    QFETCH(QString, message);
    BuildGameArchive(
        Patch(), {withStrings ? std::optional<std::string>("旧名字") : std::nullopt, "Human", {{kMenuModel, Model()}}});
    const auto before = testkit::ReadFile(Patch());
    Start();
    Find<QLineEdit>("txtLanGameName")->setText(typed);
    Click("btnDoModificationForLanGameName");

    const ui_prompts::MessageRecord shown = OnlyMessage();
    QCOMPARE(shown.title, QStringLiteral("Ostrawen"));
    QCOMPARE(shown.text, message);
    QCOMPARE(shown.buttons, ui_prompts::Buttons::Ok);
    if (message == kFailed) {
        QCOMPARE(shown.icon, ui_prompts::Icon::Exclamation);
        QVERIFY(testkit::ReadFile(Patch()) == before);
        return;
    }
    QCOMPARE(shown.icon, ui_prompts::Icon::Information);
    // The whole file as it was, with only the value between the quotes replaced.
    const auto stored = ArchiveFile(Patch(), kGlobalStrings);
    QVERIFY(stored);
    QVERIFY(*stored == GlobalStringsFdf(typed.toStdString()));
    QVERIFY(ArchiveFile(Patch(), kMenuModel) == Model());
    QCOMPARE(Find<QLineEdit>("txtLanGameName")->text(), typed);
}

void HandlersTest::cursorRace_data() {
    QTest::addColumn<QString>("archiveRace");
    QTest::addColumn<QString>("chosen"); // option button clicked; empty: none
    QTest::addColumn<QString>("message");
    QTest::addColumn<QString>("storedRace"); // empty: the archive stays as it was
    QTest::newRow("Human becomes Orc") << "Human"
                                       << "optMouseOrc" << kCompleted << "Orc";
    QTest::newRow("Orc becomes Night Elf") << "Orc"
                                           << "optMouseNightElf" << kCompleted << "NightElf";
    QTest::newRow("Undead becomes Human") << "Undead"
                                          << "optMouseHuman" << kCompleted << "Human";
    QTest::newRow("the same race is written again") << "NightElf"
                                                    << "" << kCompleted << "NightElf";
    QTest::newRow("a longer unknown word is replaced whole") << "Goblin"
                                                             << "optMouseUndead" << kCompleted << "Undead";
    QTest::newRow("no race selected") << "Goblin"
                                      << "" << kFailed << "";
}

void HandlersTest::cursorRace() {
    QFETCH(QString, archiveRace);
    QFETCH(QString, chosen);
    QFETCH(QString, message);
    QFETCH(QString, storedRace);
    BuildGameArchive(Patch(), {"x", archiveRace.toStdString(), {}});
    const auto before = testkit::ReadFile(Patch());
    Start();
    if (!chosen.isEmpty())
        QTest::mouseClick(Find<QRadioButton>(chosen.toLatin1().constData()), Qt::LeftButton);
    Click("btnDoModificationForMouse");

    const ui_prompts::MessageRecord shown = OnlyMessage();
    QCOMPARE(shown.title, QStringLiteral("Ostrawen"));
    QCOMPARE(shown.text, message);
    QCOMPARE(shown.buttons, ui_prompts::Buttons::Ok);
    QCOMPARE(shown.icon, message == kFailed ? ui_prompts::Icon::Exclamation : ui_prompts::Icon::Information);
    if (storedRace.isEmpty())
        QVERIFY(testkit::ReadFile(Patch()) == before);
    else
        QVERIFY(ArchiveFile(Patch(), kSkins) == War3SkinsTxt(storedRace.toStdString()));
}

void HandlersTest::resource_data() {
    QTest::addColumn<bool>("extract");
    QTest::addColumn<bool>("remove");
    QTest::addColumn<bool>("inArchive");
    QTest::addColumn<QString>("destination"); // "file" existing disk file, "new" a fresh path, "" empty box
    QTest::addColumn<QString>("message");
    QTest::addColumn<QString>("result"); // "extracted", "deleted", "replaced", "unchanged"
    QTest::newRow("extract over an existing file") << true << false << true << "file" << kSucceeded << "extracted";
    QTest::newRow("extract to a new file") << true << false << true << "new" << kSucceeded << "extracted";
    QTest::newRow("extract a resource the archive lacks") << true << false << false << "new" << kFailed << "unchanged";
    QTest::newRow("extract wins over delete") << true << true << true << "new" << kSucceeded << "extracted";
    QTest::newRow("delete") << false << true << true << "" << kSucceeded << "deleted";
    QTest::newRow("delete what is not there") << false << true << false << "" << kSucceeded << "unchanged";
    QTest::newRow("replace") << false << false << true << "file" << kSucceeded << "replaced";
    QTest::newRow("replace adds a missing resource") << false << false << false << "file" << kSucceeded << "replaced";
    QTest::newRow("replace from an empty box") << false << false << true << "" << kFailed << "unchanged";
    QTest::newRow("replace from a missing file") << false << false << true << "new" << kFailed << "unchanged";
}

void HandlersTest::resource() {
    QFETCH(bool, extract);
    QFETCH(bool, remove);
    QFETCH(bool, inArchive);
    QFETCH(QString, destination);
    QFETCH(QString, message);
    QFETCH(QString, result);

    std::vector<MpqBuilderFile> more{{u"Fonts\\dfst-m3u.ttf", testkit::Bytes("font")}};
    if (inArchive)
        more.push_back({kMenuModel, Model()});
    BuildGameArchive(Patch(), {"x", "Human", more});
    const auto before = testkit::ReadFile(Patch());
    const fs::path diskFile = m_rig->Root() / "我的 模型.mdx";
    const std::vector<std::uint8_t> diskBytes = testkit::Bytes("my own menu model");
    QString path;
    if (destination == QLatin1String("file")) {
        testkit::WriteFile(diskFile, diskBytes);
        path = QString::fromStdString(diskFile.string());
    } else if (destination == QLatin1String("new")) {
        path = QString::fromStdString((m_rig->Root() / "new.mdx").string());
    }

    Start();
    Find<QCheckBox>("chkExtract")->setChecked(extract);
    Find<QCheckBox>("chkDelete")->setChecked(remove);
    Find<QLineEdit>("txtDestForGameModification")->setText(path);
    Click("btnDoModificationForGeneral");

    const ui_prompts::MessageRecord shown = OnlyMessage();
    QCOMPARE(shown.title, QStringLiteral("Ostrawen"));
    QCOMPARE(shown.text, message);
    QCOMPARE(shown.icon, message == kFailed ? ui_prompts::Icon::Exclamation : ui_prompts::Icon::Information);
    QCOMPARE(shown.buttons, ui_prompts::Buttons::Ok);

    if (result == QLatin1String("extracted")) {
        QVERIFY(testkit::ReadFile(path.toStdString()) == Model());
        QVERIFY(ArchiveFile(Patch(), kMenuModel) == Model());
    } else if (result == QLatin1String("deleted")) {
        QVERIFY(!ArchiveFile(Patch(), kMenuModel));
        QVERIFY(ArchiveFile(Patch(), u"Fonts\\dfst-m3u.ttf") == testkit::Bytes("font"));
    } else if (result == QLatin1String("replaced")) {
        QVERIFY(ArchiveFile(Patch(), kMenuModel) == diskBytes);
        QVERIFY(ArchiveFile(Patch(), kGlobalStrings) == GlobalStringsFdf("x"));
    } else {
        QVERIFY(testkit::ReadFile(Patch()) == before);
        if (destination == QLatin1String("new"))
            QVERIFY(!fs::exists(path.toStdString()));
    }
}

void HandlersTest::resourceFollowsTheChosenItem() {
    BuildGameArchive(Patch(), {"x", "Human", {{kEnglishFont, testkit::Bytes("english font")}, {kMenuModel, Model()}}});
    Start();
    // Straight after start-up the last item is the one acted on.
    const fs::path out = m_rig->Root() / "out.bin";
    Find<QCheckBox>("chkExtract")->setChecked(true);
    Find<QLineEdit>("txtDestForGameModification")->setText(QString::fromStdString(out.string()));
    Click("btnDoModificationForGeneral");
    QCOMPARE(OnlyMessage().text, kSucceeded);
    QVERIFY(testkit::ReadFile(out) == Model());

    ChooseFromPopup(Find<QComboBox>("cboItemToModify"), QStringLiteral("游戏字体 (英文)"));
    Click("btnDoModificationForGeneral");
    QCOMPARE(OnlyMessage().text, kSucceeded);
    QVERIFY(testkit::ReadFile(out) == testkit::Bytes("english font"));
}

void HandlersTest::browse_data() {
    QTest::addColumn<bool>("extract");
    QTest::addColumn<QString>("item");
    QTest::addColumn<bool>("confirmed");
    QTest::addColumn<QStringList>("filters");
    const QStringList models{QStringLiteral("模型文件 (*.mdx)"), QStringLiteral("所有文件 (*.*)")};
    const QStringList fonts{QStringLiteral("字体文件 (*.ttf)"), QStringLiteral("所有文件 (*.*)")};
    const QStringList music{QStringLiteral("背景音乐文件 (*.mp3)"), QStringLiteral("所有文件 (*.*)")};
    QTest::newRow("open a model") << false << QStringLiteral("界面背景 (冰封王座)") << true << models;
    QTest::newRow("save a font") << true << QStringLiteral("游戏字体 (英文)") << true << fonts;
    QTest::newRow("save music") << true << QStringLiteral("背景音乐 (混乱之治)") << true << music;
    QTest::newRow("cancelled open empties the box") << false << QStringLiteral("游戏字体 (简体中文)") << false << fonts;
}

void HandlersTest::browse() {
    QFETCH(bool, extract);
    QFETCH(QString, item);
    QFETCH(bool, confirmed);
    QFETCH(QStringList, filters);
    Start();
    ChooseFromPopup(Find<QComboBox>("cboItemToModify"), item);
    Find<QCheckBox>("chkExtract")->setChecked(extract);
    auto* box = Find<QLineEdit>("txtDestForGameModification");
    box->setText(QStringLiteral("typed before"));
    const QString chosen = QString::fromStdString((m_rig->Root() / "选择.bin").string());
    ui_prompts::SetNextFileDialogResult(confirmed ? std::optional<QString>(chosen) : std::nullopt);

    QTest::mouseClick(Find<QPushButton>("btnBrowserForModificationDest"), Qt::LeftButton);

    const QList<ui_prompts::FileDialogRequest> dialogs = ui_prompts::TakeShownFileDialogs();
    QCOMPARE(dialogs.size(), 1);
    QCOMPARE(dialogs[0].kind, extract ? ui_prompts::FileDialogKind::Save : ui_prompts::FileDialogKind::Open);
    QCOMPARE(dialogs[0].nameFilters, filters);
    QCOMPARE(box->text(), confirmed ? chosen : QString());
    QVERIFY(ui_prompts::TakeShownMessages().isEmpty());
}

void HandlersTest::compressAnsweredNoTouchesNothing() {
    // No archive at all: had the handler gone on, the compaction would have reported an error.
    Start();
    ui_prompts::SetNextAnswer(ui_prompts::Answer::No);
    Click("btnCompressMpq");
    const QList<ui_prompts::MessageRecord> messages = ui_prompts::TakeShownMessages();
    QCOMPARE(messages.size(), 1);
    QCOMPARE(messages[0].title, QStringLiteral("Ostrawen"));
    QCOMPARE(messages[0].text, QStringLiteral("压缩 MPQ 将会花费较长时间, 确认执行?"));
    QCOMPARE(messages[0].icon, ui_prompts::Icon::Question);
    QCOMPARE(messages[0].buttons, ui_prompts::Buttons::YesNo);
    QVERIFY(!fs::exists(Patch()));
}

void HandlersTest::compressAnsweredYes() {
    BuildGameArchive(Patch(), {"名字", "Orc", {{kMenuModel, Model()}}});
    Start();
    // Leave some garbage behind first: a replaced resource.
    Find<QLineEdit>("txtDestForGameModification")->setText(QString::fromStdString((m_rig->Root() / "m").string()));
    testkit::WriteFile(m_rig->Root() / "m", "small model");
    Click("btnDoModificationForGeneral");
    QCOMPARE(OnlyMessage().text, kSucceeded);

    ui_prompts::SetNextAnswer(ui_prompts::Answer::Yes);
    Click("btnCompressMpq");
    const QList<ui_prompts::MessageRecord> messages = ui_prompts::TakeShownMessages();
    QCOMPARE(messages.size(), 2);
    QCOMPARE(messages[0].icon, ui_prompts::Icon::Question);
    QCOMPARE(messages[1].title, QStringLiteral("Ostrawen"));
    QCOMPARE(messages[1].text, kSucceeded);
    QCOMPARE(messages[1].icon, ui_prompts::Icon::Information);
    QCOMPARE(messages[1].buttons, ui_prompts::Buttons::Ok);
    // Every file reads back as before, and the other buttons go on working on the compacted archive.
    QVERIFY(ArchiveFile(Patch(), kMenuModel) == testkit::Bytes("small model"));
    QVERIFY(ArchiveFile(Patch(), kGlobalStrings) == GlobalStringsFdf("名字"));
    Find<QLineEdit>("txtLanGameName")->setText(QStringLiteral("压缩之后"));
    Click("btnDoModificationForLanGameName");
    QCOMPARE(OnlyMessage().text, kSucceeded);
    QVERIFY(ArchiveFile(Patch(), kGlobalStrings) == GlobalStringsFdf("压缩之后"));
}

void HandlersTest::compressMissingArchive() {
    Start();
    ui_prompts::SetNextAnswer(ui_prompts::Answer::Yes);
    Click("btnCompressMpq");
    const QList<ui_prompts::MessageRecord> messages = ui_prompts::TakeShownMessages();
    QCOMPARE(messages.size(), 2);
    QCOMPARE(messages[1].text, kFailed);
    QCOMPARE(messages[1].icon, ui_prompts::Icon::Exclamation);
    QVERIFY(!fs::exists(Patch()));
}

QTEST_MAIN(HandlersTest)
#include "frm_main_handlers_test.moc"
