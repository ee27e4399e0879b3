// How the window's controls look and answer as on Windows: flat buttons framed at rest, marked when
// the keyboard reaches them, lit under the pointer and darker when pressed; drop-down lists that
// open below their box and ignore the wheel unless focused; a name for every control that a screen
// reader can say.
#include "real_file_dialog.h"
#include "window_fixture.h"

#include "app/frm_main.h"

#include <QAbstractItemView>
#include <QAccessible>
#include <QComboBox>
#include <QPushButton>
#include <QTest>
#include <QWheelEvent>
#include <QtTest/qtestspontaneevent.h>

using namespace window_test;

namespace {

QImage Picture(QWidget* widget) {
    return widget->grab().toImage().convertToFormat(QImage::Format_RGB32);
}

// Pixels on the image's outer edge (its frame line) that are not the window's white.
int NonWhiteEdgePixels(const QImage& image) {
    int count = 0;
    for (int x = 0; x < image.width(); ++x) {
        for (int y : {0, image.height() - 1})
            count += image.pixel(x, y) != qRgb(255, 255, 255) ? 1 : 0;
    }
    for (int y = 1; y + 1 < image.height(); ++y) {
        for (int x : {0, image.width() - 1})
            count += image.pixel(x, y) != qRgb(255, 255, 255) ? 1 : 0;
    }
    return count;
}

// Enough changed pixels for an eye to see a mark: a dotted line round a small button changes about 50.
constexpr int kVisible = 20;

int DifferentPixels(const QImage& a, const QImage& b) {
    if (a.size() != b.size())
        return a.width() * a.height();
    int count = 0;
    for (int y = 0; y < a.height(); ++y) {
        for (int x = 0; x < a.width(); ++x)
            count += a.pixel(x, y) != b.pixel(x, y) ? 1 : 0;
    }
    return count;
}

// The wheel as the desktop delivers it, one notch towards the user.
void RollWheel(QWidget* widget) {
    const QPointF centre(widget->width() / 2.0, widget->height() / 2.0);
    QWheelEvent wheel(centre, widget->mapToGlobal(centre), QPoint(), QPoint(0, -120), Qt::NoButton, Qt::NoModifier,
                      Qt::NoScrollPhase, false);
    QSpontaneKeyEvent::setSpontaneous(&wheel);
    QApplication::instance()->notify(widget, &wheel);
}

const char* const kButtons[] = {"btnCompressMpq", "btnDoModificationForGeneral", "btnBrowserForModificationDest",
                                "btnDoModificationForMouse", "btnDoModificationForLanGameName"};

} // namespace

class ControlsTest : public QObject {
    Q_OBJECT

private slots:
    void init() {
        m_rig = std::make_unique<GameRig>();
        m_window = m_rig->Start();
        QVERIFY(m_window);
        m_window->ShowCentred();
        QVERIFY(QTest::qWaitForWindowActive(m_window.get()));
    }
    void cleanup() {
        m_window.reset();
        m_rig.reset();
    }

    void flatButtonStates_data();
    void flatButtonStates();
    void listOpensBelowItsBox_data();
    void listOpensBelowItsBox();
    void wheelChangesOnlyAFocusedList_data();
    void wheelChangesOnlyAFocusedList();
    void everyControlHasASpokenName_data();
    void everyControlHasASpokenName();

private:
    std::unique_ptr<GameRig> m_rig;
    std::unique_ptr<FrmMain> m_window;
};

void ControlsTest::flatButtonStates_data() {
    QTest::addColumn<QString>("button");
    for (const char* name : kButtons)
        QTest::newRow(name) << QString::fromLatin1(name);
}

