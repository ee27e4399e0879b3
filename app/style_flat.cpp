#include "app/style_flat.h"

#include <QPushButton>
#include <QWidget>

namespace mStyleFlat {

void MakeFormFlat(QWidget* form) {
    if (form == nullptr) {
        return;
    }
    const QList<QPushButton*> buttons = form->findChildren<QPushButton*>();
    for (QPushButton* button : buttons) {
        MakeButtonFlat(button);
    }
}

void MakeButtonFlat(QPushButton* button) {
    if (button == nullptr) {
        return;
    }
    // A flat button is a plain push button: whatever made it the default one goes with the new look.
    button->setFlat(true);
    button->setDefault(false);
    if (button->isHidden()) {
        // Showing a button that was never sized would fit it to its text; it keeps its rectangle.
        const QRect geometry = button->geometry();
        button->setVisible(true);
        if (button->geometry() != geometry) {
            button->setGeometry(geometry);
        }
    }
}

} // namespace mStyleFlat
