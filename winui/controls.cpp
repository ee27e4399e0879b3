#include "winui/controls.h"

#include <commctrl.h>

namespace winui {

namespace {

constexpr wchar_t kBannerClass[] = L"OstrawenBanner";

std::wstring ComboItem(HWND combo, int index) {
    const LRESULT length = SendMessageW(combo, CB_GETLBTEXTLEN, static_cast<WPARAM>(index), 0);
    if (length == CB_ERR) {
        return {};
    }
    std::wstring text(static_cast<std::size_t>(length) + 1, L'\0');
    const LRESULT copied =
        SendMessageW(combo, CB_GETLBTEXT, static_cast<WPARAM>(index), reinterpret_cast<LPARAM>(text.data()));
    text.resize(copied == CB_ERR ? 0 : static_cast<std::size_t>(copied));
    return text;
}

} // namespace

void NotifyParent(const WindowBase& control, int code) {
    SendMessageW(GetParent(control.Hwnd()), WM_COMMAND, MAKEWPARAM(control.Id(), code),
                 reinterpret_cast<LPARAM>(control.Hwnd()));
}

bool ButtonCtrl::Create(HWND parent, int id, std::wstring_view caption) {
    return CreateChild(parent, L"BUTTON", WS_VISIBLE | WS_TABSTOP | WS_GROUP | BS_PUSHBUTTON, 0, id, caption);
}

void ButtonCtrl::Click() {
    SendMessageW(Hwnd(), BM_CLICK, 0, 0);
}

void ButtonCtrl::MakeFlat() {
    SetWindowLongPtrW(Hwnd(), GWL_STYLE, static_cast<LONG_PTR>(kFlatStyle));
    // The button keeps its place; only its frame is drawn anew.
    SetWindowPos(Hwnd(), nullptr, 0, 0, 0, 0,
                 SWP_NOMOVE | SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE | SWP_FRAMECHANGED);
    InvalidateRect(Hwnd(), nullptr, TRUE);
}

bool CheckCtrl::Create(HWND parent, int id, std::wstring_view caption) {
    return CreateChild(parent, L"BUTTON", WS_VISIBLE | WS_TABSTOP | WS_GROUP | BS_AUTOCHECKBOX | BS_FLAT, 0, id,
                       caption);
}

bool CheckCtrl::IsChecked() const {
    return SendMessageW(Hwnd(), BM_GETCHECK, 0, 0) == BST_CHECKED;
}

void CheckCtrl::SetChecked(bool checked) {
    SendMessageW(Hwnd(), BM_SETCHECK, checked ? BST_CHECKED : BST_UNCHECKED, 0);
}

bool RadioCtrl::Create(HWND parent, int id, std::wstring_view caption, bool firstOfGroup) {
    const DWORD group = firstOfGroup ? WS_GROUP | WS_TABSTOP : 0;
    return CreateChild(parent, L"BUTTON", WS_VISIBLE | group | BS_AUTORADIOBUTTON | BS_FLAT, 0, id, caption);
}

bool RadioCtrl::IsChecked() const {
    return SendMessageW(Hwnd(), BM_GETCHECK, 0, 0) == BST_CHECKED;
}

void RadioCtrl::SetChecked(bool checked) {
    SendMessageW(Hwnd(), BM_SETCHECK, checked ? BST_CHECKED : BST_UNCHECKED, 0);
}

bool EditCtrl::Create(HWND parent, int id) {
    if (!CreateChild(parent, L"EDIT", WS_VISIBLE | WS_TABSTOP | WS_GROUP | ES_LEFT | ES_AUTOHSCROLL, WS_EX_CLIENTEDGE,
                     id, {})) {
        return false;
    }
    // The default limit is 32767 characters; a text box here takes whatever is pasted.
    SendMessageW(Hwnd(), EM_SETLIMITTEXT, 0, 0);
    return true;
}

bool ComboCtrl::Create(HWND parent, int id) {
    return CreateChild(parent, L"COMBOBOX", WS_VISIBLE | WS_TABSTOP | WS_GROUP | WS_VSCROLL | CBS_DROPDOWNLIST, 0, id,
                       {});
}

void ComboCtrl::AddItem(std::wstring_view text) {
    const std::wstring item(text);
    SendMessageW(Hwnd(), CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(item.c_str()));
}

int ComboCtrl::Count() const {
    return static_cast<int>(SendMessageW(Hwnd(), CB_GETCOUNT, 0, 0));
}

std::wstring ComboCtrl::ItemText(int index) const {
    return ComboItem(Hwnd(), index);
}

int ComboCtrl::Selection() const {
    return static_cast<int>(SendMessageW(Hwnd(), CB_GETCURSEL, 0, 0));
}

void ComboCtrl::SetSelection(int index) {
    SendMessageW(Hwnd(), CB_SETCURSEL, static_cast<WPARAM>(index), 0);
}

bool GroupBoxCtrl::Create(HWND parent, int id, std::wstring_view caption) {
    if (!CreateChild(parent, L"BUTTON", WS_VISIBLE | WS_CLIPSIBLINGS | BS_GROUPBOX, 0, id, caption)) {
        return false;
    }
    return SetWindowSubclass(Hwnd(), &GroupBoxCtrl::Proc, 1, 0) != FALSE;
}

LRESULT CALLBACK GroupBoxCtrl::Proc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam, UINT_PTR, DWORD_PTR) {
    switch (message) {
    case WM_ERASEBKGND: {
        auto dc = reinterpret_cast<HDC>(wParam);
        auto brush = reinterpret_cast<HBRUSH>(
            SendMessageW(GetParent(hwnd), WM_CTLCOLORSTATIC, wParam, reinterpret_cast<LPARAM>(hwnd)));
        if (brush == nullptr) {
            break;
        }
        RECT client{};
        GetClientRect(hwnd, &client);
        FillRect(dc, &client, brush);
        return 1;
    }
    case WM_NCDESTROY:
        RemoveWindowSubclass(hwnd, &GroupBoxCtrl::Proc, 1);
        break;
    default:
        break;
    }
    return DefSubclassProc(hwnd, message, wParam, lParam);
}

