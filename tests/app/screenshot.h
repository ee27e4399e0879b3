#pragma once
// Saves a picture of a widget under $OSTRAWEN_SCREENSHOT_DIR when that is set, for looking at the
// window by eye (at QT_SCALE_FACTOR=2 too); does nothing otherwise.
#include <QWidget>

inline void SaveScreenshot(QWidget& widget, const QString& name) {
    const QString directory = qEnvironmentVariable("OSTRAWEN_SCREENSHOT_DIR");
    if (!directory.isEmpty())
        widget.grab().save(directory + QLatin1Char('/') + name + QStringLiteral(".png"));
}
