// clsCommonDialog: the filter's stored form, the open and save dialogs through the prompt wrapper and
// through real Qt dialogs answered by a timer, and the font, colour, print and page-setup outputs.
#include "app/common_dialog.h"
#include "app/qt_translations.h"
#include "app/ui_prompts.h"
#include "screenshot.h"

#include <QAbstractButton>
#include <QColorDialog>
#include <QComboBox>
#include <QDir>
#include <QFileDialog>
#include <QFileSystemModel>
#include <QFontDatabase>
#include <QFontDialog>
#include <QLineEdit>
#include <QLocale>
#include <QMenu>
#include <QMessageBox>
#include <QPageLayout>
#include <QPageSetupDialog>
#include <QPrintDialog>
#include <QPrinter>
#include <QTemporaryDir>
#include <QTimer>
#include <QtTest>

namespace {

const QString kMusicFilter = QStringLiteral("背景音乐文件 (*.mp3)|*.mp3|所有文件 (*.*)|*.*");

QString Nul() {
    return QString(QChar(u'\0'));
}

// Runs action on the next modal widget to open, from inside its own event loop. The watch belongs to
// owner, so a watch whose window never came is gone with the test.
void OnNextModal(QObject* owner, std::function<void(QWidget*)> action) {
    auto* timer = new QTimer(owner);
    timer->setInterval(10);
    QObject::connect(timer, &QTimer::timeout, [timer, action] {
        if (QWidget* modal = QApplication::activeModalWidget()) {
            timer->stop();
            timer->deleteLater();
            action(modal);
        }
    });
    timer->start();
}

// What an open file dialog lists for its folder in one column (0: the names, 2: their kinds), sorted.
QStringList Listed(QWidget* modal, int column = 0) {
    QStringList names;
    auto* model = modal->findChild<QFileSystemModel*>();
    const QModelIndex folder = model->index(qobject_cast<QFileDialog*>(modal)->directory().absolutePath());
    for (int row = 0; row < model->rowCount(folder); ++row)
        names << model->index(row, column, folder).data().toString();
    names.sort();
    return names;
}

// A style of the family that is bold (or not) and slanted, italic or oblique (or not).
std::optional<QString> StyleOf(const QString& family, bool bold, bool italic) {
    for (const QString& style : QFontDatabase::styles(family)) {
        const QFont font = QFontDatabase::font(family, style, 12);
        if ((font.weight() >= QFont::Bold) == bold && font.italic() == italic) {
            return style;
        }
    }
    return std::nullopt;
}

} // namespace

class CommonDialogTest : public QObject {
    Q_OBJECT

private slots:
    // The message boxes' captions come from Qt's Chinese catalogue, installed as the start-up does.
    void initTestCase() { QVERIFY(qt_translations::InstallChineseQtTranslations()); }
    void init() {
        ui_prompts::SetUnattended(true);
        ui_prompts::TakeShownFileDialogs();
        ui_prompts::TakeShownMessages();
        ui_prompts::TakeShownDialogCount();
    }

    void filterIsStoredConverted_data() {
        QTest::addColumn<QString>("given");
        QTest::addColumn<QString>("stored");
        const QString n = Nul();
        QTest::newRow("music filter") << kMusicFilter
                                      << "背景音乐文件 (*.mp3)" + n + "*.mp3" + n + "所有文件 (*.*)" + n + "*.*" + n;
        QTest::newRow("no bar: text and one NUL") << QStringLiteral("*.ttf") << "*.ttf" + n;
        QTest::newRow("empty: one NUL") << QString() << n;
        QTest::newRow("bars at both ends") << QStringLiteral("|a|") << n + "a" + n + n;
        QTest::newRow("doubled bars stay two NULs") << QStringLiteral("a||b") << "a" + n + n + "b" + n;
        QTest::newRow("full-width bar is not a separator") << QStringLiteral("a｜b") << QStringLiteral("a｜b") + n;
    }
    void filterIsStoredConverted() {
        QFETCH(QString, given);
        QFETCH(QString, stored);
        clsCommonDialog dialog;
        dialog.SetFilter(given);
        QCOMPARE(dialog.Filter(), stored);
    }

