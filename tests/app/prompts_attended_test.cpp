// The program as it runs for a player, on a platform without a screen too: a prompt nobody answered
// in advance is really shown and waits (read here from the active modal window, then closed), and a
// file dialog leaves no settings file behind. This program keeps unattended answering off and
// points HOME and XDG_CONFIG_HOME into a directory of its own before Qt starts.
#include "window_fixture.h"

#include "app/ui_prompts.h"
#include "archive/worker/mpq_worker.h"

#include <QApplication>
#include <QCheckBox>
#include <QFileDialog>
#include <QMessageBox>
#include <QPushButton>
#include <QTest>
#include <QTimer>

#include <functional>

using namespace window_test;

namespace {

fs::path g_home;

fs::path ConfigHome() {
    return g_home / "config";
}

// Files under a directory, recursively.
QStringList FilesUnder(const fs::path& directory) {
    QStringList files;
    std::error_code error;
    for (fs::recursive_directory_iterator it(directory, error), end; !error && it != end; it.increment(error))
        if (it->is_regular_file())
            files << QString::fromStdString(it->path().string());
    return files;
}

// Waits for the next modal window, hands it to `read`, then closes it as a player would (Ok on a
// message box, Cancel on a dialog). Stops by itself after ten seconds.
class ModalCloser : public QObject {
public:
    explicit ModalCloser(std::function<void(QWidget*)> read) : m_read(std::move(read)) {
        connect(&m_timer, &QTimer::timeout, this, [this] {
            QWidget* modal = QApplication::activeModalWidget();
            if (!modal) {
                if (++m_ticks > 500)
                    m_timer.stop();
                return;
            }
            m_timer.stop();
            m_read(modal);
            if (auto* box = qobject_cast<QMessageBox*>(modal))
                box->button(QMessageBox::Ok)->click();
            else if (auto* dialog = qobject_cast<QDialog*>(modal))
                dialog->reject();
        });
        m_timer.start(20);
    }

private:
    std::function<void(QWidget*)> m_read;
    QTimer m_timer;
    int m_ticks = 0;
};

} // namespace

Q_DECLARE_METATYPE(GamePathWarning)

class AttendedTest : public QObject {
    Q_OBJECT

private slots:
    void gameDirectoryWarningIsShownAndWaits_data() {
        QTest::addColumn<GamePathWarning>("warning");
        QTest::newRow("M1") << GamePathWarning::M1;
        QTest::newRow("M2") << GamePathWarning::M2;
    }

    void gameDirectoryWarningIsShownAndWaits() {
        QFETCH(GamePathWarning, warning);
        GameRig rig;
        FrmMain window;
        window.SetGamePathDecider([warning] { return GamePathDecision{u"", warning, GamePathSource::None}; });
        QString title;
        QString text;
        const ModalCloser closer([&](QWidget* modal) {
            if (auto* box = qobject_cast<QMessageBox*>(modal)) {
                title = box->windowTitle();
                text = box->text();
            }
        });
        QVERIFY(!window.Form_Load());
        QCOMPARE(title, QStringLiteral("提示"));
        QCOMPARE(text, Q(GamePathWarningText(warning)));
        // Nothing was answered without being shown.
        QVERIFY(ui_prompts::TakeShownMessages().isEmpty());
    }

    void fileDialogLeavesNoSettingsFile_data() {
        QTest::addColumn<bool>("save");
        QTest::newRow("open") << false;
        QTest::newRow("save") << true;
    }

    void fileDialogLeavesNoSettingsFile() {
        QFETCH(bool, save);
        GameRig rig;
        auto window = rig.Start();
        QVERIFY(window);
        window->findChild<QCheckBox*>(QStringLiteral("chkExtract"))->setChecked(save);
        bool shown = false;
        const ModalCloser closer([&](QWidget* modal) { shown = qobject_cast<QFileDialog*>(modal) != nullptr; });
        QTest::mouseClick(window->findChild<QPushButton*>(QStringLiteral("btnBrowserForModificationDest")),
                          Qt::LeftButton);
        QVERIFY(shown);
        window.reset();
        QCOMPARE(FilesUnder(ConfigHome()), QStringList());
        for (const QString& file : FilesUnder(g_home))
            QVERIFY2(!file.endsWith(QLatin1String(".conf")), qPrintable(file));
    }
};

int main(int argc, char* argv[]) {
    // The window's archive door starts this program as its worker.
    if (IsMpqWorkerInvocation(argc, argv))
        return RunMpqWorker(argc, argv, MakeOwnMpqEngine());
    const testkit::TempDir home;
    g_home = home.path();
    fs::create_directories(ConfigHome());
    // Before Qt looks for its settings: a player's home of the test's own.
    qputenv("HOME", QByteArray::fromStdString(g_home.string()));
    qputenv("XDG_CONFIG_HOME", QByteArray::fromStdString(ConfigHome().string()));
    if (!qEnvironmentVariableIsSet("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication application(argc, argv);
    AttendedTest test;
    return QTest::qExec(&test, argc, argv);
}

#include "prompts_attended_test.moc"
