#pragma once
// Runs the program's real open dialog (Qt's own widgets, as ui_prompts builds it) while a test looks
// at it from inside its modal loop, then cancels it.
#include "app/ui_prompts.h"

#include <QApplication>
#include <QFileDialog>
#include <QImage>
#include <QPixmap>
#include <QTimer>

#include <functional>

namespace window_test {

// Calls `inspect` with the dialog once it is shown; the dialog is cancelled afterwards, or after
// ten seconds if it never appears to the test.
inline void WithRealOpenDialog(const ui_prompts::FileDialogRequest& request,
                               const std::function<void(QFileDialog&)>& inspect) {
    ui_prompts::SetUnattended(false);
    bool inspected = false;
    QTimer poll;
    poll.setInterval(10);
    QObject::connect(&poll, &QTimer::timeout, [&] {
        auto* dialog = qobject_cast<QFileDialog*>(QApplication::activeModalWidget());
        if (dialog == nullptr || !dialog->isVisible() || inspected)
            return;
        inspected = true;
        poll.stop();
        inspect(*dialog);
        dialog->reject();
    });
    QTimer giveUp;
    giveUp.setSingleShot(true);
    QObject::connect(&giveUp, &QTimer::timeout, [] {
        if (auto* dialog = qobject_cast<QDialog*>(QApplication::activeModalWidget()))
            dialog->reject();
    });
    poll.start();
    giveUp.start(10000);
    (void)ui_prompts::ShowFileDialog(nullptr, request);
    ui_prompts::SetUnattended(true);
}

// Saves a picture of a widget under $OSTRAWEN_SCREENSHOT_DIR when that is set (for looking at the
// window by eye); does nothing otherwise.
inline void SaveScreenshot(QWidget& widget, const QString& name) {
    const QString directory = qEnvironmentVariable("OSTRAWEN_SCREENSHOT_DIR");
    if (!directory.isEmpty())
        widget.grab().save(directory + QLatin1Char('/') + name + QStringLiteral(".png"));
}

} // namespace window_test
