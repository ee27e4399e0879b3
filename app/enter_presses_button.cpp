#include "app/enter_presses_button.h"

#include <QApplication>
#include <QKeyEvent>
#include <QPushButton>

namespace enter_presses_button {

namespace {

// The keypad's Enter arrives with the keypad modifier; with Shift, Ctrl or Alt it is another key.
bool PressesButton(const QKeyEvent& key) {
    return (key.key() == Qt::Key_Return || key.key() == Qt::Key_Enter) &&
           (key.modifiers() & ~Qt::KeypadModifier) == Qt::NoModifier;
}

class EnterFilter final : public QObject {
public:
    explicit EnterFilter(QObject* parent) : QObject(parent) {}

    bool eventFilter(QObject* watched, QEvent* event) override {
        if (event->type() != QEvent::KeyPress)
            return false;
        auto* button = qobject_cast<QPushButton*>(watched);
        // A key a child passed up is not the button's own: only the focused button is pressed.
        if (button == nullptr || !button->hasFocus() || !button->isEnabled())
            return false;
        if (!PressesButton(*static_cast<const QKeyEvent*>(event)))
            return false;
        button->click();
        return true;
    }
};

constexpr const char* kFilterName = "enterPressesButton";

} // namespace

bool Install() {
    auto* application = qobject_cast<QApplication*>(QCoreApplication::instance());
    if (application == nullptr)
        return false;
    if (application->findChild<QObject*>(QLatin1String(kFilterName), Qt::FindDirectChildrenOnly) == nullptr) {
        auto* filter = new EnterFilter(application);
        filter->setObjectName(QLatin1String(kFilterName));
        application->installEventFilter(filter);
    }
    return true;
}

} // namespace enter_presses_button
