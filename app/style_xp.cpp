#include "app/style_xp.h"

#include "app/enter_presses_button.h"
#include "app/window_style.h"

#include <QApplication>
#include <QStyle>
#include <QStyleFactory>

namespace mStyleXP {

bool InitXPStyle() {
#ifdef Q_OS_WIN
    const QString styleName = QStringLiteral("windowsvista");
#else
    const QString styleName = QStringLiteral("Fusion");
#endif
    if (qobject_cast<QApplication*>(QCoreApplication::instance()) == nullptr) {
        return false;
    }
    QStyle* style = QStyleFactory::create(styleName);
    if (style == nullptr) {
        return false;
    }
    // The application takes ownership of the wrapper, the wrapper of the platform style.
    QApplication::setStyle(new WindowStyle(style));
    enter_presses_button::Install();
    return true;
}

} // namespace mStyleXP
