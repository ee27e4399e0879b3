// The window as the player sees it: every control's kind, container, place, text, font and colour;
// the fixed frame; inputs inside their group boxes without overlaps; the tab order; the access keys.
#include "window_fixture.h"

#include "app/frm_main.h"
#include "app/ui_prompts.h"
#include "window/window_layout.h"

#include <QButtonGroup>
#include <QCheckBox>
#include <QComboBox>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QScreen>
#include <QSignalSpy>
#include <QTest>

#include <cstdlib>

using namespace window_test;

namespace {

// Names of the controls that sit over a group box, with the box they belong to.
const QList<QPair<QString, QString>>& InputsByFrame() {
    static const QList<QPair<QString, QString>> inputs{
        {"cboMpqFileName", "Frame7"},
        {"btnCompressMpq", "Frame7"},
        {"cboItemToModify", "Frame2"},
        {"txtDestForGameModification", "Frame2"},
        {"btnBrowserForModificationDest", "Frame2"},
        {"chkExtract", "Frame2"},
        {"chkDelete", "Frame2"},
        {"btnDoModificationForGeneral", "Frame2"},
        {"optMouseNightElf", "Frame3"},
        {"optMouseOrc", "Frame3"},
        {"optMouseHuman", "Frame3"},
        {"optMouseUndead", "Frame3"},
        {"btnDoModificationForMouse", "Frame3"},
        {"txtLanGameName", "Frame4"},
        {"btnDoModificationForLanGameName", "Frame4"},
    };
    return inputs;
}

QRect WindowRect(const QWidget* widget, const QWidget* window) {
    return QRect(widget->mapTo(window, QPoint(0, 0)), widget->size());
}

} // namespace

class LayoutTest : public QObject {
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void controls_data();
    void controls();
    void sizedLabelsFollowTheirText_data();
    void sizedLabelsFollowTheirText();
    void window();
    void fontsAndColours();
    void lists();
    void optionButtonsAreOneGroup();
    void inputsLieInsideTheirFrameWithoutOverlap();
    void tabOrder_data();
    void tabOrder();
    void accessKeys_data();
    void accessKeys();

private:
    std::unique_ptr<GameRig> m_rig;
    std::unique_ptr<FrmMain> m_window;
    QWidget* Child(const char* name) const { return m_window->findChild<QWidget*>(QLatin1String(name)); }
};

void LayoutTest::init() {
    m_rig = std::make_unique<GameRig>();
    m_window = std::make_unique<FrmMain>();
}

void LayoutTest::cleanup() {
    m_window.reset();
    m_rig.reset();
    ui_prompts::TakeShownMessages();
}

// Every control of the layout table, as the Qt window must have made it: the table is the one
// description of the window that every view draws.
void LayoutTest::controls_data() {
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("kind");
    QTest::addColumn<QString>("container");
    QTest::addColumn<QString>("caption");
    QTest::addColumn<QRect>("rect"); // device pixels, in the container; an empty size means "sized to its text"

    // Run once as it is and once under QT_SCALE_FACTOR=2 (CMake): the controls' logical pixels
    // times the scale are the table's twips at 96 or 192 DPI, as the Win32 window's are.
    const int scale = qRound(qApp->devicePixelRatio());
    const int dpi = 96 * scale;

    const auto qtClass = [](window::ControlKind kind) {
        switch (kind) {
        case window::ControlKind::Picture:
        case window::ControlKind::Line:
            return "QFrame";
        case window::ControlKind::Image:
        case window::ControlKind::Label:
            return "QLabel";
        case window::ControlKind::GroupBox:
            return "QGroupBox";
        case window::ControlKind::Button:
            return "QPushButton";
        case window::ControlKind::TextBox:
            return "QLineEdit";
        case window::ControlKind::DropDownList:
            return "QComboBox";
        case window::ControlKind::CheckBox:
            return "QCheckBox";
        case window::ControlKind::OptionButton:
            return "QRadioButton";
        case window::ControlKind::Window:
            break;
        }
        return "";
    };
    for (const window::ControlLayout& control : window::Layout()) {
        if (control.kind == window::ControlKind::Window)
            continue;
        const window::PixelRect pixels = window::PixelsFromTwips(control.rect, dpi);
        QRect rect(pixels.left, pixels.top, pixels.width, pixels.height);
        if (control.sizing == window::Sizing::FitsText)
            rect.setSize({0, 0});
        if (control.kind == window::ControlKind::Line)
            rect.setHeight(scale);
        const std::string name(window::ControlName(control.id));
        QTest::newRow(name.c_str()) << QString::fromStdString(name) << QString::fromLatin1(qtClass(control.kind))
                                    << QString::fromLatin1(window::ControlName(control.parent))
                                    << (control.kind == window::ControlKind::Image ? QString()
                                                                                   : Q(std::u16string(control.caption)))
                                    << rect;
    }
}

