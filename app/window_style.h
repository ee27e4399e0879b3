#pragma once
// The platform style with the few changes that make the window behave as its Windows original:
//  - a flat push button keeps a thin frame at rest, shows the keyboard focus (a dotted rectangle
//    once the keyboard has moved the focus), lights up under the pointer and darkens when pressed;
//    its size and text placement stay the platform style's;
//  - a drop-down list opens below its box (above it only where the screen ends), never over it;
//  - a group box is an etched frame (a dark line with a light line inside it, as Windows' groove)
//    with square corners, its caption on the frame's top line (the line's middle through the
//    caption's middle, the line broken behind it), nothing painted inside, so the box shows its own
//    background. A checkable group box stays the base style's.
// Everything else is the base style's own.
#include <QProxyStyle>

class WindowStyle final : public QProxyStyle {
    Q_OBJECT

public:
    // Takes ownership of `base` (nullptr: the application's default style).
    explicit WindowStyle(QStyle* base);

    void drawControl(ControlElement element, const QStyleOption* option, QPainter* painter,
                     const QWidget* widget = nullptr) const override;
    int styleHint(StyleHint hint, const QStyleOption* option = nullptr, const QWidget* widget = nullptr,
                  QStyleHintReturn* returnData = nullptr) const override;
    void drawComplexControl(ComplexControl control, const QStyleOptionComplex* option, QPainter* painter,
                            const QWidget* widget = nullptr) const override;
    QRect subControlRect(ComplexControl control, const QStyleOptionComplex* option, SubControl subControl,
                         const QWidget* widget = nullptr) const override;
};
