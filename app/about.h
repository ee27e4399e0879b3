#pragma once
// The about line of the banner lives with the window's layout, which every view draws.
#include "window/window_layout.h"

using window::kAboutLine;
