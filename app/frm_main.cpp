#include "app/frm_main.h"

#include "app/about.h"
#include "app/common_dialog.h"
#include "app/style_flat.h"
#include "app/style_xp.h"
#include "app/ui_prompts.h"
#include "archive/door/mpq_control.h"
#include "archive/mpq_engine.h"
#include "mods/modifications.h"
#include "mods/set_string.h"
#include "support/file_probe.h"
#include "support/public_vars.h"
#include "support/text_path.h"

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
#include <QStyle>

#include <cmath>
#include <filesystem>
#include <initializer_list>
#include <optional>
#include <utility>

namespace {

// The layout is drawn in twips; 15 twips are one pixel at 96 dots per inch, and Qt scales pixels
// on screens of higher density.
int Px(int twips) {
    return static_cast<int>(std::lround(twips / 15.0));
}
QRect TwipsRect(int left, int top, int width, int height) {
    return {Px(left), Px(top), Px(width), Px(height)};
}

QString Q(std::u16string_view text) {
    return QString::fromUtf16(text.data(), static_cast<qsizetype>(text.size()));
}
std::u16string U(const QString& text) {
    return text.toStdU16String();
}

// Every start-up step and handler runs under this guard: a failing step is skipped silently and
// nothing ever reaches the event loop.
template <typename Step> bool Guarded(Step&& step) noexcept {
    try {
        step();
        return true;
    } catch (...) {
        return false;
    }
}

const QColor kBannerBackground(234, 244, 255);
const QColor kBannerLine(159, 207, 255);
const QColor kFrameCaption(64, 64, 64);
const QColor kDarkRed(128, 0, 0);
const QColor kGreyText(64, 64, 64);

QFont WindowFont() {
    QFont font(QStringLiteral("Tahoma"));
    font.setPointSizeF(8.25);
    font.setWeight(QFont::Normal);
    return font;
}
QFont SongFont(bool bold) {
    QFont font(QStringLiteral("宋体"));
    font.setPointSizeF(9);
    font.setWeight(bold ? QFont::Bold : QFont::Normal);
    return font;
}

void SetTextColour(QWidget* widget, const QColor& colour) {
    QPalette palette = widget->palette();
    palette.setColor(QPalette::WindowText, colour);
    palette.setColor(QPalette::Text, colour);
    widget->setPalette(palette);
}

void SetWhiteBackground(QWidget* widget) {
    QPalette palette = widget->palette();
    palette.setColor(QPalette::Window, Qt::white);
    // Buttons fill with their own role, not the window's.
    palette.setColor(widget->backgroundRole(), Qt::white);
    widget->setPalette(palette);
    widget->setAutoFillBackground(true);
}

// A label that takes the size of its one line of text, at the given position.
QLabel* MakeSizedLabel(QWidget* parent, const char* name, const QString& text, const QRect& rect,
                       const QColor& colour) {
    auto* label = new QLabel(text, parent);
    label->setObjectName(QLatin1String(name));
    label->setGeometry(rect);
    SetTextColour(label, colour);
    label->adjustSize();
    return label;
}

// A label that keeps its rectangle and wraps its text inside it.
QLabel* MakeWrappedLabel(QWidget* parent, const char* name, const QString& text, const QRect& rect,
                         const QColor& colour) {
    auto* label = new QLabel(text, parent);
    label->setObjectName(QLatin1String(name));
    label->setWordWrap(true);
    label->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    label->setGeometry(rect);
    SetTextColour(label, colour);
    return label;
}

QGroupBox* MakeFrame(QWidget* parent, const char* name, const QString& caption, const QRect& rect) {
    auto* frame = new QGroupBox(caption, parent);
    frame->setObjectName(QLatin1String(name));
    frame->setGeometry(rect);
    frame->setFocusPolicy(Qt::NoFocus);
    SetWhiteBackground(frame);
    // The caption takes the frame's own colour; the labels inside set theirs.
    SetTextColour(frame, kFrameCaption);
    return frame;
}

QPushButton* MakeButton(QWidget* parent, const char* name, const QString& caption, const QRect& rect) {
    auto* button = new QPushButton(caption, parent);
    button->setObjectName(QLatin1String(name));
    button->setGeometry(rect);
    button->setFont(SongFont(false));
    button->setAutoDefault(false);
    button->setDefault(false);
    return button;
}

QComboBox* MakeDropDownList(QWidget* parent, const char* name, const QStringList& entries, const QRect& rect) {
    auto* combo = new QComboBox(parent);
    combo->setObjectName(QLatin1String(name));
    // The wheel must not give the list the focus (and then change it): only a focused list scrolls.
    combo->setFocusPolicy(Qt::StrongFocus);
    combo->setEditable(false);
    combo->addItems(entries);
    // Nothing is chosen until start-up chooses.
    combo->setCurrentIndex(-1);
    combo->setMaxVisibleItems(entries.size());
    combo->setGeometry(rect);
    return combo;
}

QLineEdit* MakeTextBox(QWidget* parent, const char* name, const QRect& rect) {
    auto* text = new QLineEdit(parent);
    text->setObjectName(QLatin1String(name));
    text->setMaxLength(32767); // Qt's largest; the box has no limit of its own
    text->setGeometry(rect);
    return text;
}

template <typename Button>
Button* MakeChoice(QWidget* parent, const char* name, const QString& caption, const QRect& rect) {
    auto* button = new Button(caption, parent);
    button->setObjectName(QLatin1String(name));
    button->setGeometry(rect);
    SetWhiteBackground(button);
    return button;
}

// GamePath + separator + MpqName with every pair of separators collapsed in one left-to-right pass:
// "/g/War3/" + "/" + "War3x.mpq" -> "/g/War3/War3x.mpq"; three in a row become two.
std::u16string JoinArchivePath(const std::u16string& gamePath, const std::u16string& mpqName) {
    const auto separator = static_cast<char16_t>(std::filesystem::path::preferred_separator);
    const std::u16string joined = gamePath + separator + mpqName;
    std::u16string collapsed;
    collapsed.reserve(joined.size());
    for (std::size_t i = 0; i < joined.size(); ++i) {
        collapsed.push_back(joined[i]);
        if (joined[i] == separator && i + 1 < joined.size() && joined[i + 1] == separator)
            ++i;
    }
    return collapsed;
}

// The game's own file system ignores letter case, so "war3patch.mpq" on a case-sensitive disk is
// the archive "War3Patch.mpq" names.
std::u16string ArchivePath(const std::u16string& gamePath, const std::u16string& mpqName) {
    const std::u16string joined = JoinArchivePath(gamePath, mpqName);
    if (mpqName.empty() || gamePath.empty())
        return joined;
    const std::filesystem::path directory = PathFromText(gamePath);
    const auto entry = file_probe::FindEntryIgnoringCase(directory, mpqName);
    if (!entry)
        return joined;
    return JoinArchivePath(gamePath, TextFromPath(entry->filename()));
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

ui_prompts::Icon PromptIcon(mods::MessageIcon icon) {
    return icon == mods::MessageIcon::Information ? ui_prompts::Icon::Information : ui_prompts::Icon::Exclamation;
}

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
      m_decideGamePath([] { return FindGamePath(); }) {
    RegisterResources();
    Guarded([this] { Form_Initialize(); });
    CreateControls();
    ConnectHandlers();
}

FrmMain::~FrmMain() {
    // The children outlive this part of the object; none of their events may reach the handlers now.
    cboItemToModify->removeEventFilter(this);
    cboMpqFileName->removeEventFilter(this);
    for (QObject* child : findChildren<QObject*>())
        QObject::disconnect(child, nullptr, this, nullptr);
}

void FrmMain::SetGamePathDecider(std::function<GamePathDecision()> decider) {
    m_decideGamePath = std::move(decider);
}

void FrmMain::CreateControls() {
    setObjectName(QStringLiteral("FrmMain"));
    setWindowTitle(Q(kCaption));
    setFixedSize(kClientWidth, kClientHeight);
    setFont(WindowFont());
    SetWhiteBackground(this);
    QIcon icon;
    for (const int size : {48, 32, 16})
        icon.addFile(QStringLiteral(":/icons/ostrawen-%1.png").arg(size), QSize(size, size));
    setWindowIcon(icon);

    // The banner.
    PicTop = new QFrame(this);
    PicTop->setObjectName(QStringLiteral("PicTop"));
    PicTop->setGeometry(TwipsRect(0, 0, 7755, 855));
    PicTop->setFrameShape(QFrame::NoFrame);
    PicTop->setFocusPolicy(Qt::StrongFocus);
    {
        QPalette palette = PicTop->palette();
        palette.setColor(QPalette::Window, kBannerBackground);
        PicTop->setPalette(palette);
        PicTop->setAutoFillBackground(true);
    }
    const QColor buttonText = QGuiApplication::palette().color(QPalette::ButtonText);
    m_label[4] = MakeSizedLabel(PicTop, "Label(4)", Q(kAboutLine), TwipsRect(240, 180, 5160, 180), buttonText);
    m_label[4]->setFont(SongFont(true));
    m_label[4]->adjustSize();
    m_label[3] = MakeSizedLabel(PicTop, "Label(3)", Q(kFeatureLine), TwipsRect(600, 480, 5850, 180), buttonText);
    m_label[3]->setFont(SongFont(false));
    m_label[3]->adjustSize();
    ImgLogo = new QLabel(PicTop);
    ImgLogo->setObjectName(QStringLiteral("ImgLogo"));
    ImgLogo->setGeometry(TwipsRect(6900, 15, 720, 720));
    ImgLogo->setPixmap(QPixmap(QStringLiteral(":/icons/ostrawen-48.png")));
    ImgLogo->setFocusPolicy(Qt::NoFocus);
    Line1 = new QFrame(PicTop);
    Line1->setObjectName(QStringLiteral("Line1"));
    Line1->setFrameShape(QFrame::NoFrame);
    Line1->setGeometry(Px(0), Px(840), Px(7740), 1);
    {
        QPalette palette = Line1->palette();
        palette.setColor(QPalette::Window, kBannerLine);
        Line1->setPalette(palette);
        Line1->setAutoFillBackground(true);
    }

    const QColor black(Qt::black);

    // Archive choice and compaction.
    Frame7 = MakeFrame(this, "Frame7", QStringLiteral("MPQ 文件选择"), TwipsRect(150, 990, 3135, 1695));
    Label9 = MakeSizedLabel(Frame7, "Label9", QStringLiteral("选择 MPQ 文件:"), TwipsRect(150, 390, 1260, 180), black);
    m_label[1] = MakeWrappedLabel(Frame7, "Label(1)", QStringLiteral("执行任何操作前您都需要先选择 MPQ文件"),
                                  TwipsRect(150, 1140, 1695, 405), kDarkRed);

    // Resource replacement.
    Frame2 = MakeFrame(this, "Frame2", QStringLiteral("修改背景图片/音乐/字体"), TwipsRect(3390, 990, 4215, 1695));
    Label2 = MakeSizedLabel(Frame2, "Label2", QStringLiteral("要修改的项目:"), TwipsRect(160, 420, 1140, 195), black);
    Label10 = MakeSizedLabel(Frame2, "Label10", QStringLiteral("选择目标文件:"), TwipsRect(160, 780, 1140, 195), black);

    // Cursor race.
    Frame3 = MakeFrame(this, "Frame3", QStringLiteral("修改鼠标指针"), TwipsRect(150, 2790, 3135, 1815));
    Label11 =
        MakeSizedLabel(Frame3, "Label11", QStringLiteral("目标鼠标指针样式:"), TwipsRect(150, 390, 1530, 180), black);
    m_label[2] = MakeWrappedLabel(Frame3, "Label(2)", QStringLiteral("这会同时修改人族游戏时的鼠标指针"),
                                  TwipsRect(150, 1260, 1350, 405), kGreyText);

    // LAN game name.
    Frame4 = MakeFrame(this, "Frame4", QStringLiteral("修改局域网主机名"), TwipsRect(3390, 2790, 4215, 1815));
    Label12 =
        MakeSizedLabel(Frame4, "Label12", QStringLiteral("目标局域网主机名:"), TwipsRect(150, 390, 1530, 180), black);
    m_label[0] = MakeWrappedLabel(Frame4, "Label(0)", QStringLiteral("请注意选择 MPQ 文件，多个 MPQ 都有局域网主机名"),
                                  TwipsRect(150, 1260, 2055, 405), kGreyText);

    // The inputs are the window's own children, created after the frames so that they lie above them.
    QStringList mpqNames{QStringLiteral("War3Patch.mpq"), QStringLiteral("War3xLocal.mpq"), QStringLiteral("War3x.mpq"),
                         QStringLiteral("War3.mpq")};
    cboMpqFileName = MakeDropDownList(this, "cboMpqFileName", mpqNames, TwipsRect(300, 1710, 2840, 315));
    btnCompressMpq = MakeButton(this, "btnCompressMpq", QStringLiteral("压缩(&Z)"), TwipsRect(2130, 2160, 990, 360));

    QStringList items;
    for (const mods::ResourceItem& item : mods::ResourceItems())
        items << Q(item.entryText);
    cboItemToModify = MakeDropDownList(this, "cboItemToModify", items, TwipsRect(4800, 1380, 2660, 315));
    txtDestForGameModification = MakeTextBox(this, "txtDestForGameModification", TwipsRect(4800, 1740, 2055, 270));
    btnBrowserForModificationDest =
        MakeButton(this, "btnBrowserForModificationDest", QStringLiteral("..."), TwipsRect(6870, 1740, 570, 270));
    chkExtract = MakeChoice<QCheckBox>(this, "chkExtract", QStringLiteral("提取[&E]"), TwipsRect(3570, 2220, 915, 255));
    chkDelete = MakeChoice<QCheckBox>(this, "chkDelete", QStringLiteral("删除[&D]"), TwipsRect(4620, 2220, 945, 255));
    btnDoModificationForGeneral = MakeButton(this, "btnDoModificationForGeneral", QStringLiteral("执行操作(&B)"),
                                             TwipsRect(5970, 2160, 1470, 360));

    optMouseNightElf =
        MakeChoice<QRadioButton>(this, "optMouseNightElf", QStringLiteral("暗夜精灵"), TwipsRect(360, 3480, 1215, 255));
    optMouseOrc =
        MakeChoice<QRadioButton>(this, "optMouseOrc", QStringLiteral("兽族"), TwipsRect(1620, 3480, 1215, 255));
    optMouseHuman =
        MakeChoice<QRadioButton>(this, "optMouseHuman", QStringLiteral("人族"), TwipsRect(360, 3750, 1215, 255));
    optMouseUndead =
        MakeChoice<QRadioButton>(this, "optMouseUndead", QStringLiteral("亡灵天灾"), TwipsRect(1620, 3750, 1215, 255));
    m_mouseGroup = new QButtonGroup(this);
    m_mouseGroup->setObjectName(QStringLiteral("mouseRaceGroup"));
    m_mouseGroup->setExclusive(true);
    for (QRadioButton* option : {optMouseNightElf, optMouseOrc, optMouseHuman, optMouseUndead})
        m_mouseGroup->addButton(option);
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
    btnDoModificationForMouse =
        MakeButton(this, "btnDoModificationForMouse", QStringLiteral("修改(&M)"), TwipsRect(2130, 4080, 990, 360));

    txtLanGameName = MakeTextBox(this, "txtLanGameName", TwipsRect(3570, 3570, 3855, 270));
    btnDoModificationForLanGameName = MakeButton(this, "btnDoModificationForLanGameName",
                                                 QStringLiteral("确认修改(&L)"), TwipsRect(5970, 4080, 1470, 360));

    // What a screen reader says for each control: the inputs are named after the label beside them
    // (which lies in another container, where Qt does not look for it), "..." after what it does.
    PicTop->setAccessibleName(Q(kAboutLine));
    ImgLogo->setAccessibleName(Q(kAppTitle));
    // A list is also described by its label: on Linux, Qt gives a list its chosen entry as its name.
    for (const auto& [list, label] : {std::pair{cboMpqFileName, QStringLiteral("选择 MPQ 文件")},
                                      std::pair{cboItemToModify, QStringLiteral("要修改的项目")}}) {
        list->setAccessibleName(label);
        list->setAccessibleDescription(label);
    }
    txtDestForGameModification->setAccessibleName(QStringLiteral("选择目标文件"));
    btnBrowserForModificationDest->setAccessibleName(QStringLiteral("浏览目标文件"));
    txtLanGameName->setAccessibleName(QStringLiteral("目标局域网主机名"));

    // Ascending tab index over the controls that take the focus; frames and labels never do.
    const std::initializer_list<QWidget*> tabOrder{txtDestForGameModification,
                                                   cboItemToModify,
                                                   cboMpqFileName,
                                                   PicTop,
                                                   btnCompressMpq,
                                                   btnDoModificationForGeneral,
                                                   btnBrowserForModificationDest,
                                                   chkDelete,
                                                   chkExtract,
                                                   btnDoModificationForMouse,
                                                   optMouseUndead,
                                                   optMouseHuman,
                                                   optMouseOrc,
                                                   optMouseNightElf,
                                                   btnDoModificationForLanGameName,
                                                   txtLanGameName};
    QWidget* previous = nullptr;
    for (QWidget* widget : tabOrder) {
        if (previous)
            setTabOrder(previous, widget);
        previous = widget;
    }
    txtDestForGameModification->setFocus(Qt::OtherFocusReason);
}

void FrmMain::ConnectHandlers() {
    // Change is every report of a new text; Click is a choice, also of the entry already chosen;
    // Scroll is the drop-down list scrolling. A user's choice of another entry reports both a new
    // text and a choice, so the handler runs twice then; both handlers only read, so that is harmless.
    connect(cboMpqFileName, &QComboBox::currentTextChanged, this, [this] { cboMpqFileName_Change(); });
    connect(cboMpqFileName, &QComboBox::activated, this, [this] { cboMpqFileName_Click(); });
    connect(cboMpqFileName->view()->verticalScrollBar(), &QScrollBar::valueChanged, this,
            [this] { cboMpqFileName_Scroll(); });

    connect(cboItemToModify, &QComboBox::currentTextChanged, this, [this] { cboItemToModify_Change(); });
    connect(cboItemToModify, &QComboBox::activated, this, [this] { cboItemToModify_Click(); });
    connect(cboItemToModify->view()->verticalScrollBar(), &QScrollBar::valueChanged, this,
            [this] { cboItemToModify_Scroll(); });
    cboItemToModify->installEventFilter(this);
    cboMpqFileName->installEventFilter(this);

    connect(btnBrowserForModificationDest, &QPushButton::clicked, this,
            [this] { btnBrowserForModificationDest_Click(); });
    connect(btnDoModificationForGeneral, &QPushButton::clicked, this, [this] { btnDoModificationForGeneral_Click(); });
    connect(btnDoModificationForLanGameName, &QPushButton::clicked, this,
            [this] { btnDoModificationForLanGameName_Click(); });
    connect(btnDoModificationForMouse, &QPushButton::clicked, this, [this] { btnDoModificationForMouse_Click(); });
    connect(btnCompressMpq, &QPushButton::clicked, this, [this] { btnCompressMpq_Click(); });
}

bool FrmMain::eventFilter(QObject* watched, QEvent* event) {
    if (watched == cboItemToModify && event->type() == QEvent::FocusOut)
        cboItemToModify_LostFocus();
    // As on Windows, rolling the wheel over a list that does not hold the focus changes nothing.
    if ((watched == cboMpqFileName || watched == cboItemToModify) && event->type() == QEvent::Wheel &&
        !static_cast<QWidget*>(watched)->hasFocus())
        return true;
    return QWidget::eventFilter(watched, event);
}

void FrmMain::closeEvent(QCloseEvent* event) {
    // Closing in the middle of an archive operation would end it half done; the window refuses, as
    // it refuses any other input until the operation ends.
    if (m_operationRunning) {
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
// Start-up

void FrmMain::Form_Initialize() {
    Guarded([] { (void)mStyleXP::InitXPStyle(); });
}

bool FrmMain::Form_Load() {
    Guarded([this] { setWindowTitle(Q(kCaption)); });
    Guarded([this] { m_label[4]->setGeometry(TwipsRect(240, 180, 5475, 180)); });
    Guarded([this] {
        m_label[4]->setText(Q(kAboutLine));
        m_label[4]->adjustSize();
    });
    Guarded([this] { m_label[3]->setGeometry(TwipsRect(600, 480, 5850, 180)); });
    Guarded([this] {
        m_label[3]->setText(Q(kFeatureLine));
        m_label[3]->adjustSize();
    });
    Guarded([this] { mStyleFlat::MakeFormFlat(this); });

    GamePathWarning warning = GamePathWarning::None;
    Guarded([this, &warning] {
        const GamePathDecision decision = m_decideGamePath();
        warning = decision.warning;
        if (warning == GamePathWarning::None)
            modPublicVars::GamePath = decision.gamePath;
    });
    if (warning != GamePathWarning::None) {
        // The window was never shown, so the warning has no owner.
        Guarded([warning] {
            ui_prompts::ShowMessage(nullptr, Q(kWarningTitle), Q(GamePathWarningText(warning)),
                                    ui_prompts::Icon::Exclamation, ui_prompts::Buttons::Ok);
        });
        return false;
    }

    Guarded([this] {
        modPublicVars::MpqName = kDefaultMpqName;
        ChooseComboEntry(cboMpqFileName, Q(modPublicVars::MpqName));
    });
    Guarded([this] { ChooseComboEntry(cboItemToModify, Q(kDefaultItem)); });
    return true;
}

void FrmMain::ChooseComboEntry(QComboBox* combo, const QString& text) {
    const int index = combo->findText(text, Qt::MatchExactly);
    if (index < 0)
        return;
    if (index == combo->currentIndex()) {
        // Choosing the entry already chosen reports no change of text but is still a choice.
        if (combo == cboMpqFileName)
            cboMpqFileName_Click();
        else if (combo == cboItemToModify)
            cboItemToModify_Click();
        return;
    }
    combo->setCurrentIndex(index); // runs the Change handler
}

// ---------------------------------------------------------------------------------------------
// Archive selection and the display of what the archive holds

void FrmMain::cboMpqFileName_Click() {
    cboMpqFileName_Change();
}

void FrmMain::cboMpqFileName_Scroll() {
    cboMpqFileName_Change();
}

void FrmMain::cboMpqFileName_Change() {
    (void)RunOperation([this] {
        modPublicVars::MpqName = U(cboMpqFileName->currentText());
        MpqControl().SetMpqFileName(ArchivePath(modPublicVars::GamePath, modPublicVars::MpqName));
        RefreshCurrentSettings();
    });
}

void FrmMain::RefreshCurrentSettings() {
    // Whatever is not found leaves its control as it was, even showing the previous archive's value.
    Guarded([this] {
        if (const auto name = mods::ReadLanGameName(MpqControl()))
            txtLanGameName->setText(Q(*name));
    });
    Guarded([this] {
        const auto race = mods::ReadCursorRace(MpqControl());
        if (!race)
            return;
        switch (*race) {
        case mods::Race::Human:
            optMouseHuman->setChecked(true);
            break;
        case mods::Race::Orc:
            optMouseOrc->setChecked(true);
            break;
        case mods::Race::NightElf:
            optMouseNightElf->setChecked(true);
            break;
        case mods::Race::Undead:
            optMouseUndead->setChecked(true);
            break;
        }
    });
}

// ---------------------------------------------------------------------------------------------
// Resource replacement

void FrmMain::cboItemToModify_Change() {
    cboItemToModify_Scroll();
}

void FrmMain::cboItemToModify_Click() {
    cboItemToModify_Scroll();
}

void FrmMain::cboItemToModify_LostFocus() {
    cboItemToModify_Scroll();
}

void FrmMain::cboItemToModify_Scroll() {
    Guarded([this] {
        // A text that names no entry keeps the item chosen before.
        if (const mods::ResourceItem* item = mods::FindResourceItem(U(cboItemToModify->currentText()))) {
            m_itemFileAddress = item->fileAddress;
            m_itemFileFilter = item->fileFilter;
        }
    });
}

void FrmMain::btnBrowserForModificationDest_Click() {
    if (!Guarded([this] {
            clsCommonDialog& dialog = CommonDialog();
            dialog.SetFilter(Q(m_itemFileFilter));
            const bool confirmed = chkExtract->isChecked() ? dialog.ShowSave() : dialog.ShowOpen();
            txtDestForGameModification->setText(confirmed ? dialog.FileName() : QString());
        }))
        ShowOperationError();
}

void FrmMain::btnDoModificationForGeneral_Click() {
    std::optional<mods::Outcome> outcome;
    const bool completed = RunOperation([this, &outcome] {
        const mods::ResourceMode mode = mods::ResourceModeFor(chkExtract->isChecked(), chkDelete->isChecked());
        outcome =
            mods::RunResourceOperation(MpqControl(), mode, m_itemFileAddress, U(txtDestForGameModification->text()));
    });
    ShowResult(completed, outcome);
}

// ---------------------------------------------------------------------------------------------
// LAN game name, cursor race, compaction

bool FrmMain::SetString(std::u16string ProcString, std::u16string ModName, std::u16string NewModStr,
                        std::u16string& NewText, std::u16string& OldModStr) {
    return mods::SetString(std::move(ProcString), std::move(ModName), std::move(NewModStr), NewText, OldModStr);
}

void FrmMain::btnDoModificationForLanGameName_Click() {
    std::optional<mods::Outcome> outcome;
    const bool completed =
        RunOperation([this, &outcome] { outcome = mods::WriteLanGameName(MpqControl(), U(txtLanGameName->text())); });
    ShowResult(completed, outcome);
}

void FrmMain::btnDoModificationForMouse_Click() {
    std::optional<mods::Outcome> outcome;
    const bool completed = RunOperation([this, &outcome] {
        // The buttons are read in the race table's order; the first selected one decides.
        std::optional<mods::Race> race;
        if (optMouseHuman->isChecked())
            race = mods::Race::Human;
        else if (optMouseOrc->isChecked())
            race = mods::Race::Orc;
        else if (optMouseNightElf->isChecked())
            race = mods::Race::NightElf;
        else if (optMouseUndead->isChecked())
            race = mods::Race::Undead;
        outcome = mods::WriteCursorRace(MpqControl(), race);
    });
    ShowResult(completed, outcome);
}

void FrmMain::btnCompressMpq_Click() {
    if (!Guarded([this] {
            const ui_prompts::Answer answer = ui_prompts::ShowMessage(
                this, Q(kAppTitle), Q(mods::kCompactQuestion), ui_prompts::Icon::Question, ui_prompts::Buttons::YesNo);
            if (answer != ui_prompts::Answer::Yes)
                return;
            std::optional<mods::Outcome> outcome;
            const bool completed = RunOperation([this, &outcome] { outcome = mods::CompactArchive(MpqControl()); });
            ShowResult(completed, outcome);
        }))
        ShowOperationError();
}

// ---------------------------------------------------------------------------------------------

clsMpqControl& FrmMain::MpqControl() {
    if (!m_mpqControl) {
        m_mpqControl = std::make_unique<clsMpqControl>();
        m_mpqControl->SetProgress([this](std::uint64_t, std::uint64_t) { KeepWindowAlive(); });
    }
    return *m_mpqControl;
}

void FrmMain::SetMpqEngine(std::shared_ptr<MpqEngine> engine) {
    const std::u16string mpqFileName = m_mpqControl ? m_mpqControl->MpqFileName() : std::u16string();
    m_mpqControl = std::make_unique<clsMpqControl>(std::move(engine));
    m_mpqControl->SetMpqFileName(mpqFileName);
    m_mpqControl->SetProgress([this](std::uint64_t, std::uint64_t) { KeepWindowAlive(); });
}

template <typename Step> bool FrmMain::RunOperation(Step&& step) {
    // Nothing can start a second operation while one runs (its own callbacks included).
    if (m_operationRunning)
        return true;
    m_operationRunning = true;
    bool completed = false;
    {
        const InputBlock block;
        completed = Guarded(std::forward<Step>(step));
    }
    m_operationRunning = false;
    return completed;
}

void FrmMain::KeepWindowAlive() {
    // Paints, timers and the desktop's ping, but no click or key: those wait until the end.
    if (m_keepingAlive)
        return;
    m_keepingAlive = true;
    Guarded([] { QCoreApplication::processEvents(QEventLoop::ExcludeUserInputEvents); });
    m_keepingAlive = false;
}

void FrmMain::ShowResult(bool completed, const std::optional<mods::Outcome>& outcome) {
    if (!completed) {
        ShowOperationError();
        return;
    }
    // No outcome: another operation was running and this one never started.
    if (outcome && !Guarded([this, &outcome] { ShowOutcome(*outcome); }))
        ShowOperationError();
}

clsCommonDialog& FrmMain::CommonDialog() {
    if (!m_commonDialog)
        m_commonDialog = std::make_unique<clsCommonDialog>();
    return *m_commonDialog;
}

void FrmMain::ShowOutcome(const mods::Outcome& outcome) {
    ui_prompts::ShowMessage(this, Q(kAppTitle), Q(outcome.text), PromptIcon(outcome.icon), ui_prompts::Buttons::Ok);
}

void FrmMain::ShowOperationError() {
    Guarded([this] {
        ui_prompts::ShowMessage(this, Q(kAppTitle), QStringLiteral("操作过程中发生错误."),
                                ui_prompts::Icon::Exclamation, ui_prompts::Buttons::Ok);
    });
}
