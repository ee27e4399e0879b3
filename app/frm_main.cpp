#include "app/frm_main.h"

#include "app/common_dialog.h"
#include "app/style_flat.h"
#include "app/style_xp.h"
#include "app/ui_prompts.h"
#include "window/window_layout.h"

#include <QAbstractItemView>
#include <QButtonGroup>
#include <QCheckBox>
#include <QCloseEvent>
#include <QComboBox>
#include <QCoreApplication>
#include <QEvent>
#include <QEventLoop>
#include <QFrame>
#include <QGroupBox>
#include <QGuiApplication>
#include <QIcon>
#include <QLabel>
#include <QLineEdit>
#include <QPixmap>
#include <QPushButton>
#include <QRadioButton>
#include <QScreen>
#include <QScrollBar>
#include <QSignalBlocker>
#include <QStyle>

#include <utility>

using window::ControlId;
using window::ControlKind;
using window::ControlLayout;

namespace {

// The layout is drawn in twips; at 96 dots per inch, and Qt scales pixels on screens of higher
// density.
QRect PixelRect(const window::TwipsRect& twips) {
    const window::PixelRect pixels = window::PixelsFromTwips(twips);
    return {pixels.left, pixels.top, pixels.width, pixels.height};
}

QString Q(std::u16string_view text) {
    return QString::fromUtf16(text.data(), static_cast<qsizetype>(text.size()));
}
std::u16string U(const QString& text) {
    return text.toStdU16String();
}

QFont FontFor(window::FontId id) {
    const window::FontSpec spec = window::FontOf(id);
    QFont font(Q(spec.face));
    font.setPointSizeF(spec.points);
    font.setWeight(spec.weight >= 700 ? QFont::Bold : QFont::Normal);
    return font;
}

// The colour a layout gives, or nothing where the platform's own stays.
std::optional<QColor> ColourFor(const window::Colour& colour) {
    switch (colour.source) {
    case window::ColourSource::Given:
        return QColor(colour.rgb.red, colour.rgb.green, colour.rgb.blue);
    case window::ColourSource::SystemButtonText:
        return QGuiApplication::palette().color(QPalette::ButtonText);
    case window::ColourSource::Default:
    case window::ColourSource::SystemWindowText:
    case window::ColourSource::Transparent:
        break;
    }
    return std::nullopt;
}

void SetTextColour(QWidget* widget, const QColor& colour) {
    QPalette palette = widget->palette();
    palette.setColor(QPalette::WindowText, colour);
    palette.setColor(QPalette::Text, colour);
    widget->setPalette(palette);
}

void SetBackground(QWidget* widget, const QColor& colour) {
    QPalette palette = widget->palette();
    palette.setColor(QPalette::Window, colour);
    // Buttons fill with their own role, not the window's.
    palette.setColor(widget->backgroundRole(), colour);
    widget->setPalette(palette);
    widget->setAutoFillBackground(true);
}

QIcon AppIcon() {
    QIcon icon;
    for (const int size : {48, 32, 16})
        icon.addFile(QStringLiteral(":/icons/ostrawen-%1.png").arg(size), QSize(size, size));
    return icon;
}

// One widget of the kind the layout names, with its caption, list and look.
QWidget* MakeControl(const ControlLayout& layout, QWidget* parent) {
    const QString caption = Q(layout.caption);
    switch (layout.kind) {
    case ControlKind::Window:
        return nullptr;
    case ControlKind::Picture: {
        auto* frame = new QFrame(parent);
        frame->setFrameShape(QFrame::NoFrame);
        frame->setFocusPolicy(Qt::StrongFocus);
        return frame;
    }
    case ControlKind::Image: {
        auto* image = new QLabel(parent);
        image->setPixmap(QPixmap(QStringLiteral(":/icons/ostrawen-48.png")));
        image->setFocusPolicy(Qt::NoFocus);
        return image;
    }
    case ControlKind::Line: {
        auto* line = new QFrame(parent);
        line->setFrameShape(QFrame::NoFrame);
        return line;
    }
    case ControlKind::GroupBox: {
        auto* frame = new QGroupBox(caption, parent);
        frame->setFocusPolicy(Qt::NoFocus);
        return frame;
    }
    case ControlKind::Label: {
        auto* label = new QLabel(caption, parent);
        if (layout.sizing == window::Sizing::WrapsInRect) {
            label->setWordWrap(true);
            label->setAlignment(Qt::AlignLeft | Qt::AlignTop);
        }
        return label;
    }
    case ControlKind::Button: {
        auto* button = new QPushButton(caption, parent);
        button->setAutoDefault(false);
        button->setDefault(false);
        return button;
    }
    case ControlKind::TextBox: {
        auto* text = new QLineEdit(parent);
        text->setMaxLength(32767); // Qt's largest; the box has no limit of its own
        return text;
    }
    case ControlKind::DropDownList: {
        auto* combo = new QComboBox(parent);
        // The wheel must not give the list the focus (and then change it): only a focused list scrolls.
        combo->setFocusPolicy(Qt::StrongFocus);
        combo->setEditable(false);
        QStringList entries;
        for (const std::u16string& entry : window::ListEntries(layout.id))
            entries << Q(entry);
        combo->addItems(entries);
        // Nothing is chosen until start-up chooses.
        combo->setCurrentIndex(-1);
        combo->setMaxVisibleItems(static_cast<int>(entries.size()));
        return combo;
    }
    case ControlKind::CheckBox:
        return new QCheckBox(caption, parent);
    case ControlKind::OptionButton:
        return new QRadioButton(caption, parent);
    }
    return nullptr;
}

// While an archive operation runs, the whole application takes no input: what the desktop queues
// waits (the local event loop excludes it) and what is sent straight to a widget is dropped.
class InputBlock final : public QObject {
public:
    InputBlock() { QCoreApplication::instance()->installEventFilter(this); }
    ~InputBlock() override { QCoreApplication::instance()->removeEventFilter(this); }
    InputBlock(const InputBlock&) = delete;
    InputBlock& operator=(const InputBlock&) = delete;

protected:
    bool eventFilter(QObject*, QEvent* event) override {
        switch (event->type()) {
        case QEvent::MouseButtonPress:
        case QEvent::MouseButtonRelease:
        case QEvent::MouseButtonDblClick:
        case QEvent::MouseMove:
        case QEvent::Wheel:
        case QEvent::KeyPress:
        case QEvent::KeyRelease:
        case QEvent::ShortcutOverride:
        case QEvent::Shortcut:
        case QEvent::ContextMenu:
        case QEvent::InputMethod:
        case QEvent::TouchBegin:
        case QEvent::TouchUpdate:
        case QEvent::TouchEnd:
        case QEvent::TouchCancel:
        case QEvent::TabletPress:
        case QEvent::TabletMove:
        case QEvent::TabletRelease:
        case QEvent::NativeGesture:
        case QEvent::HoverEnter:
        case QEvent::HoverMove:
        case QEvent::HoverLeave:
        case QEvent::DragEnter:
        case QEvent::DragMove:
        case QEvent::Drop:
            return true;
        default:
            return false;
        }
    }
};

} // namespace

