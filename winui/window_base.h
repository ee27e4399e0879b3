#pragma once
// One window handle and the operations every control shares: text, font, place, enabled, visible.
// The object owns its HWND and destroys it when it goes; the controls built on it (controls.h) add
// only what their kind needs. Texts are UTF-16, as the W functions take them.
#include "support/win32.h"

#include <string>
#include <string_view>

namespace winui {

// Registers a window class of this program once (a second call finds it registered): the arrow
// cursor, and the program's icon when withIcon. False when Windows refused it.
bool RegisterWindowClass(const wchar_t* className, WNDPROC procedure, bool withIcon);

class WindowBase {
public:
    WindowBase() = default;
    virtual ~WindowBase();
    WindowBase(const WindowBase&) = delete;
    WindowBase& operator=(const WindowBase&) = delete;

    HWND Hwnd() const { return m_hwnd; }
    int Id() const;

    void SetText(std::wstring_view text);
    std::wstring Text() const;
    void SetFont(HFONT font);
    HFONT Font() const;
    // Place and size in the parent's client coordinates.
    void SetBounds(const RECT& bounds);
    RECT Bounds() const;
    void SetEnabled(bool enabled);
    bool IsEnabled() const;
    void SetVisible(bool visible);
    bool IsVisible() const;
    // The width and height of the text in the window's font, on one line.
    SIZE TextExtent() const;

protected:
    // Creates a child window of a system or registered class; false when Windows refused.
    bool CreateChild(HWND parent, const wchar_t* className, DWORD style, DWORD exStyle, int id, std::wstring_view text);
    // Takes ownership of a window created elsewhere (a top-level window in its WM_NCCREATE).
    void Adopt(HWND hwnd) { m_hwnd = hwnd; }
    // Forgets the window without destroying it (it is being destroyed already).
    void Release() { m_hwnd = nullptr; }

private:
    HWND m_hwnd = nullptr;
};

} // namespace winui
