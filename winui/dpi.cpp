#include "winui/dpi.h"

#include <cstdint>

namespace winui {

namespace {

using GetDpiForWindowFn = UINT(WINAPI*)(HWND);
using AdjustWindowRectExForDpiFn = BOOL(WINAPI*)(RECT*, DWORD, BOOL, DWORD, UINT);
using SetProcessDpiAwarenessContextFn = BOOL(WINAPI*)(HANDLE);
using SetProcessDpiAwarenessFn = HRESULT(WINAPI*)(int);
using SetProcessDPIAwareFn = BOOL(WINAPI*)();

template <typename Fn> Fn Lookup(const wchar_t* module, const char* name) {
    HMODULE library = GetModuleHandleW(module);
    if (library == nullptr) {
        library = LoadLibraryW(module);
    }
    if (library == nullptr) {
        return nullptr;
    }
    // The cast from FARPROC is how every caller of GetProcAddress reaches a function's real type.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wcast-function-type"
    return reinterpret_cast<Fn>(GetProcAddress(library, name));
#pragma GCC diagnostic pop
}

// DPI_AWARENESS_CONTEXT_PER_MONITOR_AWARE_V2 and _PER_MONITOR_AWARE, as winuser.h defines them.
HANDLE AwarenessContext(std::intptr_t value) {
    return reinterpret_cast<HANDLE>(value);
}

} // namespace

void EnableDpiAwareness() {
    if (auto setContext = Lookup<SetProcessDpiAwarenessContextFn>(L"user32.dll", "SetProcessDpiAwarenessContext")) {
        if (setContext(AwarenessContext(-4)) != FALSE || setContext(AwarenessContext(-3)) != FALSE) {
            return;
        }
    }
    if (auto setAwareness = Lookup<SetProcessDpiAwarenessFn>(L"shcore.dll", "SetProcessDpiAwareness")) {
        if (SUCCEEDED(setAwareness(2))) { // PROCESS_PER_MONITOR_DPI_AWARE
            return;
        }
    }
    if (auto setAware = Lookup<SetProcessDPIAwareFn>(L"user32.dll", "SetProcessDPIAware")) {
        setAware();
    }
}

unsigned DpiForWindow(HWND hwnd) {
    static const auto getDpi = Lookup<GetDpiForWindowFn>(L"user32.dll", "GetDpiForWindow");
    if (getDpi != nullptr && hwnd != nullptr) {
        const UINT dpi = getDpi(hwnd);
        if (dpi != 0) {
            return dpi;
        }
    }
    HDC screen = GetDC(nullptr);
    const int dpi = screen != nullptr ? GetDeviceCaps(screen, LOGPIXELSY) : 0;
    if (screen != nullptr) {
        ReleaseDC(nullptr, screen);
    }
    return dpi > 0 ? static_cast<unsigned>(dpi) : kDefaultDpi;
}

SIZE WindowSizeForClient(SIZE client, DWORD style, DWORD exStyle, unsigned dpi) {
    static const auto adjustForDpi = Lookup<AdjustWindowRectExForDpiFn>(L"user32.dll", "AdjustWindowRectExForDpi");
    RECT rect{0, 0, client.cx, client.cy};
    if (adjustForDpi == nullptr || adjustForDpi(&rect, style, FALSE, exStyle, dpi) == FALSE) {
        rect = RECT{0, 0, client.cx, client.cy};
        AdjustWindowRectEx(&rect, style, FALSE, exStyle);
    }
    return SIZE{rect.right - rect.left, rect.bottom - rect.top};
}

} // namespace winui