void LayoutTest::controls() {
    QFETCH(QString, name);
    QFETCH(QString, kind);
    QFETCH(QString, container);
    QFETCH(QString, caption);
    QFETCH(QRect, rect);

    QWidget* widget = m_window->findChild<QWidget*>(name);
    QVERIFY(widget);
    QCOMPARE(QString::fromLatin1(widget->metaObject()->className()), kind);
    QCOMPARE(widget->parentWidget()->objectName(), container);
    QVERIFY(widget->isEnabled());
    QVERIFY(!widget->isHidden());

    // Qt places widgets in whole logical pixels: scaled up, an edge may miss the table's rounding at
    // the higher DPI by less than one logical pixel (at 96 DPI it must be exact).
    const int scale = qRound(qApp->devicePixelRatio());
    const QRect logical = widget->geometry();
    const QRect device(logical.topLeft() * scale, logical.size() * scale);
    const auto near = [scale](int actual, int expected) { return std::abs(actual - expected) < scale; };
    const auto describe = [](const QRect& r) {
        return QStringLiteral("(%1,%2 %3x%4)").arg(r.x()).arg(r.y()).arg(r.width()).arg(r.height());
    };
    const QString why = describe(device) + QStringLiteral(" against ") + describe(rect);
    QVERIFY2(near(device.x(), rect.x()) && near(device.y(), rect.y()), qPrintable(why));
    if (!rect.size().isEmpty())
        QVERIFY2(near(device.right(), rect.right()) && near(device.bottom(), rect.bottom()), qPrintable(why));

    QString text;
    if (auto* label = qobject_cast<QLabel*>(widget))
        text = label->text();
    else if (auto* button = qobject_cast<QAbstractButton*>(widget))
        text = button->text();
    else if (auto* frame = qobject_cast<QGroupBox*>(widget))
        text = frame->title();
    else if (auto* box = qobject_cast<QLineEdit*>(widget))
        text = box->text();
    if (name != QLatin1String("ImgLogo"))
        QCOMPARE(text, caption);
}

void LayoutTest::sizedLabelsFollowTheirText_data() {
    QTest::addColumn<QString>("name");
    for (const char* name : {"Label9", "Label2", "Label10", "Label11", "Label12", "Label(3)", "Label(4)"})
        QTest::newRow(name) << QString::fromLatin1(name);
}

void LayoutTest::sizedLabelsFollowTheirText() {
    QFETCH(QString, name);
    auto* label = m_window->findChild<QLabel*>(name);
    QVERIFY(label);
    QVERIFY(!label->wordWrap());
    QCOMPARE(label->size(), label->sizeHint());
    // One line: no taller than its font's line.
    QVERIFY(label->height() <= QFontMetrics(label->font()).height() + 1);
}

