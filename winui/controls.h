#pragma once
// The window's controls, one small class per kind over WindowBase. Each Create makes the child
// window with the styles its kind needs; the colours they are painted in are answered by the parent
// (WM_CTLCOLOR*), except the banner, which paints itself.
#include "winui/gdi_objects.h"
#include "winui/window_base.h"

#include <string>
#include <string_view>

namespace winui {

// A push button; never the default (Enter) or cancel (Esc) button of the window.
class ButtonCtrl : public WindowBase {
public:
    bool Create(HWND parent, int id, std::wstring_view caption);
    // As a click by the user: the parent gets BN_CLICKED.
    void Click();
    // The flat look: the style becomes a plain push button with BS_FLAT. It stays visible, a tab
    // stop and the start of its own dialog group, which the bare child-and-flat style would drop
    // (the button would leave the tab order and vanish).
    void MakeFlat();
    static constexpr DWORD kFlatStyle = WS_CHILD | WS_VISIBLE | WS_TABSTOP | WS_GROUP | BS_PUSHBUTTON | BS_FLAT;
};

// A check box: flat, unchecked at creation.
class CheckCtrl : public WindowBase {
public:
    bool Create(HWND parent, int id, std::wstring_view caption);
    bool IsChecked() const;
    void SetChecked(bool checked);
};

// An option button; the first of a group starts the group and holds the group's tab stop. The
// player's click clears the others of its group; SetChecked touches this button only.
class RadioCtrl : public WindowBase {
public:
    bool Create(HWND parent, int id, std::wstring_view caption, bool firstOfGroup);
    bool IsChecked() const;
    void SetChecked(bool checked);
};

// A one-line text box with the standard sunken border and no length limit.
class EditCtrl : public WindowBase {
public:
    bool Create(HWND parent, int id);
};

// A drop-down list: the user picks an entry, never types. No entry is chosen at creation.
class ComboCtrl : public WindowBase {
public:
    bool Create(HWND parent, int id);
    void AddItem(std::wstring_view text);
    int Count() const;
    std::wstring ItemText(int index) const;
    // -1 when nothing is chosen. Setting the selection sends no notification.
    int Selection() const;
    void SetSelection(int index);
};

// A group box: the etched frame with its caption; it takes no focus and no clicks. It fills its
// inside with the background its parent gives it (WM_CTLCOLORSTATIC), which a system group box
// leaves unpainted, and never paints over the controls laid on it (WS_CLIPSIBLINGS, below them).
class GroupBoxCtrl : public WindowBase {
public:
    bool Create(HWND parent, int id, std::wstring_view caption);

private:
    static LRESULT CALLBACK Proc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam, UINT_PTR, DWORD_PTR);
};

// A text label, shown as written ("&" is not an access key here), wrapping inside its rectangle.
class LabelCtrl : public WindowBase {
public:
    bool Create(HWND parent, int id, std::wstring_view text);
    // Takes the width and height of its one line of text, keeping its top-left corner.
    void SizeToText();
};

// The light-blue banner across the top: its background, the thin line near its lower edge and the
// application's 48 x 48 icon, all painted by the banner itself. It owns its brush, pen and icon. It
// is a tab stop, as the picture box it stands for, and the container of its labels, whose colour and
// command messages it passes on to its own parent.
class BannerCtrl : public WindowBase {
public:
    static constexpr COLORREF kBackground = RGB(234, 244, 255);
    static constexpr COLORREF kLine = RGB(159, 207, 255);

    bool Create(HWND parent, int id);
    // Where the line runs and where the icon stands, in the banner's client pixels; the pen is as
    // thick as one twips-pixel at the current DPI.
    void SetArt(POINT lineFrom, POINT lineTo, int lineWidth, const RECT& logo);
    HBRUSH Background() const { return m_background.Get(); }
    const RECT& LogoRect() const { return m_logo; }

private:
    static LRESULT CALLBACK Proc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam);
    void Paint();

    GdiBrush m_background;
    GdiPen m_linePen;
    IconHandle m_icon;
    POINT m_lineFrom{};
    POINT m_lineTo{};
    RECT m_logo{};
};

// Pushes a message to a control's parent as the control would: WM_COMMAND with the control's id
// and the notification code (BN_CLICKED, CBN_SELCHANGE, EN_CHANGE...).
void NotifyParent(const WindowBase& control, int code);

} // namespace winui