// The icons are compiled into this library; a static library needs them registered by hand.
static void RegisterResources() {
    static const bool registered = [] {
        Q_INIT_RESOURCE(resources);
        return true;
    }();
    (void)registered;
}

FrmMain::FrmMain(QWidget* parent)
    : QWidget(parent, Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                          Qt::WindowMinimizeButtonHint | Qt::WindowCloseButtonHint | Qt::MSWindowsFixedSizeDialogHint),
      m_logic(std::make_unique<window::MainWindow>(static_cast<window::WindowView&>(*this))) {
    RegisterResources();
    m_logic->Form_Initialize();
    CreateControls();
    ConnectHandlers();
}

FrmMain::~FrmMain() {
    // The children outlive this part of the object; none of their events may reach the handlers now.
    for (QObject* child : findChildren<QObject*>()) {
        child->removeEventFilter(this);
        QObject::disconnect(child, nullptr, this, nullptr);
    }
}

void FrmMain::SetGamePathDecider(std::function<GamePathDecision()> decider) {
    m_logic->SetGamePathDecider(std::move(decider));
}

void FrmMain::SetMpqEngine(std::shared_ptr<MpqEngine> engine) {
    m_logic->SetMpqEngine(std::move(engine));
}

QWidget* FrmMain::Control(ControlId id) const {
    const auto found = m_controls.find(id);
    return found == m_controls.end() ? nullptr : found->second;
}

