// Qt's own widgets in Chinese once the start-up installs the catalogue; the real open dialog lists what
// its file type names, "*.*" every file (names without a dot too, as on Windows), the types as given.
#include "app/qt_translations.h"
#include "app/ui_prompts.h"
#include "testkit/temp_dir.h"

#include <QAbstractButton>
#include <QComboBox>
#include <QDialogButtonBox>
#include <QFileDialog>
#include <QFileSystemModel>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QTest>
#include <QTimer>

#include <functional>

namespace {

// Shows the program's real open dialog, calls `inspect` from inside its modal loop, then cancels it.
void WithRealOpenDialog(const ui_prompts::FileDialogRequest& request,
                        const std::function<void(QFileDialog&)>& inspect) {
    ui_prompts::SetUnattended(false);
    QTimer::singleShot(0, [&] {
        if (auto* dialog = qobject_cast<QFileDialog*>(QApplication::activeModalWidget())) {
            inspect(*dialog);
            dialog->reject();
        }
    });
    (void)ui_prompts::ShowFileDialog(nullptr, request);
    ui_prompts::SetUnattended(true);
}

// The names the dialog lists for its folder, sorted.
QStringList Listed(QFileDialog& dialog) {
    QStringList names;
    auto* model = dialog.findChild<QFileSystemModel*>();
    const QModelIndex folder = model->index(dialog.directory().absolutePath());
    for (int row = 0; row < model->rowCount(folder); ++row)
        names << model->index(row, 0, folder).data().toString();
    names.sort();
    return names;
}

} // namespace

class QtWidgetsTest : public QObject {
    Q_OBJECT

private slots:
    void initTestCase() { QVERIFY(qt_translations::InstallChineseQtTranslations()); }

    // The dialog's labels and buttons, and the text boxes' context menu.
    void speaksChinese() {
        QStringList texts;
        WithRealOpenDialog({}, [&](QFileDialog& dialog) {
            for (const QLabel* label : dialog.findChildren<QLabel*>(QRegularExpression(QStringLiteral("Label$"))))
                texts << label->text();
            for (const QAbstractButton* button : dialog.findChild<QDialogButtonBox*>()->buttons())
                texts << button->text();
        });
        QLineEdit edit;
        const std::unique_ptr<QMenu> menu(edit.createStandardContextMenu());
        for (const QAction* action : menu->actions())
            texts << (action->isSeparator() ? QStringLiteral("中") : action->text());
        QVERIFY2(texts.size() > 10, qPrintable(texts.join(QLatin1Char('|'))));
        for (const QString& text : texts)
            QVERIFY2(std::any_of(text.begin(), text.end(), [](QChar c) { return c.script() == QChar::Script_Han; }),
                     qPrintable(text));
    }

    void listsWhatTheFilterNames_data() {
        QTest::addColumn<QStringList>("filters");
        QTest::addColumn<int>("chosen"); // the file type picked from the list (0: as the dialog opens)
        QTest::addColumn<QStringList>("expected");
        const QString music = QStringLiteral("背景音乐文件 (*.mp3)");
        const QString all = QStringLiteral("所有文件 (*.*)");
        const QStringList everything{"a.mp3", "b.txt", "folder", "menu_music"};
        QTest::newRow("music, as the dialog opens") << QStringList{music, all} << 0 << QStringList{"a.mp3", "folder"};
        QTest::newRow("all files picked") << QStringList{music, all} << 1 << everything;
        QTest::newRow("all files, as the dialog opens") << QStringList{all, music} << 0 << everything;
        QTest::newRow("music picked back") << QStringList{all, music} << 1 << QStringList{"a.mp3", "folder"};
        QTest::newRow("two patterns") << QStringList{"文本 (*.txt *.mp3)"} << 0
                                      << QStringList{"a.mp3", "b.txt", "folder"};
    }

    void listsWhatTheFilterNames() {
        QFETCH(QStringList, filters);
        QFETCH(int, chosen);
        QFETCH(QStringList, expected);
        testkit::TempDir directory;
        for (const char* name : {"a.mp3", "b.txt", "menu_music"})
            testkit::WriteFile(directory / name, "x");
        std::filesystem::create_directories(directory / "folder");
        QStringList listed;
        QStringList types;
        const auto pick = [&](QFileDialog& dialog) {
            auto* typeList = dialog.findChild<QComboBox*>(QStringLiteral("fileTypeCombo"));
            for (int i = 0; i < typeList->count(); ++i)
                types << typeList->itemText(i);
            typeList->setFocus(); // picked as a user picks, with the keyboard
            for (int step = 0; step < chosen; ++step)
                QTest::keyClick(typeList, Qt::Key_Down);
            (void)QTest::qWaitFor([&] { return Listed(dialog) == expected; }, 5000); // read in the background
            listed = Listed(dialog);
        };
        WithRealOpenDialog(
            {ui_prompts::FileDialogKind::Open, filters, {}, QString::fromStdU16String(directory.path().u16string())},
            pick);
        QCOMPARE(types, filters);
        QCOMPARE(listed, expected);
    }
};

QTEST_MAIN(QtWidgetsTest)
#include "qt_widgets_test.moc"
