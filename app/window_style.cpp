#include "app/window_style.h"

#include <QPainter>
#include <QStyleOptionButton>
#include <QStyleOptionGroupBox>

#include <algorithm>

namespace {

// One device-independent pixel, the width of every line of the flat button (two screen pixels at
// 200 %, as on Windows).
constexpr qreal kLine = 1.0;

QRectF InsideLine(const QRect& rect, qreal inset) {
    const qreal half = kLine / 2;
    return QRectF(rect).adjusted(inset + half, inset + half, -inset - half, -inset - half);
}

void DrawFlatPanel(const QStyleOptionButton& button, QPainter* painter) {
    const QPalette& palette = button.palette;
    const bool enabled = (button.state & QStyle::State_Enabled) != 0;
    const bool pressed = enabled && (button.state & (QStyle::State_Sunken | QStyle::State_On)) != 0;
    const bool hovered = enabled && !pressed && (button.state & QStyle::State_MouseOver) != 0;

    QColor fill = Qt::transparent;
    QColor frame = palette.color(enabled ? QPalette::Active : QPalette::Disabled, QPalette::Dark);
    if (pressed) {
        fill = palette.color(QPalette::Mid);
        frame = palette.color(QPalette::Shadow);
    } else if (hovered) {
        fill = palette.color(QPalette::Highlight);
        fill.setAlpha(48);
        frame = palette.color(QPalette::Highlight);
    }

    painter->save();
    painter->setRenderHint(QPainter::Antialiasing, false);
    if (fill.alpha() > 0)
        painter->fillRect(button.rect, fill);
    painter->setPen(QPen(frame, kLine));
    painter->setBrush(Qt::NoBrush);
    painter->drawRect(InsideLine(button.rect, 0));
    painter->restore();
}

void DrawFocusMark(const QStyleOptionButton& button, QPainter* painter) {
    painter->save();
    painter->setRenderHint(QPainter::Antialiasing, false);
    painter->setPen(QPen(button.palette.color(QPalette::ButtonText), kLine, Qt::DotLine));
    painter->setBrush(Qt::NoBrush);
    painter->drawRect(InsideLine(button.rect, 2));
    painter->restore();
}

// The group boxes this style draws itself: every one without a check box.
const QStyleOptionGroupBox* OwnGroupBox(QStyle::ComplexControl control, const QStyleOptionComplex* option) {
    const auto* box = qstyleoption_cast<const QStyleOptionGroupBox*>(option);
    if (control != QStyle::CC_GroupBox || box == nullptr || (box->subControls & QStyle::SC_GroupBoxCheckBox) != 0)
        return nullptr;
    return box;
}

// Where Windows puts a group box's caption: 8 pixels in from the edge it is aligned to (7 and the
// 1-pixel gap it clears in the frame on either side), on the box's first text line.
constexpr int kCaptionIndent = 8;

QRect CaptionRect(const QStyleOptionGroupBox& box) {
    if (box.text.isEmpty())
        return {};
    const QSize text = box.fontMetrics.size(Qt::TextShowMnemonic, box.text);
    const QRect& rect = box.rect;
    int left = rect.left() + kCaptionIndent;
    if ((box.textAlignment & Qt::AlignHCenter) != 0)
        left = rect.left() + (rect.width() - text.width()) / 2;
    else if ((box.textAlignment & Qt::AlignRight) != 0)
        left = rect.right() + 1 - kCaptionIndent - text.width();
    return {left, rect.top(), text.width(), box.fontMetrics.height()};
}

// The frame's top line runs through the middle of the caption's line, as Windows places it
// (half the text height less one: the dark line just above the middle, the light one on it).
QRect FrameRect(const QStyleOptionGroupBox& box) {
    return box.rect.adjusted(0, box.fontMetrics.height() / 2 - 1, 0, 0);
}

// Windows' etched edge (a groove): outside, a dark line along the top and left and a light one along
// the bottom and right; inside it the reverse. Each side thus shows a dark and a light line, and the
// corners are square.
void DrawEtchedFrame(const QRect& frame, bool flat, const QPalette& palette, QPainter* painter) {
    const QColor dark = palette.color(QPalette::Dark);
    const QColor light = palette.color(QPalette::Light);
    const int l = frame.left(), t = frame.top(), r = frame.right(), b = frame.bottom();
    if (flat) {
        painter->fillRect(QRect(l, t, frame.width(), 1), dark);
        painter->fillRect(QRect(l, t + 1, frame.width(), 1), light);
        return;
    }
    painter->fillRect(QRect(l, t, r - l, 1), dark);
    painter->fillRect(QRect(l, t, 1, b - t), dark);
    painter->fillRect(QRect(l, b, r - l + 1, 1), light);
    painter->fillRect(QRect(r, t, 1, b - t + 1), light);
    painter->fillRect(QRect(l + 1, t + 1, r - l - 2, 1), light);
    painter->fillRect(QRect(l + 1, t + 1, 1, b - t - 2), light);
    painter->fillRect(QRect(l + 1, b - 1, r - l - 1, 1), dark);
    painter->fillRect(QRect(r - 1, t + 1, 1, b - t - 1), dark);
}

} // namespace

