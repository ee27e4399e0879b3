#include "app/style_xp.h"

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
    QApplication::setStyle(style); // the application takes ownership
    return true;
}

} // namespace mStyleXP