    void storedFilterReadsBackAsNameFilters_data() {
        QTest::addColumn<QString>("given");
        QTest::addColumn<QStringList>("nameFilters");
        QTest::newRow("music filter keeps its descriptions")
            << kMusicFilter << QStringList{QStringLiteral("背景音乐文件 (*.mp3)"), QStringLiteral("所有文件 (*.*)")};
        QTest::newRow("description without its pattern gets it")
            << QStringLiteral("Text|*.txt") << QStringList{QStringLiteral("Text (*.txt)")};
        QTest::newRow("several patterns become blank-separated")
            << QStringLiteral("Music (*.mp3;*.wav)|*.mp3;*.wav")
            << QStringList{QStringLiteral("Music (*.mp3;*.wav) (*.mp3 *.wav)")};
        QTest::newRow("empty text ends the list")
            << QStringLiteral("a|*.a||b|*.b") << QStringList{QStringLiteral("a (*.a)")};
        QTest::newRow("trailing description dropped")
            << QStringLiteral("a|*.a|b") << QStringList{QStringLiteral("a (*.a)")};
        QTest::newRow("no bar lists nothing") << QStringLiteral("*.ttf") << QStringList{};
        QTest::newRow("empty lists nothing") << QString() << QStringList{};
    }
    void storedFilterReadsBackAsNameFilters() {
        QFETCH(QString, given);
        QFETCH(QStringList, nameFilters);
        clsCommonDialog dialog;
        dialog.SetFilter(given);
        QCOMPARE(clsCommonDialog::NameFiltersFromStoredFilter(dialog.Filter()), nameFilters);
    }

    void fileDialogSetsNamesOnlyOnConfirmation_data() {
        QTest::addColumn<bool>("save");
        QTest::newRow("open") << false;
        QTest::newRow("save") << true;
    }
    void fileDialogSetsNamesOnlyOnConfirmation() {
        QFETCH(bool, save);
        clsCommonDialog dialog;
        dialog.SetFilter(kMusicFilter);
        const auto show = [&] { return save ? dialog.ShowSave() : dialog.ShowOpen(); };
        const QString chosen = QDir::temp().filePath(QStringLiteral("my music/主 题.mp3"));

        ui_prompts::SetNextFileDialogResult(chosen);
        QVERIFY(show());
        QCOMPARE(dialog.FileName(), QDir::toNativeSeparators(chosen));
        QCOMPARE(dialog.FileTitle(), QStringLiteral("主 题.mp3"));

        ui_prompts::SetNextFileDialogResult(std::nullopt);
        QVERIFY(!show());
        QCOMPARE(dialog.FileName(), QDir::toNativeSeparators(chosen));
        QCOMPARE(dialog.FileTitle(), QStringLiteral("主 题.mp3"));

        const QList<ui_prompts::FileDialogRequest> requests = ui_prompts::TakeShownFileDialogs();
        QCOMPARE(requests.size(), 2);
        for (const auto& request : requests) {
            QCOMPARE(request.kind, save ? ui_prompts::FileDialogKind::Save : ui_prompts::FileDialogKind::Open);
            QCOMPARE(request.nameFilters,
                     (QStringList{QStringLiteral("背景音乐文件 (*.mp3)"), QStringLiteral("所有文件 (*.*)")}));
        }
    }