void LayoutTest::window() {
    QCOMPARE(m_window->objectName(), QStringLiteral("FrmMain"));
    QCOMPARE(m_window->size(), QSize(517, 317));
    QCOMPARE(m_window->minimumSize(), QSize(517, 317));
    QCOMPARE(m_window->maximumSize(), QSize(517, 317));
    const Qt::WindowFlags flags = m_window->windowFlags();
    QVERIFY(!(flags & Qt::WindowMaximizeButtonHint));
    QVERIFY(flags & Qt::WindowMinimizeButtonHint);
    QVERIFY(flags & Qt::WindowCloseButtonHint);
    QCOMPARE(m_window->windowTitle(), QStringLiteral("Keldrava - Ostrawen Ver:2.0.091105"));
    QVERIFY(!m_window->windowIcon().isNull());
    QVERIFY(!m_window->findChild<QLabel*>(QStringLiteral("ImgLogo"))->pixmap().isNull());
    QCOMPARE(m_window->findChild<QLabel*>(QStringLiteral("ImgLogo"))->pixmap().size(), QSize(48, 48));

    // The two-line labels keep their rectangle and wrap inside it.
    for (int index : {0, 1, 2}) {
        QLabel* label = m_window->Label(index);
        QVERIFY(label->wordWrap());
        QVERIFY2(label->heightForWidth(label->width()) > QFontMetrics(label->font()).height(),
                 qPrintable(label->objectName()));
    }

    // Nothing is selected or checked until start-up and the user act.
    for (const char* name : {"cboMpqFileName", "cboItemToModify"})
        QCOMPARE(m_window->findChild<QComboBox*>(QLatin1String(name))->currentIndex(), -1);
    for (const QCheckBox* box : m_window->findChildren<QCheckBox*>())
        QVERIFY(!box->isChecked());
    for (const QPushButton* button : m_window->findChildren<QPushButton*>()) {
        QVERIFY(!button->isDefault());
        QVERIFY(!button->autoDefault());
    }

    m_window->ShowCentred();
    QVERIFY(QTest::qWaitForWindowExposed(m_window.get()));
    const QRect available = m_window->screen()->availableGeometry();
    QVERIFY(qAbs(m_window->geometry().center().x() - available.center().x()) <= 1);
    QVERIFY(qAbs(m_window->geometry().center().y() - available.center().y()) <= 1);
    QCOMPARE(QApplication::focusWidget(), Child("txtDestForGameModification"));
}

void LayoutTest::fontsAndColours() {
    QCOMPARE(m_window->font().family(), QStringLiteral("Tahoma"));
    QCOMPARE(m_window->font().pointSizeF(), 8.25);
    QCOMPARE(m_window->font().weight(), QFont::Normal);
    for (const QPushButton* button : m_window->findChildren<QPushButton*>()) {
        QCOMPARE(button->font().family(), QStringLiteral("宋体"));
        QCOMPARE(button->font().pointSizeF(), 9.0);
        QCOMPARE(button->font().weight(), QFont::Normal);
    }
    QCOMPARE(m_window->Label(4)->font().family(), QStringLiteral("宋体"));
    QCOMPARE(m_window->Label(4)->font().weight(), QFont::Bold);
    QCOMPARE(m_window->Label(3)->font().family(), QStringLiteral("宋体"));
    QCOMPARE(m_window->Label(3)->font().weight(), QFont::Normal);
    // Everything else keeps the window's font.
    for (const char* name : {"cboMpqFileName", "txtLanGameName", "chkExtract", "optMouseOrc", "Frame2", "Label9"})
        QCOMPARE(Child(name)->font().family(), QStringLiteral("Tahoma"));

    auto colour = [this](const char* name, QPalette::ColorRole role) { return Child(name)->palette().color(role); };
    QCOMPARE(m_window->palette().color(QPalette::Window), QColor(255, 255, 255));
    QVERIFY(m_window->autoFillBackground());
    QCOMPARE(colour("PicTop", QPalette::Window), QColor(234, 244, 255));
    QCOMPARE(colour("Line1", QPalette::Window), QColor(159, 207, 255));
    for (const char* frame : {"Frame7", "Frame2", "Frame3", "Frame4"}) {
        QCOMPARE(colour(frame, QPalette::Window), QColor(255, 255, 255));
        QCOMPARE(colour(frame, QPalette::WindowText), QColor(64, 64, 64));
    }
    for (const char* black : {"Label9", "Label2", "Label10", "Label11", "Label12"})
        QCOMPARE(colour(black, QPalette::WindowText), QColor(0, 0, 0));
    QCOMPARE(colour("Label(1)", QPalette::WindowText), QColor(128, 0, 0));
    QCOMPARE(colour("Label(2)", QPalette::WindowText), QColor(64, 64, 64));
    QCOMPARE(colour("Label(0)", QPalette::WindowText), QColor(64, 64, 64));
    // What each of these fills its background with.
    for (const char* white :
         {"chkExtract", "chkDelete", "optMouseNightElf", "optMouseOrc", "optMouseHuman", "optMouseUndead"}) {
        QVERIFY(Child(white)->autoFillBackground());
        QCOMPARE(colour(white, Child(white)->backgroundRole()), QColor(255, 255, 255));
    }
    for (QLabel* label : m_window->findChildren<QLabel*>())
        QVERIFY2(!label->autoFillBackground(), qPrintable(label->objectName()));
}

