#include "app/window_style.h"

#include <QPainter>
#include <QStyleOptionButton>

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
