#include "app/qt_translations.h"

#include <QCoreApplication>
#include <QLocale>
#include <QTranslator>

#include <cstring>

// The catalogue lives in a resource file of this static library, which must be registered by hand.
static void RegisterTranslationResources() {
    static const bool registered = [] {
        Q_INIT_RESOURCE(qt_translations);
        return true;
    }();
    (void)registered;
}

namespace {

// Qt 6 moved the names of kinds of file ("Folder", "Drive", ...) from the file dialog's context to the
// icon provider's, while the catalogue still keeps them under the file dialog's: look them up there.
class QtBaseCatalogue final : public QTranslator {
public:
    using QTranslator::QTranslator;

    QString translate(const char* context, const char* sourceText, const char* disambiguation, int n) const override {
        QString text = QTranslator::translate(context, sourceText, disambiguation, n);
        if (text.isEmpty() && context != nullptr && std::strcmp(context, "QAbstractFileIconProvider") == 0)
            text = QTranslator::translate("QFileDialog", sourceText, disambiguation, n);
        return text;
    }
};

} // namespace

namespace qt_translations {

bool InstallChineseQtTranslations() {
    QCoreApplication* application = QCoreApplication::instance();
    if (application == nullptr)
        return false;
    if (application->findChild<QTranslator*>(QStringLiteral("qtbaseChinese"), Qt::FindDirectChildrenOnly))
        return true;
    RegisterTranslationResources();
    auto* translator = new QtBaseCatalogue(application);
    translator->setObjectName(QStringLiteral("qtbaseChinese"));
    if (!translator->load(QStringLiteral(":/translations/qtbase_zh_CN.qm")) ||
        !QCoreApplication::installTranslator(translator)) {
        delete translator;
        return false;
    }
    // The kinds of file the dialog lists come from the system's type database, in the default
    // locale's language.
    QLocale::setDefault(QLocale(QLocale::Chinese, QLocale::China));
    return true;
}

} // namespace qt_translations