    // The real Qt dialog: the open dialog takes a name that does not exist, the save dialog replaces an
    // existing file without a question, and the first filter is the selected one.
    void realFileDialogAcceptsAtOnce_data() {
        QTest::addColumn<bool>("save");
        QTest::addColumn<bool>("existing");
        QTest::newRow("open, name that does not exist") << false << false;
        QTest::newRow("save over an existing file") << true << true;
    }
    void realFileDialogAcceptsAtOnce() {
        QFETCH(bool, save);
        QFETCH(bool, existing);
        QTemporaryDir dir;
        QVERIFY(dir.isValid());
        const QString target = dir.filePath(QStringLiteral("Mainscreen.mp3"));
        if (existing) {
            QFile file(target);
            QVERIFY(file.open(QIODevice::WriteOnly));
            file.write("old");
        }
        ui_prompts::SetUnattended(false);
        QObject watches;
        bool sawQuestion = false;
        QStringList shownFilters;
        QString selectedFilter, shownTitle, shownDirectory;
        OnNextModal(&watches, [&](QWidget* modal) {
            auto* fileDialog = qobject_cast<QFileDialog*>(modal);
            if (fileDialog == nullptr) {
                modal->close();
                return;
            }
            shownFilters = fileDialog->nameFilters();
            selectedFilter = fileDialog->selectedNameFilter();
            shownTitle = fileDialog->windowTitle();
            shownDirectory = fileDialog->directory().absolutePath();
            // A question about replacing the file would be the next modal window.
            // Anything modal after that (a question, a "file not found" notice, or the dialog itself
            // still open because it refused the name) is declined, so that the test fails, not hangs.
            OnNextModal(&watches, [&, fileDialog](QWidget* question) {
                sawQuestion = qobject_cast<QMessageBox*>(question) != nullptr;
                if (auto* other = qobject_cast<QDialog*>(question)) {
                    other->reject();
                }
                if (question != fileDialog) {
                    QMetaObject::invokeMethod(fileDialog, "reject", Qt::QueuedConnection);
                }
            });
            // Typed, as a user would: choosing the file in the list depends on the directory having been read.
            auto* nameEdit = fileDialog->findChild<QLineEdit*>(QStringLiteral("fileNameEdit"));
            QVERIFY(nameEdit != nullptr);
            nameEdit->setText(target);
            static_cast<QDialog*>(fileDialog)->accept(); // through QDialog: the override is protected
        });
        clsCommonDialog dialog;
        dialog.SetFilter(kMusicFilter);
        dialog.SetInitDir(dir.path());
        dialog.SetDialogTitle(QStringLiteral("选择文件"));
        const bool confirmed = save ? dialog.ShowSave() : dialog.ShowOpen();
        ui_prompts::SetUnattended(true);
        QVERIFY(confirmed);
        QVERIFY(!sawQuestion);
        QCOMPARE(dialog.FileName(), QDir::toNativeSeparators(target));
        QCOMPARE(dialog.FileTitle(), QStringLiteral("Mainscreen.mp3"));
        QCOMPARE(shownFilters, (QStringList{QStringLiteral("背景音乐文件 (*.mp3)"), QStringLiteral("所有文件 (*.*)")}));
        QCOMPARE(selectedFilter, QStringLiteral("背景音乐文件 (*.mp3)"));
        QCOMPARE(shownTitle, QStringLiteral("选择文件"));
        QCOMPARE(shownDirectory, QDir(dir.path()).absolutePath());
    }

    // Qt's own texts in Chinese: the real file dialog's labels, buttons and kinds of file (a folder, a
    // text file), the text boxes' context menu.
    void qtTextsInChinese() {
        QTemporaryDir dir;
        QVERIFY(QDir(dir.path()).mkdir(QStringLiteral("folder")) &&
                QFile(dir.filePath(QStringLiteral("notes.txt"))).open(QIODevice::WriteOnly));
        QStringList texts;
        ui_prompts::SetUnattended(false);
        QObject watches;
        OnNextModal(&watches, [&](QWidget* modal) {
            for (const auto label : {QFileDialog::LookIn, QFileDialog::FileName, QFileDialog::FileType,
                                     QFileDialog::Accept, QFileDialog::Reject})
                texts << qobject_cast<QFileDialog*>(modal)->labelText(label);
            (void)QTest::qWaitFor([&] { return Listed(modal, 2).size() == 2; }, 5000); // read in the background
            texts << Listed(modal, 2);
            SaveScreenshot(*modal, QStringLiteral("file-dialog"));
            modal->close();
        });
        (void)ui_prompts::ShowFileDialog(nullptr, {ui_prompts::FileDialogKind::Open, {}, {}, dir.path()});
        ui_prompts::SetUnattended(true);
        QLineEdit edit;
        const std::unique_ptr<QMenu> menu(edit.createStandardContextMenu());
        for (const QAction* action : menu->actions())
            texts << (action->isSeparator() ? QStringLiteral("中") : action->text());
        QVERIFY2(texts.size() > 12, qPrintable(texts.join(QLatin1Char('|'))));
        for (const QString& text : texts)
            QVERIFY2(std::any_of(text.begin(), text.end(), [](QChar c) { return c.script() == QChar::Script_Han; }),
                     qPrintable(text));
    }