QLabel* FrmMain::Label(int index) const {
    static constexpr ControlId kLabels[] = {ControlId::Label_0, ControlId::Label_1, ControlId::Label_2,
                                            ControlId::Label_3, ControlId::Label_4};
    return qobject_cast<QLabel*>(Control(kLabels[index]));
}

void FrmMain::CreateControls() {
    for (const ControlLayout& layout : window::Layout()) {
        if (layout.kind == ControlKind::Window) {
            m_controls[layout.id] = this;
            setObjectName(QLatin1String(window::ControlName(layout.id)));
            setWindowTitle(Q(layout.caption));
            setFixedSize(kClientWidth, kClientHeight);
            setFont(FontFor(layout.font));
            if (const auto background = ColourFor(layout.background))
                SetBackground(this, *background);
            setWindowIcon(AppIcon());
            continue;
        }
        QWidget* widget = MakeControl(layout, Control(layout.parent));
        m_controls[layout.id] = widget;
        widget->setObjectName(QLatin1String(window::ControlName(layout.id)));
        if (layout.font != window::FontId::Window)
            widget->setFont(FontFor(layout.font));
        if (const auto foreground = ColourFor(layout.foreground)) {
            if (layout.kind == ControlKind::Line)
                SetBackground(widget, *foreground);
            else
                SetTextColour(widget, *foreground);
        }
        if (const auto background = ColourFor(layout.background))
            SetBackground(widget, *background);
        if (layout.kind == ControlKind::Line) {
            // A line is one pixel thick whatever its rectangle says.
            const QRect rect = PixelRect(layout.rect);
            widget->setGeometry(rect.left(), rect.top(), rect.width(), std::max(1, rect.height()));
        } else {
            widget->setGeometry(PixelRect(layout.rect));
        }
        if (layout.sizing == window::Sizing::FitsText)
            widget->adjustSize();
        if (!layout.accessibleName.empty()) {
            widget->setAccessibleName(Q(layout.accessibleName));
            // On Linux, Qt gives a list its chosen entry as its name; its label is said as its description.
            if (layout.kind == ControlKind::DropDownList)
                widget->setAccessibleDescription(Q(layout.accessibleName));
        }
    }

    m_mouseGroup = new QButtonGroup(this);
    m_mouseGroup->setObjectName(QStringLiteral("mouseRaceGroup"));
    m_mouseGroup->setExclusive(true);
    for (const ControlLayout& layout : window::Layout())
        if (layout.kind == ControlKind::OptionButton)
            m_mouseGroup->addButton(qobject_cast<QRadioButton*>(Control(layout.id)));
    // The group is one tab stop, and Tab enters it at the selected race, as on Windows; Qt by itself
    // would enter at whichever button had the focus last.
    connect(m_mouseGroup, &QButtonGroup::buttonToggled, this, [this](QAbstractButton* toggled, bool checked) {
        if (!checked)
            return;
        for (QAbstractButton* option : m_mouseGroup->buttons()) {
            const int policy =
                option == toggled ? (option->focusPolicy() | Qt::TabFocus) : (option->focusPolicy() & ~Qt::TabFocus);
            option->setFocusPolicy(static_cast<Qt::FocusPolicy>(policy));
        }
    });

    // Ascending tab index over the controls that take the focus; frames and labels never do.
    QWidget* previous = nullptr;
    for (const ControlId id : window::TabOrder()) {
        if (previous)
            setTabOrder(previous, Control(id));
        previous = Control(id);
    }
    Control(window::TabOrder().front())->setFocus(Qt::OtherFocusReason);
}

