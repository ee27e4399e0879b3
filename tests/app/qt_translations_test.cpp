// Qt's own texts in Chinese once the compiled-in catalogue is installed, as the program's start-up
// does: the real file dialog and the text boxes' context menu.
#include "real_file_dialog.h"

#include "app/qt_translations.h"

#include <QDialogButtonBox>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMessageBox>
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

    void messageBoxButtonsAsOnWindows_data() {
        QTest::addColumn<int>("buttons");
        QTest::addColumn<QStringList>("captions");
        QTest::newRow("Yes and No") << int(ui_prompts::Buttons::YesNo) << QStringList{"是(&Y)", "否(&N)"};
        QTest::newRow("OK") << int(ui_prompts::Buttons::Ok) << QStringList{"确定"};
    }

    // The captions a Chinese Windows gives these buttons, from Qt's own catalogue.
    void messageBoxButtonsAsOnWindows() {
        QFETCH(int, buttons);
        QFETCH(QStringList, captions);
        ui_prompts::SetUnattended(false);
        QStringList shown;
        QTimer poll;
        poll.setInterval(10);
        QObject::connect(&poll, &QTimer::timeout, [&] {
            auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
            if (box == nullptr || !box->isVisible())
                return;
            poll.stop();
            for (QAbstractButton* button : box->buttons())
                shown << button->text();
            box->done(0);
        });
        poll.start();
        (void)ui_prompts::ShowMessage(nullptr, QStringLiteral("Ostrawen"), QStringLiteral("命令成功完成."),
                                      ui_prompts::Icon::Information, static_cast<ui_prompts::Buttons>(buttons));
        ui_prompts::SetUnattended(true);
        shown.sort();
        captions.sort();
        QCOMPARE(shown, captions);
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
