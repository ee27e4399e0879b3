#include "winui/window_base.h"

#include "winui/gdi_objects.h"

#include <cmath>
#include <string>

namespace winui {

bool RegisterWindowClass(const wchar_t* className, WNDPROC procedure, bool withIcon) {
    HINSTANCE instance = GetModuleHandleW(nullptr);
    WNDCLASSEXW windowClass{};
    windowClass.cbSize = sizeof windowClass;
    if (GetClassInfoExW(instance, className, &windowClass) != FALSE) {
        return true;
    }
    windowClass = WNDCLASSEXW{};
    windowClass.cbSize = sizeof windowClass;
    windowClass.lpfnWndProc = procedure;
    windowClass.hInstance = instance;
    windowClass.hCursor = LoadCursorW(nullptr, reinterpret_cast<LPCWSTR>(IDC_ARROW));
    if (withIcon) {
        windowClass.hIcon = static_cast<HICON>(LoadImageW(instance, L"IDI_ICON1", IMAGE_ICON, 0, 0, LR_DEFAULTSIZE));
        windowClass.hIconSm = static_cast<HICON>(LoadImageW(instance, L"IDI_ICON1", IMAGE_ICON, 16, 16, 0));
    }
    windowClass.lpszClassName = className;
    return RegisterClassExW(&windowClass) != 0;
}

GdiFont MakeFont(const wchar_t* face, double points, bool bold, unsigned dpi) {
    LOGFONTW font{};
    font.lfHeight = -static_cast<LONG>(std::lround(points * dpi / 72.0));
    font.lfWeight = bold ? FW_BOLD : FW_NORMAL;
    font.lfCharSet = DEFAULT_CHARSET;
    font.lfQuality = DEFAULT_QUALITY;
    wcsncpy(font.lfFaceName, face, LF_FACESIZE - 1);
    return GdiFont(CreateFontIndirectW(&font));
}

WindowBase::~WindowBase() {
    // A child is destroyed with its parent; the handle may then be gone already.
    if (m_hwnd != nullptr && IsWindow(m_hwnd)) {
        DestroyWindow(m_hwnd);
    }
}

bool WindowBase::CreateChild(HWND parent, const wchar_t* className, DWORD style, DWORD exStyle, int id,
                             std::wstring_view text) {
    const std::wstring caption(text);
    m_hwnd = CreateWindowExW(exStyle, className, caption.c_str(), style | WS_CHILD, 0, 0, 0, 0, parent,
                             reinterpret_cast<HMENU>(static_cast<INT_PTR>(id)), GetModuleHandleW(nullptr), nullptr);
    return m_hwnd != nullptr;
}

int WindowBase::Id() const {
    return GetDlgCtrlID(m_hwnd);
}

void WindowBase::SetText(std::wstring_view text) {
    const std::wstring copy(text);
    SetWindowTextW(m_hwnd, copy.c_str());
}

std::wstring WindowBase::Text() const {
    const int length = GetWindowTextLengthW(m_hwnd);
    std::wstring text(static_cast<std::size_t>(length) + 1, L'\0');
    const int copied = GetWindowTextW(m_hwnd, text.data(), length + 1);
    text.resize(static_cast<std::size_t>(copied > 0 ? copied : 0));
    return text;
}

void WindowBase::SetFont(HFONT font) {
    SendMessageW(m_hwnd, WM_SETFONT, reinterpret_cast<WPARAM>(font), TRUE);
}

HFONT WindowBase::Font() const {
    return reinterpret_cast<HFONT>(SendMessageW(m_hwnd, WM_GETFONT, 0, 0));
}

void WindowBase::SetBounds(const RECT& bounds) {
    SetWindowPos(m_hwnd, nullptr, bounds.left, bounds.top, bounds.right - bounds.left, bounds.bottom - bounds.top,
                 SWP_NOZORDER | SWP_NOACTIVATE);
}

RECT WindowBase::Bounds() const {
    RECT bounds{};
    GetWindowRect(m_hwnd, &bounds);
    MapWindowPoints(nullptr, GetParent(m_hwnd), reinterpret_cast<POINT*>(&bounds), 2);
    return bounds;
}

void WindowBase::SetEnabled(bool enabled) {
    EnableWindow(m_hwnd, enabled ? TRUE : FALSE);
}

bool WindowBase::IsEnabled() const {
    return IsWindowEnabled(m_hwnd) != FALSE;
}

void WindowBase::SetVisible(bool visible) {
    ShowWindow(m_hwnd, visible ? SW_SHOWNA : SW_HIDE);
}

bool WindowBase::IsVisible() const {
    return (GetWindowLongPtrW(m_hwnd, GWL_STYLE) & WS_VISIBLE) != 0;
}

SIZE WindowBase::TextExtent() const {
    SIZE size{};
    const std::wstring text = Text();
    HDC dc = GetDC(m_hwnd);
    if (dc == nullptr) {
        return size;
    }
    HGDIOBJ old = SelectObject(dc, Font());
    GetTextExtentPoint32W(dc, text.c_str(), static_cast<int>(text.size()), &size);
    SelectObject(dc, old);
    ReleaseDC(m_hwnd, dc);
    return size;
}

} // namespace winui