void LayoutTest::lists() {
    auto entries = [this](const char* name) {
        auto* combo = m_window->findChild<QComboBox*>(QLatin1String(name));
        QStringList texts;
        for (int i = 0; i < combo->count(); ++i)
            texts << combo->itemText(i);
        if (combo->isEditable())
            texts << QStringLiteral("(editable)");
        return texts;
    };
    QCOMPARE(entries("cboMpqFileName"), QStringList({"War3Patch.mpq", "War3xLocal.mpq", "War3x.mpq", "War3.mpq"}));
    QCOMPARE(entries("cboItemToModify"),
             QStringList({QStringLiteral("背景音乐 (混乱之治)"), QStringLiteral("背景音乐 (冰封王座)"),
                          QStringLiteral("游戏字体 (简体中文)"), QStringLiteral("游戏字体 (繁体中文)"),
                          QStringLiteral("游戏字体 (英文)"), QStringLiteral("界面背景 (混乱之治)"),
                          QStringLiteral("界面背景 (冰封王座)")}));
}

void LayoutTest::optionButtonsAreOneGroup() {
    const auto options = m_window->findChildren<QRadioButton*>();
    QCOMPARE(options.size(), 4);
    QButtonGroup* group = options.front()->group();
    QVERIFY(group);
    QVERIFY(group->exclusive());
    for (QRadioButton* option : options) {
        QCOMPARE(option->group(), group);
        QVERIFY(!option->isChecked());
    }
    for (QRadioButton* chosen : options) {
        QTest::mouseClick(chosen, Qt::LeftButton);
        for (QRadioButton* option : options)
            QCOMPARE(option->isChecked(), option == chosen);
    }
}

void LayoutTest::inputsLieInsideTheirFrameWithoutOverlap() {
    QList<QPair<QString, QRect>> placed;
    for (const auto& [name, frameName] : InputsByFrame()) {
        QWidget* input = m_window->findChild<QWidget*>(name);
        QWidget* frame = m_window->findChild<QWidget*>(frameName);
        QVERIFY(input && frame);
        QCOMPARE(input->parentWidget(), static_cast<QWidget*>(m_window.get()));
        const QRect inputRect = WindowRect(input, m_window.get());
        QVERIFY2(WindowRect(frame, m_window.get()).contains(inputRect), qPrintable(name));
        // Stacked above the frame it lies on.
        const QWidgetList order = m_window->findChildren<QWidget*>(Qt::FindDirectChildrenOnly);
        QVERIFY2(order.indexOf(input) > order.indexOf(frame), qPrintable(name));
        placed.append({name, inputRect});
    }
    // The labels inside the frames, and the banner, share no pixel with an input either.
    for (QLabel* label : m_window->findChildren<QLabel*>()) {
        if (label->parentWidget() != m_window->findChild<QWidget*>(QStringLiteral("PicTop")))
            placed.append({label->objectName(), WindowRect(label, m_window.get())});
    }
    placed.append({QStringLiteral("PicTop"), WindowRect(Child("PicTop"), m_window.get())});
    for (int i = 0; i < placed.size(); ++i) {
        for (int j = i + 1; j < placed.size(); ++j) {
            QVERIFY2(!placed[i].second.intersects(placed[j].second),
                     qPrintable(placed[i].first + QStringLiteral(" overlaps ") + placed[j].first));
        }
    }
    // The grid: 7 px gaps between the columns and between the rows; the banner ends above the frames.
    QCOMPARE(Child("Frame2")->x() - (Child("Frame7")->x() + Child("Frame7")->width()), 7);
    QCOMPARE(Child("Frame3")->y() - (Child("Frame7")->y() + Child("Frame7")->height()), 7);
    QVERIFY(Child("PicTop")->geometry().bottom() < Child("Frame7")->y());
}