void FrmMain::ConnectHandlers() {
    window::MainWindow& logic = *m_logic;
    auto* archives = qobject_cast<QComboBox*>(Control(ControlId::cboMpqFileName));
    auto* items = qobject_cast<QComboBox*>(Control(ControlId::cboItemToModify));
    // Click is a player's choice (popup, keyboard or wheel), also of the entry already chosen, and
    // the only report of it: Qt also reports the new text, and both would read the archive twice.
    // The list's text changes in no other way, the logic's own choices raising nothing.
    // Scroll is the drop-down list scrolling.
    connect(archives, &QComboBox::activated, this, [&logic] { logic.cboMpqFileName_Click(); });
    connect(archives->view()->verticalScrollBar(), &QScrollBar::valueChanged, this,
            [&logic] { logic.cboMpqFileName_Scroll(); });

    // The item list only remembers the chosen item: every notification may run its handler.
    connect(items, &QComboBox::currentTextChanged, this, [&logic] { logic.cboItemToModify_Change(); });
    connect(items, &QComboBox::activated, this, [&logic] { logic.cboItemToModify_Click(); });
    connect(items->view()->verticalScrollBar(), &QScrollBar::valueChanged, this,
            [&logic] { logic.cboItemToModify_Scroll(); });
    items->installEventFilter(this);
    archives->installEventFilter(this);

    const std::pair<ControlId, void (window::MainWindow::*)()> buttons[] = {
        {ControlId::btnBrowserForModificationDest, &window::MainWindow::btnBrowserForModificationDest_Click},
        {ControlId::btnDoModificationForGeneral, &window::MainWindow::btnDoModificationForGeneral_Click},
        {ControlId::btnDoModificationForLanGameName, &window::MainWindow::btnDoModificationForLanGameName_Click},
        {ControlId::btnDoModificationForMouse, &window::MainWindow::btnDoModificationForMouse_Click},
        {ControlId::btnCompressMpq, &window::MainWindow::btnCompressMpq_Click},
    };
    for (const auto& [id, handler] : buttons)
        connect(qobject_cast<QPushButton*>(Control(id)), &QPushButton::clicked, this,
                [&logic, handler = handler] { (logic.*handler)(); });
}

bool FrmMain::eventFilter(QObject* watched, QEvent* event) {
    QWidget* archives = Control(ControlId::cboMpqFileName);
    QWidget* items = Control(ControlId::cboItemToModify);
    if (watched == items && event->type() == QEvent::FocusOut)
        m_logic->cboItemToModify_LostFocus();
    // As on Windows, rolling the wheel over a list that does not hold the focus changes nothing.
    if ((watched == archives || watched == items) && event->type() == QEvent::Wheel &&
        !static_cast<QWidget*>(watched)->hasFocus())
        return true;
    return QWidget::eventFilter(watched, event);
}

void FrmMain::closeEvent(QCloseEvent* event) {
    if (m_logic->Form_QueryUnload()) {
        event->ignore();
        return;
    }
    QWidget::closeEvent(event);
}

void FrmMain::ShowCentred() {
    const QScreen* screen = this->screen() ? this->screen() : QGuiApplication::primaryScreen();
    if (screen)
        setGeometry(QStyle::alignedRect(Qt::LeftToRight, Qt::AlignCenter, size(), screen->availableGeometry()));
    show();
}

// ---------------------------------------------------------------------------------------------
// The view

void FrmMain::SetText(ControlId id, const std::u16string& text) {
    QWidget* widget = Control(id);
    const QString value = Q(text);
    if (widget == this) {
        setWindowTitle(value);
    } else if (auto* combo = qobject_cast<QComboBox*>(widget)) {
        const QSignalBlocker quiet(combo);
        combo->setCurrentIndex(combo->findText(value, Qt::MatchExactly));
    } else if (auto* box = qobject_cast<QLineEdit*>(widget)) {
        box->setText(value);
    } else if (auto* label = qobject_cast<QLabel*>(widget)) {
        label->setText(value);
        if (window::LayoutOf(id).sizing == window::Sizing::FitsText)
            label->adjustSize();
    } else if (auto* button = qobject_cast<QAbstractButton*>(widget)) {
        button->setText(value);
    } else if (auto* frame = qobject_cast<QGroupBox*>(widget)) {
        frame->setTitle(value);
    }
}

std::u16string FrmMain::Text(ControlId id) const {
    QWidget* widget = Control(id);
    if (widget == this)
        return U(windowTitle());
    if (auto* combo = qobject_cast<QComboBox*>(widget))
        return U(combo->currentText());
    if (auto* box = qobject_cast<QLineEdit*>(widget))
        return U(box->text());
    if (auto* label = qobject_cast<QLabel*>(widget))
        return U(label->text());
    if (auto* button = qobject_cast<QAbstractButton*>(widget))
        return U(button->text());
    if (auto* frame = qobject_cast<QGroupBox*>(widget))
        return U(frame->title());
    return {};
}

void FrmMain::SetListEntries(ControlId id, const std::vector<std::u16string>& entries) {
    if (auto* combo = qobject_cast<QComboBox*>(Control(id))) {
        const QSignalBlocker quiet(combo);
        combo->clear();
        for (const std::u16string& entry : entries)
            combo->addItem(Q(entry));
        combo->setCurrentIndex(-1);
    }
}

