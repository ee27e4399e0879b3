#pragma once
// Flat push buttons: the window's buttons are drawn without a raised frame, as the toolbar-like
// banner look of the window wants. Nothing but push buttons is touched.
class QPushButton;
class QWidget;

namespace mStyleFlat {

// Makes every QPushButton among the window's widgets, at any depth, flat and visible, in the order
// the window created them. Labels, frames, text boxes, lists, check boxes and option buttons are left
// alone. A null window does nothing.
void MakeFormFlat(QWidget* form);

// Makes one push button flat, no longer a default button, and visible; its place and size stay.
void MakeButtonFlat(QPushButton* button);

} // namespace mStyleFlat
