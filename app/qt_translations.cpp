#include "app/qt_translations.h"

#include <QCoreApplication>
#include <QTranslator>

// The catalogue lives in a resource file of this static library, which must be registered by hand.
static void RegisterTranslationResources() {
    static const bool registered = [] {
        Q_INIT_RESOURCE(qt_translations);
        return true;
    }();
    (void)registered;
}

namespace qt_translations {

bool InstallChineseQtTranslations() {
    QCoreApplication* application = QCoreApplication::instance();
    if (application == nullptr)
        return false;
    if (application->findChild<QTranslator*>(QStringLiteral("qtbaseChinese"), Qt::FindDirectChildrenOnly))
        return true;
    RegisterTranslationResources();
    auto* translator = new QTranslator(application);
    translator->setObjectName(QStringLiteral("qtbaseChinese"));
    if (!translator->load(QStringLiteral(":/translations/qtbase_zh_CN.qm")) ||
        !QCoreApplication::installTranslator(translator)) {
        delete translator;
        return false;
    }
    return true;
}

} // namespace qt_translations
