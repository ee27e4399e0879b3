// The program's entry: the application, its one window and the start-up; nothing else. The same
// executable started with --mpq-worker is the archive worker, before any Qt object exists.
#include "app/frm_main.h"
#include "app/qt_translations.h"
#include "archive/worker/mpq_worker.h"
#include "support/public_vars.h"

#include <QApplication>
#include <QIcon>

int main(int argc, char* argv[]) {
    if (IsMpqWorkerInvocation(argc, argv))
        return RunMpqWorker(argc, argv, MakeOwnMpqEngine());
    // Where the player started us (a link in the game directory counts), before anything moves us.
    modPublicVars::RecordStartPath(argv[0]);
    Q_INIT_RESOURCE(resources);
    QApplication application(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Ostrawen"));
    // Before any widget exists, so every Qt-drawn text is Chinese from the start.
    qt_translations::InstallChineseQtTranslations();
    QIcon icon;
    for (const int size : {48, 32, 16})
        icon.addFile(QStringLiteral(":/icons/ostrawen-%1.png").arg(size), QSize(size, size));
    QApplication::setWindowIcon(icon);

    FrmMain window;
    // Without a game directory the warning has been shown and the program ends unseen.
    if (!window.Form_Load())
        return 0;
    window.ShowCentred();
    return QApplication::exec();
}
