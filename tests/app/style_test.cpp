// mStyleFlat and mStyleXP: every push button becomes flat and visible and nothing else changes; the
// platform's own style is chosen.
#include "app/style_flat.h"
#include "app/style_xp.h"

#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QMetaProperty>
#include <QProxyStyle>
#include <QPushButton>
#include <QRadioButton>
#include <QStyle>
#include <QToolButton>
#include <QtTest>

namespace {

// Every readable property of a widget, by name: the whole observable state a styling walk could touch.
// Values that cannot be compared (an icon equals no other icon, not even itself) are left out, and so
// is the area the children cover, which grows when a hidden button is shown.
QVariantMap Properties(const QObject* object) {
    QVariantMap values;
    const QMetaObject* meta = object->metaObject();
    for (int i = 0; i < meta->propertyCount(); ++i) {
        const QMetaProperty property = meta->property(i);
        const QByteArray name = property.name();
        if (!property.isReadable() || name == "childrenRect" || name == "childrenRegion") {
            continue;
        }
        const QVariant value = property.read(object);
        if (value == property.read(object)) {
            values.insert(QString::fromLatin1(name), value);
        }
    }
    return values;
}

QMap<QString, QVariantMap> Snapshot(const QWidget& form, bool includePushButtons) {
    QMap<QString, QVariantMap> snapshot;
    snapshot.insert(form.objectName(), Properties(&form));
    for (const QWidget* child : form.findChildren<QWidget*>()) {
        if (!includePushButtons && qobject_cast<const QPushButton*>(child) != nullptr) {
            continue;
        }
        snapshot.insert(child->objectName(), Properties(child));
    }
    return snapshot;
}

// A window shaped like the program's: a banner with its own button, group boxes (one of them flat
// already), and every other kind of control, some inside the boxes.
void BuildForm(QWidget& form, bool withPushButtons) {
    form.setObjectName(QStringLiteral("form"));
    auto* banner = new QWidget(&form);
    banner->setObjectName(QStringLiteral("PicTop"));
    auto* about = new QLabel(QStringLiteral("Keldrava"), banner);
    about->setObjectName(QStringLiteral("Label4"));
    auto* frame = new QGroupBox(QStringLiteral("MPQ 文件选择"), &form);
    frame->setObjectName(QStringLiteral("Frame7"));
    auto* flatFrame = new QGroupBox(QStringLiteral("修改鼠标指针"), &form);
    flatFrame->setObjectName(QStringLiteral("Frame3"));
    flatFrame->setFlat(true);
    auto* label = new QLabel(QStringLiteral("选择 MPQ 文件:"), frame);
    label->setObjectName(QStringLiteral("Label9"));
    auto* combo = new QComboBox(&form);
    combo->setObjectName(QStringLiteral("cboMpqFileName"));
    combo->addItems({QStringLiteral("War3Patch.mpq"), QStringLiteral("War3.mpq")});
    auto* text = new QLineEdit(&form);
    text->setObjectName(QStringLiteral("txtLanGameName"));
    auto* check = new QCheckBox(QStringLiteral("提取[&E]"), &form);
    check->setObjectName(QStringLiteral("chkExtract"));
    auto* option = new QRadioButton(QStringLiteral("人族"), &form);
    option->setObjectName(QStringLiteral("optMouseHuman"));
    auto* tool = new QToolButton(&form);
    tool->setObjectName(QStringLiteral("toolButton"));
    if (withPushButtons) {
        auto* compress = new QPushButton(QStringLiteral("压缩(&Z)"), &form);
        compress->setObjectName(QStringLiteral("btnCompressMpq"));
        compress->setGeometry(142, 144, 66, 24);
        compress->setDefault(true);
        auto* browse = new QPushButton(QStringLiteral("..."), &form);
        browse->setObjectName(QStringLiteral("btnBrowserForModificationDest"));
        browse->setGeometry(458, 116, 38, 18);
        browse->hide();
        auto* nested = new QPushButton(QStringLiteral("修改(&M)"), flatFrame);
        nested->setObjectName(QStringLiteral("btnDoModificationForMouse"));
        nested->setGeometry(132, 86, 66, 24);
        auto* bannerButton = new QPushButton(QStringLiteral("?"), banner);
        bannerButton->setObjectName(QStringLiteral("bannerButton"));
        auto* unsized = new QPushButton(QStringLiteral("一个很长很长的按钮标题"), &form);
        unsized->setObjectName(QStringLiteral("unsizedHiddenButton"));
        unsized->hide();
    }
}

} // namespace

class StyleTest : public QObject {
    Q_OBJECT

private slots:
    void everyPushButtonBecomesFlatAndVisible() {
        QWidget form;
        BuildForm(form, true);
        QMap<QString, QRect> geometry;
        for (QPushButton* button : form.findChildren<QPushButton*>()) {
            QVERIFY(!button->isFlat());
            geometry.insert(button->objectName(), button->geometry());
        }
        mStyleFlat::MakeFormFlat(&form);
        const QList<QPushButton*> buttons = form.findChildren<QPushButton*>();
        QCOMPARE(buttons.size(), 5);
        for (QPushButton* button : buttons) {
            QVERIFY2(button->isFlat(), qPrintable(button->objectName()));
            QVERIFY2(button->isVisibleTo(&form), qPrintable(button->objectName()));
            QVERIFY2(!button->isDefault(), qPrintable(button->objectName()));
            QCOMPARE(button->geometry(), geometry.value(button->objectName()));
        }
    }

    void nothingButPushButtonsChanges_data() {
        QTest::addColumn<bool>("withPushButtons");
        QTest::newRow("window with push buttons") << true;
        QTest::newRow("window without push buttons") << false;
    }
    void nothingButPushButtonsChanges() {
        QFETCH(bool, withPushButtons);
        QWidget form;
        BuildForm(form, withPushButtons);
        const auto before = Snapshot(form, false);
        mStyleFlat::MakeFormFlat(&form);
        const auto after = Snapshot(form, false);
        QCOMPARE(after.keys(), before.keys());
        for (const QString& name : before.keys()) {
            const QVariantMap& was = before.value(name);
            const QVariantMap& is = after.value(name);
            for (auto it = was.cbegin(); it != was.cend(); ++it) {
                QVERIFY2(is.value(it.key()) == it.value(), qPrintable(name + QLatin1Char('.') + it.key()));
            }
        }
    }

    void platformStyleIsChosen() {
        QVERIFY(mStyleXP::InitXPStyle());
        auto* proxy = qobject_cast<QProxyStyle*>(QApplication::style());
        QVERIFY(proxy != nullptr);
#ifdef Q_OS_WIN
        QCOMPARE(proxy->baseStyle()->name().toLower(), QStringLiteral("windowsvista"));
#else
        QCOMPARE(proxy->baseStyle()->name().toLower(), QStringLiteral("fusion"));
#endif
    }
};

QTEST_MAIN(StyleTest)
#include "style_test.moc"
