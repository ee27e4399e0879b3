// Qt's own texts in Chinese once the compiled-in catalogue is installed, as the program's start-up
// does: the real file dialog and the text boxes' context menu (the message boxes' captions are
// checked with the message boxes).
#include "real_file_dialog.h"

#include "app/qt_translations.h"

#include <QDialogButtonBox>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QPushButton>
#include <QTest>

#include <memory>

using namespace window_test;

namespace {

bool HasChinese(const QString& text) {
    for (const QChar c : text) {
        if (c.unicode() >= 0x4E00 && c.unicode() <= 0x9FFF)
            return true;
    }
    return false;
}

} // namespace

class QtTranslationsTest : public QObject {
    Q_OBJECT

private slots:
    void initTestCase() { QVERIFY(qt_translations::InstallChineseQtTranslations()); }

    void fileDialogSpeaksChinese_data() {
        QTest::addColumn<QString>("widget");
        QTest::addColumn<QString>("english");
        QTest::newRow("Look in") << "lookInLabel"
                                 << "Look in:";
        QTest::newRow("File name") << "fileNameLabel"
                                   << "File &name:";
        QTest::newRow("Files of type") << "fileTypeLabel"
                                       << "Files of type:";
        QTest::newRow("Open button") << "Open"
                                     << "&Open";
        QTest::newRow("Cancel button") << "Cancel"
                                       << "Cancel";
    }

    void fileDialogSpeaksChinese() {
        QFETCH(QString, widget);
        QFETCH(QString, english);
        ui_prompts::FileDialogRequest request;
        request.nameFilters = {QStringLiteral("背景音乐文件 (*.mp3)"), QStringLiteral("所有文件 (*.*)")};
        QString shown;
        WithRealOpenDialog(request, [&](QFileDialog& dialog) {
            if (auto* label = dialog.findChild<QLabel*>(widget)) {
                shown = label->text();
            } else if (auto* box = dialog.findChild<QDialogButtonBox*>(QStringLiteral("buttonBox"))) {
                const auto role = widget == QLatin1String("Open") ? QDialogButtonBox::Open : QDialogButtonBox::Cancel;
                if (QPushButton* button = box->button(role))
                    shown = button->text();
            }
            SaveScreenshot(dialog, QStringLiteral("file-dialog"));
        });
        QVERIFY2(!shown.isEmpty(), qPrintable(widget));
        QVERIFY2(shown != english, qPrintable(shown));
        QVERIFY2(HasChinese(shown), qPrintable(shown));
    }

    void contextMenuSpeaksChinese_data() {
        QTest::addColumn<QString>("english");
        QTest::newRow("Undo") << "&Undo";
        QTest::newRow("Cut") << "Cu&t";
        QTest::newRow("Copy") << "&Copy";
        QTest::newRow("Paste") << "&Paste";
        QTest::newRow("Delete") << "Delete";
        QTest::newRow("Select All") << "Select All";
    }

    void contextMenuSpeaksChinese() {
        QFETCH(QString, english);
        QLineEdit text;
        text.setText(QStringLiteral("局域网"));
        const std::unique_ptr<QMenu> menu(text.createStandardContextMenu());
        QStringList entries;
        for (const QAction* action : menu->actions()) {
            if (!action->isSeparator())
                entries << action->text().section(QLatin1Char('\t'), 0, 0);
        }
        // Every entry is translated; the English one is nowhere.
        QVERIFY2(!entries.contains(english), qPrintable(entries.join(QLatin1String(" | "))));
        QVERIFY(!entries.isEmpty());
        for (const QString& entry : entries)
            QVERIFY2(HasChinese(entry), qPrintable(entry));
    }
};

QTEST_MAIN(QtTranslationsTest)
#include "qt_translations_test.moc"
