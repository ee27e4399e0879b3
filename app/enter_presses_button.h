#pragma once
// Enter presses the focused push button, as on Windows. Qt presses a focused button only on Space
// unless it is a default button, and the window has none; Windows presses the focused button on
// Enter and on the keypad's Enter too. Installed once on the application, the filter clicks a
// focused, enabled QPushButton on Enter or keypad Enter without other modifiers and swallows the
// key; every other control (a drop-down list, a text box, a check box) keeps its own keys.
namespace enter_presses_button {

// Installs the filter on the running QApplication; false without one. A second call installs nothing.
bool Install();

} // namespace enter_presses_button