void LayoutTest::tabOrder_data() {
    QTest::addColumn<QString>("checked");
    QTest::addColumn<QString>("groupStop");
    // The option group is one stop: its checked button, or its first in tab order when none is.
    QTest::newRow("no race chosen") << QString() << "optMouseUndead";
    QTest::newRow("Orc chosen") << "optMouseOrc"
                                << "optMouseOrc";
    QTest::newRow("Night Elf chosen") << "optMouseNightElf"
                                      << "optMouseNightElf";
}

void LayoutTest::tabOrder() {
    QFETCH(QString, checked);
    QFETCH(QString, groupStop);
    if (!checked.isEmpty())
        m_window->findChild<QRadioButton*>(checked)->setChecked(true);
    m_window->ShowCentred();
    QVERIFY(QTest::qWaitForWindowActive(m_window.get()));
    const QStringList expected{
        "txtDestForGameModification",
        "cboItemToModify",
        "cboMpqFileName",
        "PicTop",
        "btnCompressMpq",
        "btnDoModificationForGeneral",
        "btnBrowserForModificationDest",
        "chkDelete",
        "chkExtract",
        "btnDoModificationForMouse",
        groupStop,
        "btnDoModificationForLanGameName",
        "txtLanGameName",
    };
    QStringList visited;
    visited << QApplication::focusWidget()->objectName();
    for (int step = 0; step < expected.size(); ++step) {
        QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
        visited << QApplication::focusWidget()->objectName();
    }
    // Round the whole chain and back to the first control.
    QCOMPARE(visited, expected + QStringList{expected.front()});

    // Backwards from the first control reaches the last one.
    QTest::keyClick(QApplication::focusWidget(), Qt::Key_Backtab);
    QCOMPARE(QApplication::focusWidget()->objectName(), QStringLiteral("txtLanGameName"));
}

void LayoutTest::accessKeys_data() {
    QTest::addColumn<QString>("name");
    QTest::addColumn<int>("key");
    QTest::newRow("Alt+Z presses Compress") << "btnCompressMpq" << int(Qt::Key_Z);
    QTest::newRow("Alt+B presses Perform operation") << "btnDoModificationForGeneral" << int(Qt::Key_B);
    QTest::newRow("Alt+M presses Change cursor") << "btnDoModificationForMouse" << int(Qt::Key_M);
    QTest::newRow("Alt+L presses Confirm name") << "btnDoModificationForLanGameName" << int(Qt::Key_L);
    QTest::newRow("Alt+E toggles Extract") << "chkExtract" << int(Qt::Key_E);
    QTest::newRow("Alt+D toggles Delete") << "chkDelete" << int(Qt::Key_D);
}

void LayoutTest::accessKeys() {
    QFETCH(QString, name);
    QFETCH(int, key);
    m_window->ShowCentred();
    QVERIFY(QTest::qWaitForWindowActive(m_window.get()));

    QList<QPair<QString, QSignalSpy*>> spies;
    for (QAbstractButton* button : m_window->findChildren<QAbstractButton*>())
        spies.append({button->objectName(), new QSignalSpy(button, &QAbstractButton::clicked)});
    auto clicksOf = [&spies](const QString& objectName) -> qsizetype {
        for (const auto& [buttonName, spy] : spies) {
            if (buttonName == objectName)
                return spy->count();
        }
        return -1;
    };

    // Whatever the button runs ends in a message box, answered off screen.
    auto* target = m_window->findChild<QAbstractButton*>(name);
    const bool wasChecked = target->isChecked();
    QTest::keyClick(m_window.get(), static_cast<Qt::Key>(key), Qt::AltModifier);
    QTRY_COMPARE(clicksOf(name), qsizetype(1));
    if (target->isCheckable())
        QCOMPARE(target->isChecked(), !wasChecked);
    // No other control was pressed.
    qsizetype total = 0;
    for (const auto& entry : spies) {
        total += entry.second->count();
        delete entry.second;
    }
    QCOMPARE(total, qsizetype(1));
}

QTEST_MAIN(LayoutTest)
#include "frm_main_layout_test.moc"
