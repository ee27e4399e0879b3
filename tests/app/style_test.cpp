// mStyleFlat and mStyleXP: every push button becomes flat and visible and nothing else changes; the
// platform's own style is chosen; the window's group boxes are drawn as Windows draws them.
#include "app/frm_main.h"
#include "app/style_flat.h"
#include "app/style_xp.h"

#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QGroupBox>
#include <QImage>
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

// A group box as drawn on its own background, without the controls inside it.
QImage DrawnAlone(QGroupBox& box) {
    QImage image(box.size(), QImage::Format_RGB32);
    image.fill(Qt::magenta); // shows through wherever nothing was drawn
    box.render(&image, QPoint(), QRegion(), QWidget::DrawWindowBackground);
    return image;
}

QString Hex(QRgb colour) {
    return QString::number(colour & 0xFFFFFF, 16);
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

    void groupBoxDrawnAsOnWindows_data() {
        QTest::addColumn<QString>("name");
        QTest::addColumn<QColor>("background"); // given to the box; invalid: the window's own white
        for (const char* name : {"Frame7", "Frame2", "Frame3", "Frame4"})
            QTest::addRow("%s on the window's white", name) << QString::fromLatin1(name) << QColor();
        // On white the frame's light line cannot be seen; on Windows' classic face colour it can.
        QTest::newRow("Frame7 on a grey face") << QStringLiteral("Frame7") << QColor(212, 208, 200);
    }

    // An etched frame (dark line, light line inside it) with square corners, the caption on its top
    // line, and inside nothing but the box's background, which is the window's.
    void groupBoxDrawnAsOnWindows() {
        QFETCH(QString, name);
        QFETCH(QColor, background);
        FrmMain window;
        auto* box = window.findChild<QGroupBox*>(name);
        QVERIFY(box != nullptr);
        if (background.isValid()) {
            QPalette palette = box->palette();
            palette.setColor(QPalette::Window, background);
            box->setPalette(palette);
        }
        const QImage image = DrawnAlone(*box);
        const QRgb face = box->palette().color(QPalette::Window).rgb();
        const QRgb dark = box->palette().color(QPalette::Dark).rgb();
        const QRgb light = box->palette().color(QPalette::Light).rgb();
        if (!background.isValid())
            QCOMPARE(Hex(face), Hex(window.palette().color(QPalette::Window).rgb()));
        QVERIFY2(dark != face && qGray(dark) < qGray(light), qPrintable(Hex(dark) + QLatin1Char(' ') + Hex(light)));
        const int w = image.width(), h = image.height();

        // The frame's top: the first drawn row at the left edge.
        int top = 0;
        while (top < h && image.pixel(2, top) == face)
            ++top;
        QVERIFY2(top < h / 2, qPrintable(QString::number(top)));

        // The caption's ink: the pixels darker than the frame's line, above the box's first control row.
        const int band = box->fontMetrics().height() + 2;
        int inkTop = h, inkBottom = -1, inkLeft = w, inkRight = -1;
        for (int y = 0; y < band; ++y) {
            for (int x = 0; x < w; ++x) {
                if (qGray(image.pixel(x, y)) < qGray(dark) - 24) {
                    inkTop = std::min(inkTop, y);
                    inkBottom = std::max(inkBottom, y);
                    inkLeft = std::min(inkLeft, x);
                    inkRight = std::max(inkRight, x);
                }
            }
        }
        QVERIFY2(inkBottom >= 0, "no caption drawn");
        const QString where = QStringLiteral("frame top %1, caption rows %2-%3").arg(top).arg(inkTop).arg(inkBottom);
        // On the line, not above it: the line's middle through the caption's middle.
        QVERIFY2(inkTop < top && top < inkBottom && std::abs(2 * top + 1 - (inkTop + inkBottom)) <= 4,
                 qPrintable(where));
        // The line is broken behind the caption (a stroke of the text may match it here and there) and
        // starts again after it.
        int lineBehindCaption = 0;
        for (int x = inkLeft; x <= inkRight; ++x)
            lineBehindCaption += image.pixel(x, top) == dark && image.pixel(x, top + 1) == light;
        QVERIFY2(lineBehindCaption * 4 < inkRight - inkLeft, qPrintable(where));
        QCOMPARE(Hex(image.pixel(std::min(inkRight + 4, w - 3), top)), Hex(dark));

        // Etched on every side: outside the dark line, inside it the light one; the corners square.
        const int midX = w / 2 + (inkRight < w / 2 ? 0 : (w - inkRight) / 2), midY = (top + h) / 2;
        const struct {
            const char* what;
            QPoint darkAt, lightAt;
        } lines[] = {
            {"top", {midX, top}, {midX, top + 1}},          {"left", {0, midY}, {1, midY}},
            {"bottom", {midX, h - 2}, {midX, h - 1}},       {"right", {w - 2, midY}, {w - 1, midY}},
            {"top left corner", {0, top}, {1, top + 1}},    {"top right corner", {w - 2, top}, {w - 1, top}},
            {"bottom left corner", {0, h - 2}, {0, h - 1}}, {"bottom right corner", {w - 2, h - 2}, {w - 1, h - 1}},
        };
        for (const auto& line : lines) {
            const QString seen = QLatin1String(line.what) + QLatin1Char(' ') + Hex(image.pixel(line.darkAt)) +
                                 QLatin1Char(' ') + Hex(image.pixel(line.lightAt));
            QVERIFY2(image.pixel(line.darkAt) == dark && image.pixel(line.lightAt) == light, qPrintable(seen));
        }

        // Inside both lines and below the caption, the box's own colour and nothing else.
        for (int y = std::max(top + 2, band); y < h - 2; ++y) {
            for (int x = 2; x < w - 2; ++x) {
                if (image.pixel(x, y) != face)
                    QFAIL(qPrintable(QStringLiteral("inside at %1,%2: %3").arg(x).arg(y).arg(Hex(image.pixel(x, y)))));
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