WindowStyle::WindowStyle(QStyle* base) : QProxyStyle(base) {}

void WindowStyle::drawControl(ControlElement element, const QStyleOption* option, QPainter* painter,
                              const QWidget* widget) const {
    const auto* button = qstyleoption_cast<const QStyleOptionButton*>(option);
    if (element != CE_PushButton || button == nullptr || (button->features & QStyleOptionButton::Flat) == 0) {
        QProxyStyle::drawControl(element, option, painter, widget);
        return;
    }
    DrawFlatPanel(*button, painter);
    QStyleOptionButton label = *button;
    label.rect = proxy()->subElementRect(SE_PushButtonContents, button, widget);
    proxy()->drawControl(CE_PushButtonLabel, &label, painter, widget);
    // As on Windows, the mark appears once the keyboard has moved the focus, not after a click.
    if ((button->state & State_HasFocus) != 0 && (button->state & State_KeyboardFocusChange) != 0)
        DrawFocusMark(*button, painter);
}

int WindowStyle::styleHint(StyleHint hint, const QStyleOption* option, const QWidget* widget,
                           QStyleHintReturn* returnData) const {
    // Some styles open a list over its box with the chosen entry on top of it; Windows opens it below.
    if (hint == SH_ComboBox_Popup)
        return 0;
    return QProxyStyle::styleHint(hint, option, widget, returnData);
}

void WindowStyle::drawComplexControl(ComplexControl control, const QStyleOptionComplex* option, QPainter* painter,
                                     const QWidget* widget) const {
    const QStyleOptionGroupBox* box = OwnGroupBox(control, option);
    if (box == nullptr) {
        QProxyStyle::drawComplexControl(control, option, painter, widget);
        return;
    }
    painter->save();
    painter->setRenderHint(QPainter::Antialiasing, false);
    if ((box->subControls & SC_GroupBoxFrame) != 0) {
        const bool flat = (box->features & QStyleOptionFrame::Flat) != 0;
        DrawEtchedFrame(proxy()->subControlRect(CC_GroupBox, box, SC_GroupBoxFrame, widget), flat, box->palette,
                        painter);
    }
    const QRect caption = proxy()->subControlRect(CC_GroupBox, box, SC_GroupBoxLabel, widget);
    if ((box->subControls & SC_GroupBoxLabel) != 0 && !caption.isEmpty()) {
        // The frame is cleared behind the caption and a pixel either side, in the box's own colour.
        const QPalette::ColorRole background = widget != nullptr ? widget->backgroundRole() : QPalette::Window;
        painter->fillRect(caption.adjusted(-1, 0, 1, 0), box->palette.brush(background));
        QPalette palette = box->palette;
        if (box->textColor.isValid())
            palette.setColor(QPalette::WindowText, box->textColor);
        int flags = Qt::AlignLeft | Qt::AlignVCenter | Qt::TextShowMnemonic;
        if (proxy()->styleHint(SH_UnderlineShortcut, box, widget) == 0)
            flags |= Qt::TextHideMnemonic;
        proxy()->drawItemText(painter, caption, flags, palette, (box->state & State_Enabled) != 0, box->text,
                              QPalette::WindowText);
    }
    painter->restore();
}

QRect WindowStyle::subControlRect(ComplexControl control, const QStyleOptionComplex* option, SubControl subControl,
                                  const QWidget* widget) const {
    const QStyleOptionGroupBox* box = OwnGroupBox(control, option);
    if (box == nullptr)
        return QProxyStyle::subControlRect(control, option, subControl, widget);
    const QRect frame = FrameRect(*box);
    switch (subControl) {
    case SC_GroupBoxFrame:
        return frame;
    case SC_GroupBoxLabel:
        return CaptionRect(*box);
    case SC_GroupBoxContents: {
        // Inside both lines of the frame and below the caption's line.
        const int top = std::max(frame.top() + 2, box->rect.top() + box->fontMetrics.height());
        return QRect(QPoint(frame.left() + 2, top), QPoint(frame.right() - 2, frame.bottom() - 2));
    }
    default:
        return {};
    }
}
