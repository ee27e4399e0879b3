// What the real open dialog lists under each file type: "*.*" lists every file, names without a dot
// included, as on Windows; other patterns list what they name; the file type texts stay as given.
#include "real_file_dialog.h"

#include "testkit/temp_dir.h"

#include <QComboBox>
#include <QFileSystemModel>
#include <QTest>

using namespace window_test;

namespace {

// The names the dialog's list holds for its current folder, sorted.
QStringList Listed(QFileDialog& dialog) {
    auto* model = dialog.findChild<QFileSystemModel*>();
    if (model == nullptr)
        return {};
    const QModelIndex folder = model->index(dialog.directory().absolutePath());
    QStringList names;
    for (int row = 0; row < model->rowCount(folder); ++row)
        names << model->index(row, 0, folder).data().toString();
    names.sort();
    return names;
}

} // namespace

class FileDialogFilterTest : public QObject {
    Q_OBJECT

private slots:
    void listsWhatTheFilterNames_data() {
        QTest::addColumn<QStringList>("filters");
        QTest::addColumn<int>("chosen"); // which file type the user picks from the list (0: as opened)
        QTest::addColumn<QStringList>("expected");
        const QString music = QStringLiteral("背景音乐文件 (*.mp3)");
        const QString all = QStringLiteral("所有文件 (*.*)");
        const QStringList everything{"a.mp3", "b.txt", "folder", "menu_music"};
        QTest::newRow("music, as the dialog opens") << QStringList{music, all} << 0 << QStringList{"a.mp3", "folder"};
        QTest::newRow("all files picked from the list") << QStringList{music, all} << 1 << everything;
        QTest::newRow("all files, as the dialog opens") << QStringList{all, music} << 0 << everything;
        QTest::newRow("music picked back after all files")
            << QStringList{all, music} << 1 << QStringList{"a.mp3", "folder"};
        QTest::newRow("a pattern with a dot keeps wanting it")
            << QStringList{QStringLiteral("文本 (*.txt *.mp3)")} << 0 << QStringList{"a.mp3", "b.txt", "folder"};
    }

    void listsWhatTheFilterNames() {
        QFETCH(QStringList, filters);
        QFETCH(int, chosen);
        QFETCH(QStringList, expected);
        testkit::TempDir directory;
        for (const char* name : {"a.mp3", "b.txt", "menu_music"})
            testkit::WriteFile(directory.path() / name, "x");
        std::filesystem::create_directories(directory.path() / "folder");

        ui_prompts::FileDialogRequest request;
        request.nameFilters = filters;
        request.directory = QString::fromStdU16String(directory.path().u16string());
        QStringList listed;
        QStringList types;
        WithRealOpenDialog(request, [&](QFileDialog& dialog) {
            auto* typeList = dialog.findChild<QComboBox*>(QStringLiteral("fileTypeCombo"));
            if (typeList == nullptr)
                return;
            for (int i = 0; i < typeList->count(); ++i)
                types << typeList->itemText(i);
            // Picked as a user picks: with the keyboard on the focused list.
            typeList->setFocus();
            for (int step = 0; step < chosen; ++step)
                QTest::keyClick(typeList, Qt::Key_Down);
            // The folder is read in the background.
            (void)QTest::qWaitFor([&] { return Listed(dialog) == expected; }, 5000);
            listed = Listed(dialog);
        });
        QCOMPARE(types, filters);
        QCOMPARE(listed, expected);
    }
};

QTEST_MAIN(FileDialogFilterTest)
#include "file_dialog_filter_test.moc"