    // The real open dialog lists what its file type names, "*.*" every file (names without a dot too,
    // as on Windows), and shows the file types as given.
    void realFileDialogListsWhatTheFilterNames_data() {
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
    void realFileDialogListsWhatTheFilterNames() {
        QFETCH(QStringList, filters);
        QFETCH(int, chosen);
        QFETCH(QStringList, expected);
        QTemporaryDir dir;
        for (const char* name : {"a.mp3", "b.txt", "menu_music"})
            QVERIFY(QFile(dir.filePath(QLatin1String(name))).open(QIODevice::WriteOnly));
        QVERIFY(QDir(dir.path()).mkdir(QStringLiteral("folder")));
        ui_prompts::SetUnattended(false);
        QObject watches;
        QStringList types, listed;
        OnNextModal(&watches, [&](QWidget* modal) {
            auto* typeList = modal->findChild<QComboBox*>(QStringLiteral("fileTypeCombo"));
            for (int i = 0; i < typeList->count(); ++i)
                types << typeList->itemText(i);
            typeList->setFocus(); // picked as a user picks, with the keyboard
            for (int step = 0; step < chosen; ++step)
                QTest::keyClick(typeList, Qt::Key_Down);
            // The folder is read in the background.
            (void)QTest::qWaitFor([&] { return (listed = Listed(modal)) == expected; }, 5000);
            modal->close();
        });
        (void)ui_prompts::ShowFileDialog(nullptr, {ui_prompts::FileDialogKind::Open, filters, {}, dir.path()});
        ui_prompts::SetUnattended(true);
        QCOMPARE(types, filters);
        QCOMPARE(listed, expected);
    }

    void realMessageBox_data() {
        QTest::addColumn<int>("icon");
        QTest::addColumn<int>("buttons");
        QTest::addColumn<int>("press");
        QTest::addColumn<int>("answer");
        using ui_prompts::Answer;
        using ui_prompts::Buttons;
        using ui_prompts::Icon;
        QTest::newRow("information, OK") << int(Icon::Information) << int(Buttons::Ok) << int(Qt::Key_Return)
                                         << int(Answer::Ok);
        QTest::newRow("exclamation, OK") << int(Icon::Exclamation) << int(Buttons::Ok) << int(Qt::Key_Return)
                                         << int(Answer::Ok);
        QTest::newRow("question, Enter takes the default Yes")
            << int(Icon::Question) << int(Buttons::YesNo) << int(Qt::Key_Return) << int(Answer::Yes);
        QTest::newRow("question, Escape is No")
            << int(Icon::Question) << int(Buttons::YesNo) << int(Qt::Key_Escape) << int(Answer::No);
    }
    void realMessageBox() {
        QFETCH(int, icon);
        QFETCH(int, buttons);
        QFETCH(int, press);
        QFETCH(int, answer);
        ui_prompts::SetUnattended(false);
        QObject watches;
        QString title, text;
        QMessageBox::Icon shownIcon = QMessageBox::NoIcon;
        QMessageBox::StandardButtons shownButtons;
        QStringList captions;
        OnNextModal(&watches, [&](QWidget* modal) {
            auto* box = qobject_cast<QMessageBox*>(modal);
            if (box == nullptr) {
                modal->close();
                return;
            }
            title = box->windowTitle();
            text = box->text();
            shownIcon = box->icon();
            shownButtons = box->standardButtons();
            for (QAbstractButton* button : box->buttons())
                captions << button->text();
            QTest::keyClick(box, Qt::Key(press));
        });
        const ui_prompts::Answer got =
            ui_prompts::ShowMessage(nullptr, QStringLiteral("Ostrawen"), QStringLiteral("命令成功完成."),
                                    ui_prompts::Icon(icon), ui_prompts::Buttons(buttons));
        ui_prompts::SetUnattended(true);
        QCOMPARE(int(got), answer);
        QCOMPARE(title, QStringLiteral("Ostrawen"));
        QCOMPARE(text, QStringLiteral("命令成功完成."));
        const QMessageBox::Icon expectedIcon =
            ui_prompts::Icon(icon) == ui_prompts::Icon::Information   ? QMessageBox::Information
            : ui_prompts::Icon(icon) == ui_prompts::Icon::Exclamation ? QMessageBox::Warning
                                                                      : QMessageBox::Question;
        QCOMPARE(shownIcon, expectedIcon);
        const QMessageBox::StandardButtons expectedButtons = ui_prompts::Buttons(buttons) == ui_prompts::Buttons::YesNo
                                                                 ? (QMessageBox::Yes | QMessageBox::No)
                                                                 : QMessageBox::StandardButtons(QMessageBox::Ok);
        QCOMPARE(shownButtons, expectedButtons);
        captions.sort();
        QStringList expectedCaptions = ui_prompts::Buttons(buttons) == ui_prompts::Buttons::YesNo
                                           ? QStringList{QStringLiteral("是(&Y)"), QStringLiteral("否(&N)")}
                                           : QStringList{QStringLiteral("确定")};
        expectedCaptions.sort();
        QCOMPARE(captions, expectedCaptions);
        QVERIFY(ui_prompts::TakeShownMessages().isEmpty()); // only prompts answered in advance are recorded
    }

    void answersInAdvanceAreUsedInOrderAndRecorded() {
        ui_prompts::SetNextAnswer(ui_prompts::Answer::Yes);
        ui_prompts::SetNextAnswer(ui_prompts::Answer::Ok);
        QCOMPARE(
            ui_prompts::ShowMessage(nullptr, "Ostrawen", "q", ui_prompts::Icon::Question, ui_prompts::Buttons::YesNo),
            ui_prompts::Answer::Yes);
        QCOMPARE(
            ui_prompts::ShowMessage(nullptr, "Ostrawen", "m", ui_prompts::Icon::Information, ui_prompts::Buttons::Ok),
            ui_prompts::Answer::Ok);
        // Nothing left in advance: unattended, a question is declined.
        QCOMPARE(ui_prompts::ShowMessage(nullptr, "提示", "w", ui_prompts::Icon::Question, ui_prompts::Buttons::YesNo),
                 ui_prompts::Answer::No);
        const auto shown = ui_prompts::TakeShownMessages();
        QCOMPARE(shown.size(), 3);
        QCOMPARE(shown[0].text, QStringLiteral("q"));
        QCOMPARE(shown[1].icon, ui_prompts::Icon::Information);
        QCOMPARE(shown[2].title, QStringLiteral("提示"));
        QCOMPARE(shown[2].buttons, ui_prompts::Buttons::YesNo);
    }

    void pointsFromTenthsRoundsHalfToEven_data() {
        QTest::addColumn<int>("tenths");
        QTest::addColumn<int>("points");
        QTest::newRow("10.5 -> 10") << 105 << 10;
        QTest::newRow("11.5 -> 12") << 115 << 12;
        QTest::newRow("12.5 -> 12") << 125 << 12;
        QTest::newRow("10.4 -> 10") << 104 << 10;
        QTest::newRow("10.6 -> 11") << 106 << 11;
        QTest::newRow("12.0 -> 12") << 120 << 12;
        QTest::newRow("0.5 -> 0") << 5 << 0;
        QTest::newRow("72.0 -> 72") << 720 << 72;
    }
    void pointsFromTenthsRoundsHalfToEven() {
        QFETCH(int, tenths);
        QFETCH(int, points);
        QCOMPARE(clsCommonDialog::PointsFromTenths(tenths), points);
    }

    // Qt's font dialog offers the sizes and styles of the fonts on the machine, so the rows choose among
    // those; the rounding of half points is covered above.
    void fontDialogOutputs_data() {
        QTest::addColumn<int>("pointSize");
        QTest::addColumn<bool>("bold");
        QTest::addColumn<bool>("italic");
        QTest::addColumn<bool>("underline");
        QTest::addColumn<bool>("strikeOut");
        QTest::addColumn<int>("fontSize");
        QTest::newRow("12 pt regular") << 12 << false << false << false << false << 12;
        QTest::newRow("14 pt bold italic") << 14 << true << true << false << false << 14;
        QTest::newRow("9 pt bold, underlined and struck out") << 9 << true << false << true << true << 9;
        QTest::newRow("above 72 pt held at 72") << 96 << false << false << false << false << 72;
    }
    void fontDialogOutputs() {
        QFETCH(int, pointSize);
        QFETCH(bool, bold);
        QFETCH(bool, italic);
        QFETCH(bool, underline);
        QFETCH(bool, strikeOut);
        QFETCH(int, fontSize);
        QString family;
        std::optional<QString> style;
        for (const QString& candidate : QFontDatabase::families()) {
            if (QFontDatabase::isSmoothlyScalable(candidate) && (style = StyleOf(candidate, bold, italic))) {
                family = candidate;
                break;
            }
        }
        if (!style) {
            QSKIP("no font on this machine has the wanted style");
        }
        clsCommonDialog dialog;
        QFont initial;
        ui_prompts::SetNextDialogAction([&](QDialog& shown) {
            auto& fontDialog = dynamic_cast<QFontDialog&>(shown);
            initial = fontDialog.currentFont();
            QFont chosen = QFontDatabase::font(family, *style, pointSize);
            chosen.setUnderline(underline);
            chosen.setStrikeOut(strikeOut);
            fontDialog.setCurrentFont(chosen);
            return true;
        });
        QVERIFY(dialog.ShowFont());
        QCOMPARE(initial.pointSize(), 12);
        QCOMPARE(initial.weight(), QFont::Normal);
        QVERIFY(!initial.italic());
        QCOMPARE(dialog.FontName(), family);
        QCOMPARE(dialog.FontSize(), fontSize);
        QCOMPARE(dialog.FontBlob(), bold);
        QCOMPARE(dialog.Italic(), italic);
        QCOMPARE(dialog.Underline(), underline);
        QCOMPARE(dialog.StrikeOut(), strikeOut);
        QCOMPARE(dialog.FontColor(), 0);
        QCOMPARE(dialog.CharSet(), 1);

        // Cancelled: every output stays.
        ui_prompts::SetNextDialogAction([](QDialog& shown) {
            dynamic_cast<QFontDialog&>(shown).setCurrentFont(QFont(QStringLiteral("Serif"), 30));
            return false;
        });
        QVERIFY(!dialog.ShowFont());
        QCOMPARE(dialog.FontName(), family);
        QCOMPARE(dialog.FontSize(), fontSize);
        QCOMPARE(dialog.FontBlob(), bold);
        QCOMPARE(dialog.Italic(), italic);
    }

    void colorDialogStartsBlackAndPacksRgb() {
        clsCommonDialog dialog;
        QColor initial;
        ui_prompts::SetNextDialogAction([&](QDialog& shown) {
            auto& colorDialog = dynamic_cast<QColorDialog&>(shown);
            initial = colorDialog.currentColor();
            colorDialog.setCurrentColor(QColor(0x12, 0x34, 0x56));
            return true;
        });
        QVERIFY(dialog.ShowColor());
        QCOMPARE(initial, QColor(0, 0, 0));
        QCOMPARE(dialog.Color(), 0x563412);
        for (int i = 0; i < QColorDialog::customCount(); ++i) {
            QCOMPARE(QColorDialog::customColor(i), QColor(0, 0, 0));
        }
        ui_prompts::SetNextDialogAction([](QDialog& shown) {
            dynamic_cast<QColorDialog&>(shown).setCurrentColor(Qt::white);
            return false;
        });
        QVERIFY(!dialog.ShowColor());
        QCOMPARE(dialog.Color(), 0x563412);
    }

    void printDialogTakesSixteenBitPagesAndReturnsChoice() {
        clsCommonDialog dialog;
        dialog.SetMinPage(0x10001); // 1 as a 16-bit value
        dialog.SetMaxPage(9);
        dialog.SetFromPage(2);
        dialog.SetToPage(3);
        dialog.SetCopies(1);
        int shownMin = -1, shownMax = -1, shownFrom = -1, shownTo = -1;
        ui_prompts::SetNextDialogAction([&](QDialog& shown) {
            auto& printDialog = dynamic_cast<QPrintDialog&>(shown);
            shownMin = printDialog.minPage();
            shownMax = printDialog.maxPage();
            shownFrom = printDialog.printer()->fromPage();
            shownTo = printDialog.printer()->toPage();
            printDialog.printer()->setFromTo(4, 7);
            printDialog.printer()->setCopyCount(3);
            return true;
        });
        QVERIFY(dialog.ShowPrint());
        QCOMPARE(shownMin, 1);
        QCOMPARE(shownMax, 9);
        QCOMPARE(shownFrom, 2);
        QCOMPARE(shownTo, 3);
        QCOMPARE(dialog.FromPage(), 4);
        QCOMPARE(dialog.ToPage(), 7);
        QCOMPARE(dialog.Copies(), 3);
        QCOMPARE(dialog.MinPage(), 1);
        QCOMPARE(dialog.MaxPage(), 9);

        ui_prompts::SetNextDialogAction([](QDialog&) { return false; });
        QVERIFY(!dialog.ShowPrint());
        QCOMPARE(dialog.FromPage(), 4);
        QCOMPARE(dialog.Copies(), 3);
    }

    void pageSetupGivesPaperAndMargins() {
        clsCommonDialog dialog;
        ui_prompts::SetNextDialogAction([](QDialog& shown) {
            auto& setup = dynamic_cast<QPageSetupDialog&>(shown);
            setup.printer()->setPageLayout(QPageLayout(QPageSize(QPageSize::A4), QPageLayout::Landscape,
                                                       QMarginsF(10, 20, 30, 40), QPageLayout::Millimeter));
            return true;
        });
        QVERIFY(dialog.ShowPageSetup());
        // Hundredths of a millimetre under a metric locale, thousandths of an inch otherwise.
        const bool metric = QLocale::system().measurementSystem() == QLocale::MetricSystem;
        const auto units = [metric](double mm) { return qRound(metric ? mm * 100.0 : mm / 25.4 * 1000.0); };
        QVERIFY(qAbs(dialog.PaperWidth() - units(297)) <= 2);
        QVERIFY(qAbs(dialog.PaperHeight() - units(210)) <= 2);
        QVERIFY(qAbs(dialog.MarginLeft() - units(10)) <= 2);
        QVERIFY(qAbs(dialog.MarginTop() - units(20)) <= 2);
        QVERIFY(qAbs(dialog.MarginRight() - units(30)) <= 2);
        QVERIFY(qAbs(dialog.MarginBottom() - units(40)) <= 2);
    }

    void findAndReplaceShowNothing() {
        clsCommonDialog dialog;
        QVERIFY(!dialog.ShowFind());
        QVERIFY(!dialog.ShowReplace());
        QCOMPARE(ui_prompts::TakeShownDialogCount(), 0);
        QVERIFY(ui_prompts::TakeShownFileDialogs().isEmpty());
    }

    void unattendedDialogsAreRejected() {
        clsCommonDialog dialog;
        QVERIFY(!dialog.ShowOpen());
        QVERIFY(!dialog.ShowSave());
        QCOMPARE(ui_prompts::TakeShownFileDialogs().size(), 2);
        QVERIFY(!dialog.ShowColor());
        QVERIFY(!dialog.ShowFont());
        QVERIFY(!dialog.ShowPrint());
        QVERIFY(!dialog.ShowPageSetup());
        QCOMPARE(ui_prompts::TakeShownDialogCount(), 4);
        QCOMPARE(dialog.FontSize(), 0);
        QCOMPARE(dialog.Color(), 0);
    }
};

QTEST_MAIN(CommonDialogTest)
#include "common_dialog_test.moc"
