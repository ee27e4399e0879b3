#pragma once
// The wiring between the Win32 view and the window's logic: each control event the view reports
// calls the logic's handler of that control and event, and closing asks the logic first. Nothing
// else: what the handlers do is the logic's.
#include "window/main_window.h"
#include "winui/win32_view.h"

namespace winui {

void BindWindow(Win32View& view, window::MainWindow& logic);

} // namespace winui
