#pragma once
// The monitor's DPI, which the layout's twips are converted at (window::PixelsFromTwips). The
// per-monitor DPI functions are looked up at run time: Windows before 10 (1607) and Wine may lack
// them, and then the screen's one DPI counts.
#include "support/win32.h"

namespace winui {

constexpr unsigned kDefaultDpi = 96;

// Asks for per-monitor DPI awareness (version 2, else version 1, else system awareness) where the
// manifest's request was not honoured. Call before the first window exists.
void EnableDpiAwareness();
// The DPI the window is shown at: GetDpiForWindow where it exists, else the screen's.
unsigned DpiForWindow(HWND hwnd);
// The outer window size that gives a client area of the given size at a DPI.
SIZE WindowSizeForClient(SIZE client, DWORD style, DWORD exStyle, unsigned dpi);

} // namespace winui