void ControlsTest::flatButtonStates() {
    QFETCH(QString, button);
    auto* target = m_window->findChild<QPushButton*>(button);
    QVERIFY(target && target->isFlat());
    const QRect geometry = target->geometry();

    // At rest: a thin frame around the text, where a bare flat button shows the white window.
    m_window->findChild<QWidget*>(QStringLiteral("txtLanGameName"))->setFocus(Qt::TabFocusReason);
    const QImage rest = Picture(target);
    const int edgeLength = 2 * (rest.width() + rest.height()) - 4;
    QVERIFY2(NonWhiteEdgePixels(rest) > edgeLength * 9 / 10, qPrintable(QString::number(NonWhiteEdgePixels(rest))));

    // The keyboard reaches it: a focus mark inside the frame.
    QWidget* before = target->previousInFocusChain();
    while (before->focusPolicy() == Qt::NoFocus || !before->isVisible())
        before = before->previousInFocusChain();
    before->setFocus(Qt::TabFocusReason);
    QTest::keyClick(before, Qt::Key_Tab);
    QCOMPARE(QApplication::focusWidget(), target);
    const QImage focused = Picture(target);
    SaveScreenshot(*m_window, QStringLiteral("window-focus-") + button);
    QVERIFY2(DifferentPixels(rest, focused) > kVisible, "no focus mark");
    m_window->findChild<QWidget*>(QStringLiteral("txtLanGameName"))->setFocus(Qt::TabFocusReason);
    QCOMPARE(DifferentPixels(rest, Picture(target)), 0);

    // Under the pointer, and pressed: each its own look, the frame kept.
    target->setAttribute(Qt::WA_UnderMouse, true);
    const QImage hovered = Picture(target);
    target->setDown(true);
    const QImage pressed = Picture(target);
    target->setDown(false);
    target->setAttribute(Qt::WA_UnderMouse, false);
    QVERIFY2(DifferentPixels(rest, hovered) > kVisible, "no hover look");
    QVERIFY2(DifferentPixels(rest, pressed) > kVisible, "no pressed look");
    QVERIFY2(DifferentPixels(hovered, pressed) > kVisible, "hover and pressed alike");
    QVERIFY(NonWhiteEdgePixels(hovered) > edgeLength * 9 / 10);
    QVERIFY(NonWhiteEdgePixels(pressed) > edgeLength * 9 / 10);
    QCOMPARE(target->geometry(), geometry);
}

void ControlsTest::listOpensBelowItsBox_data() {
    QTest::addColumn<QString>("list");
    QTest::newRow("archives") << "cboMpqFileName";
    QTest::newRow("items") << "cboItemToModify";
}

void ControlsTest::listOpensBelowItsBox() {
    QFETCH(QString, list);
    auto* combo = m_window->findChild<QComboBox*>(list);
    combo->showPopup();
    QWidget* popup = combo->view()->window();
    QTRY_VERIFY(popup->isVisible());
    const int boxBottom = combo->mapToGlobal(QPoint(0, combo->height())).y();
    const int popupTop = popup->geometry().top();
    const int windowTop = m_window->mapToGlobal(QPoint(0, 0)).y();
    combo->hidePopup();
    QVERIFY2(popupTop >= boxBottom - 1,
             qPrintable(QStringLiteral("list at %1, box ends at %2").arg(popupTop).arg(boxBottom)));
    QVERIFY(popupTop >= windowTop);
}

void ControlsTest::wheelChangesOnlyAFocusedList_data() {
    QTest::addColumn<QString>("list");
    QTest::addColumn<bool>("focused");
    QTest::newRow("archives, focus elsewhere") << "cboMpqFileName" << false;
    QTest::newRow("archives, focused") << "cboMpqFileName" << true;
    QTest::newRow("items, focus elsewhere") << "cboItemToModify" << false;
    QTest::newRow("items, focused") << "cboItemToModify" << true;
}

void ControlsTest::wheelChangesOnlyAFocusedList() {
    QFETCH(QString, list);
    QFETCH(bool, focused);
    auto* combo = m_window->findChild<QComboBox*>(list);
    auto* elsewhere = m_window->findChild<QWidget*>(QStringLiteral("txtLanGameName"));
    if (focused)
        combo->setFocus(Qt::TabFocusReason);
    else
        elsewhere->setFocus(Qt::TabFocusReason);
    // From the first entry, so that a notch down always has somewhere to go.
    combo->setCurrentIndex(0);
    RollWheel(combo);
    QCOMPARE(combo->currentIndex(), focused ? 1 : 0);
    QCOMPARE(QApplication::focusWidget(), focused ? static_cast<QWidget*>(combo) : elsewhere);
}

