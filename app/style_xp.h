#pragma once
// Gives the application the platform's own widget style before the window is built: the themed
// "windowsvista" style on Windows, Fusion elsewhere, inside WindowStyle (framed flat buttons, lists
// that open below their box, etched group boxes), and the Windows keyboard answer of push buttons
// (Enter presses the focused one, enter_presses_button.h).

namespace mStyleXP {

// True when the style could be made and set; false (and nothing changed) when the style is missing
// or no QApplication exists yet. Never throws.
bool InitXPStyle();

} // namespace mStyleXP