std::vector<std::u16string> FrmMain::ListEntries(ControlId id) const {
    std::vector<std::u16string> entries;
    if (auto* combo = qobject_cast<QComboBox*>(Control(id)))
        for (int i = 0; i < combo->count(); ++i)
            entries.push_back(U(combo->itemText(i)));
    return entries;
}

void FrmMain::SetSelectedIndex(ControlId id, int index) {
    if (auto* combo = qobject_cast<QComboBox*>(Control(id))) {
        const QSignalBlocker quiet(combo);
        combo->setCurrentIndex(index);
    }
}

int FrmMain::SelectedIndex(ControlId id) const {
    auto* combo = qobject_cast<QComboBox*>(Control(id));
    return combo ? combo->currentIndex() : -1;
}

void FrmMain::SetChecked(ControlId id, bool checked) {
    auto* button = qobject_cast<QAbstractButton*>(Control(id));
    if (!button)
        return;
    // The checked button of an exclusive group would refuse to clear.
    const bool inGroup = button->group() == m_mouseGroup && !checked;
    if (inGroup)
        m_mouseGroup->setExclusive(false);
    button->setChecked(checked);
    if (inGroup)
        m_mouseGroup->setExclusive(true);
}

bool FrmMain::IsChecked(ControlId id) const {
    auto* button = qobject_cast<QAbstractButton*>(Control(id));
    return button && button->isChecked();
}

void FrmMain::SetEnabled(ControlId id, bool enabled) {
    if (QWidget* widget = Control(id))
        widget->setEnabled(enabled);
}

void FrmMain::MoveControl(ControlId id, const window::TwipsRect& rect) {
    QWidget* widget = Control(id);
    if (!widget || widget == this)
        return;
    widget->setGeometry(PixelRect(rect));
    if (window::LayoutOf(id).sizing == window::Sizing::FitsText)
        widget->adjustSize();
}

void FrmMain::InitVisualStyle() {
    (void)mStyleXP::InitXPStyle();
}

void FrmMain::MakeButtonsFlat() {
    mStyleFlat::MakeFormFlat(this);
}

window::MessageAnswer FrmMain::ShowMessage(const window::Message& message) {
    const auto icon = message.icon == window::MessageIcon::Information   ? ui_prompts::Icon::Information
                      : message.icon == window::MessageIcon::Exclamation ? ui_prompts::Icon::Exclamation
                                                                         : ui_prompts::Icon::Question;
    const auto buttons =
        message.buttons == window::MessageButtons::YesNo ? ui_prompts::Buttons::YesNo : ui_prompts::Buttons::Ok;
    // A window never shown (start-up's warnings) owns no message box.
    const ui_prompts::Answer answer =
        ui_prompts::ShowMessage(isVisible() ? this : nullptr, Q(message.caption), Q(message.text), icon, buttons);
    switch (answer) {
    case ui_prompts::Answer::Yes:
        return window::MessageAnswer::Yes;
    case ui_prompts::Answer::No:
        return window::MessageAnswer::No;
    case ui_prompts::Answer::Ok:
        break;
    }
    return window::MessageAnswer::Ok;
}

std::optional<std::u16string> FrmMain::ShowFileDialog(const window::FileDialogRequest& request) {
    clsCommonDialog& dialog = CommonDialog();
    dialog.SetFilter(Q(request.filter));
    dialog.SetDialogTitle(Q(request.title));
    dialog.SetInitDir(Q(request.initialDirectory));
    const bool confirmed = request.kind == window::FileDialogKind::Save ? dialog.ShowSave() : dialog.ShowOpen();
    if (!confirmed)
        return std::nullopt;
    return U(dialog.FileName());
}

void FrmMain::RunBlocked(const std::function<void()>& operation) {
    const InputBlock block;
    operation();
}

void FrmMain::KeepAlive() {
    // Paints, timers and the desktop's ping, but no click or key: those wait until the end.
    QCoreApplication::processEvents(QEventLoop::ExcludeUserInputEvents);
}

clsCommonDialog& FrmMain::CommonDialog() {
    if (!m_commonDialog)
        m_commonDialog = std::make_unique<clsCommonDialog>();
    return *m_commonDialog;
}