void ControlsTest::everyControlHasASpokenName_data() {
    QTest::addColumn<QString>("control");
    QTest::addColumn<QString>("says"); // a word the name must hold
    QTest::newRow("banner") << "PicTop"
                            << "Keldrava";
    QTest::newRow("logo") << "ImgLogo"
                          << "Ostrawen";
    QTest::newRow("archive list") << "cboMpqFileName"
                                  << "MPQ";
    QTest::newRow("compress") << "btnCompressMpq"
                              << "压缩";
    QTest::newRow("item list") << "cboItemToModify"
                               << "项目";
    QTest::newRow("target file box") << "txtDestForGameModification"
                                     << "目标文件";
    QTest::newRow("browse button") << "btnBrowserForModificationDest"
                                   << "浏览";
    QTest::newRow("extract") << "chkExtract"
                             << "提取";
    QTest::newRow("delete") << "chkDelete"
                            << "删除";
    QTest::newRow("perform") << "btnDoModificationForGeneral"
                             << "执行操作";
    QTest::newRow("night elf") << "optMouseNightElf"
                               << "暗夜精灵";
    QTest::newRow("orc") << "optMouseOrc"
                         << "兽族";
    QTest::newRow("human") << "optMouseHuman"
                           << "人族";
    QTest::newRow("undead") << "optMouseUndead"
                            << "亡灵天灾";
    QTest::newRow("change cursor") << "btnDoModificationForMouse"
                                   << "修改";
    QTest::newRow("LAN name box") << "txtLanGameName"
                                  << "主机名";
    QTest::newRow("confirm name") << "btnDoModificationForLanGameName"
                                  << "确认修改";
}

void ControlsTest::everyControlHasASpokenName() {
    QFETCH(QString, control);
    QFETCH(QString, says);
    auto* widget = m_window->findChild<QWidget*>(control);
    QVERIFY(widget);
    QAccessibleInterface* accessible = QAccessible::queryAccessibleInterface(widget);
    QVERIFY(accessible);
    // On Linux a list's name is its chosen entry (Qt's convention there), so its label is said as its
    // description; elsewhere the name says it.
    const QString name = accessible->text(QAccessible::Name);
    const QString description = accessible->text(QAccessible::Description);
    QVERIFY2(!name.isEmpty(), qPrintable(control));
    QVERIFY2(
        name.contains(says) || description.contains(says),
        qPrintable(control + QLatin1String(": \"") + name + QLatin1String("\", \"") + description + QLatin1Char('"')));

    // Every control that takes the focus is among the rows above.
    static const QStringList listed{"PicTop",
                                    "ImgLogo",
                                    "cboMpqFileName",
                                    "btnCompressMpq",
                                    "cboItemToModify",
                                    "txtDestForGameModification",
                                    "btnBrowserForModificationDest",
                                    "chkExtract",
                                    "chkDelete",
                                    "btnDoModificationForGeneral",
                                    "optMouseNightElf",
                                    "optMouseOrc",
                                    "optMouseHuman",
                                    "optMouseUndead",
                                    "btnDoModificationForMouse",
                                    "txtLanGameName",
                                    "btnDoModificationForLanGameName"};
    for (const QWidget* child : m_window->findChildren<QWidget*>()) {
        if (child->focusPolicy() != Qt::NoFocus && child->isVisibleTo(m_window.get()) &&
            child->parentWidget() != nullptr && child->objectName().size() > 0 &&
            !child->objectName().startsWith(QLatin1String("qt_")))
            QVERIFY2(listed.contains(child->objectName()), qPrintable(child->objectName()));
    }
}

QTEST_MAIN(ControlsTest)
#include "frm_main_controls_test.moc"