bool LabelCtrl::Create(HWND parent, int id, std::wstring_view text) {
    return CreateChild(parent, L"STATIC", WS_VISIBLE | SS_LEFT | SS_NOPREFIX, 0, id, text);
}

void LabelCtrl::SizeToText() {
    const RECT bounds = Bounds();
    const SIZE size = TextExtent();
    SetBounds(RECT{bounds.left, bounds.top, bounds.left + size.cx, bounds.top + size.cy});
}

bool BannerCtrl::Create(HWND parent, int id) {
    if (!RegisterWindowClass(kBannerClass, &BannerCtrl::Proc, false)) {
        return false;
    }
    HINSTANCE instance = GetModuleHandleW(nullptr);
    m_background.Reset(CreateSolidBrush(kBackground));
    // The icon's 48 x 48 image; a program without the icon resource shows the banner without it.
    m_icon.Reset(static_cast<HICON>(LoadImageW(instance, L"IDI_ICON1", IMAGE_ICON, 48, 48, LR_DEFAULTCOLOR)));
    if (!CreateChild(parent, kBannerClass, WS_VISIBLE | WS_TABSTOP | WS_GROUP | WS_CLIPCHILDREN, 0, id, {})) {
        return false;
    }
    SetWindowLongPtrW(Hwnd(), GWLP_USERDATA, reinterpret_cast<LONG_PTR>(this));
    return true;
}

void BannerCtrl::SetArt(POINT lineFrom, POINT lineTo, int lineWidth, const RECT& logo) {
    m_lineFrom = lineFrom;
    m_lineTo = lineTo;
    m_logo = logo;
    m_linePen.Reset(CreatePen(PS_SOLID, lineWidth, kLine));
    InvalidateRect(Hwnd(), nullptr, TRUE);
}

LRESULT CALLBACK BannerCtrl::Proc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
    auto* self = reinterpret_cast<BannerCtrl*>(GetWindowLongPtrW(hwnd, GWLP_USERDATA));
    if (self != nullptr) {
        switch (message) {
        case WM_ERASEBKGND:
            return 1; // painted whole in WM_PAINT, without flicker
        case WM_PAINT:
            self->Paint();
            return 0;
        case WM_CTLCOLORSTATIC:
        case WM_COMMAND:
            return SendMessageW(GetParent(hwnd), message, wParam, lParam);
        case WM_GETDLGCODE:
            return 0; // takes the focus on Tab, wants no keys of its own
        default:
            break;
        }
    }
    return DefWindowProcW(hwnd, message, wParam, lParam);
}

void BannerCtrl::Paint() {
    PAINTSTRUCT paint{};
    HDC dc = BeginPaint(Hwnd(), &paint);
    RECT client{};
    GetClientRect(Hwnd(), &client);
    FillRect(dc, &client, m_background.Get());
    if (m_linePen) {
        HGDIOBJ old = SelectObject(dc, m_linePen.Get());
        MoveToEx(dc, m_lineFrom.x, m_lineFrom.y, nullptr);
        LineTo(dc, m_lineTo.x, m_lineTo.y);
        SelectObject(dc, old);
    }
    if (m_icon) {
        DrawIconEx(dc, m_logo.left, m_logo.top, m_icon.Get(), m_logo.right - m_logo.left, m_logo.bottom - m_logo.top, 0,
                   nullptr, DI_NORMAL);
    }
    EndPaint(Hwnd(), &paint);
}

} // namespace winui
