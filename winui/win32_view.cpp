#include "winui/win32_view.h"

#include "winui/dpi.h"

#include <commctrl.h>
#include <commdlg.h>

#include <algorithm>
#include <memory>
#include <utility>

namespace winui {

namespace {

using window::ColourSource;
using window::ControlId;
using window::ControlKind;

constexpr wchar_t kWindowClass[] = L"OstrawenMainWindow";
constexpr DWORD kWindowStyle = WS_OVERLAPPED | WS_CAPTION | WS_SYSMENU | WS_MINIMIZEBOX | WS_CLIPCHILDREN;
constexpr DWORD kWindowExStyle = WS_EX_CONTROLPARENT;
// The open list of a drop-down list, at 96 dpi: room for the longest list's seven entries.
constexpr int kDroppedListHeight = 120;

std::wstring Wide(std::u16string_view text) {
    return std::wstring(text.begin(), text.end());
}
std::u16string Utf16(std::wstring_view text) {
    return std::u16string(text.begin(), text.end());
}

COLORREF ColourRef(const window::Colour& colour) {
    switch (colour.source) {
    case ColourSource::Given:
        return RGB(colour.rgb.red, colour.rgb.green, colour.rgb.blue);
    case ColourSource::SystemButtonText:
        return GetSysColor(COLOR_BTNTEXT);
    case ColourSource::SystemWindowText:
    case ColourSource::Default:
    case ColourSource::Transparent:
        break;
    }
    return GetSysColor(COLOR_WINDOWTEXT);
}

std::size_t FontIndex(window::FontId font) {
    return static_cast<std::size_t>(font);
}

// Makes a control of class Ctrl and hands it to slot, which keeps it even when its window could not be
// made (the view frees it with the rest); the control when its window was made, else nullptr.
template <typename Ctrl, typename... Args>
Ctrl* MakeControl(std::unique_ptr<WindowBase>& slot, HWND parent, int id, Args&&... args) {
    auto made = std::make_unique<Ctrl>();
    Ctrl* control = made.get();
    const bool created = control->Create(parent, id, std::forward<Args>(args)...);
    slot = std::move(made);
    return created ? control : nullptr;
}

} // namespace

Win32View::Win32View() {
    for (const window::ControlLayout& layout : window::Layout()) {
        Control& control = At(layout.id);
        control.layout = &layout;
        control.rect = layout.rect;
    }
}

Win32View::~Win32View() {
    for (Control& control : m_controls) {
        control.window.reset();
    }
    if (m_hwnd != nullptr && IsWindow(m_hwnd)) {
        DestroyWindow(m_hwnd);
    }
}

bool Win32View::Create() {
    if (!RegisterWindowClass(kWindowClass, &Win32View::Proc, true)) {
        return false;
    }
    HINSTANCE instance = GetModuleHandleW(nullptr);
    const window::Rgb white = window::kWindowBackground;
    m_white.Reset(CreateSolidBrush(RGB(white.red, white.green, white.blue)));
    const std::wstring caption = Wide(window::LayoutOf(ControlId::FrmMain).caption);
    if (CreateWindowExW(kWindowExStyle, kWindowClass, caption.c_str(), kWindowStyle, CW_USEDEFAULT, CW_USEDEFAULT,
                        CW_USEDEFAULT, CW_USEDEFAULT, nullptr, nullptr, instance, this) == nullptr) {
        return false;
    }
    m_dpi = DpiForWindow(m_hwnd);
    for (const window::ControlLayout& layout : window::Layout()) {
        if (!CreateControl(At(layout.id))) {
            return false;
        }
    }
    ArrangeTabOrder();
    ApplyDpi();
    return true;
}

bool Win32View::CreateControl(Control& control) {
    const window::ControlLayout& layout = *control.layout;
    const Control& container = At(layout.parent);
    HWND parent = container.window != nullptr && layout.parent == ControlId::PicTop ? container.window->Hwnd() : m_hwnd;
    const int id = Win32Id(layout.id);
    const std::wstring caption = Wide(layout.caption);
    switch (layout.kind) {
    case ControlKind::Window:
    case ControlKind::Image: // painted by the banner
    case ControlKind::Line:
        return true;
    case ControlKind::Picture:
        return MakeControl<BannerCtrl>(control.window, parent, id) != nullptr;
    case ControlKind::GroupBox:
        return MakeControl<GroupBoxCtrl>(control.window, parent, id, caption) != nullptr;
    case ControlKind::Label:
        return MakeControl<LabelCtrl>(control.window, parent, id, caption) != nullptr;
    case ControlKind::Button:
        return MakeControl<ButtonCtrl>(control.window, parent, id, caption) != nullptr;
    case ControlKind::CheckBox:
        return MakeControl<CheckCtrl>(control.window, parent, id, caption) != nullptr;
    case ControlKind::TextBox: {
        EditCtrl* edit = MakeControl<EditCtrl>(control.window, parent, id);
        if (edit != nullptr && !caption.empty()) {
            edit->SetText(caption);
        }
        return edit != nullptr;
    }
    case ControlKind::DropDownList: {
        ComboCtrl* combo = MakeControl<ComboCtrl>(control.window, parent, id);
        if (combo != nullptr) {
            for (const std::u16string& entry : window::ListEntries(layout.id)) {
                combo->AddItem(Wide(entry));
            }
        }
        return combo != nullptr;
    }
    case ControlKind::OptionButton: {
        // The first of the group in tab order starts it and holds its tab stop.
        const std::vector<ControlId> order = window::TabOrder();
        const auto first = std::find_if(order.begin(), order.end(), [](ControlId candidate) {
            return window::LayoutOf(candidate).kind == ControlKind::OptionButton;
        });
        const bool firstOfGroup = first != order.end() && *first == layout.id;
        return MakeControl<RadioCtrl>(control.window, parent, id, caption, firstOfGroup) != nullptr;
    }
    }
    return true;
}

void Win32View::ArrangeTabOrder() {
    // The dialog manager moves the focus in the order of the window's children, which is their
    // stacking order: the focusable controls are stacked in tab order, then the labels, and the group
    // boxes go beneath everything, so that the inputs laid over them stay on top.
    HWND previous = HWND_TOP;
    for (ControlId id : window::TabOrder()) {
        HWND hwnd = ControlHwnd(id);
        if (hwnd == nullptr || GetParent(hwnd) != m_hwnd) {
            continue;
        }
        SetWindowPos(hwnd, previous, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE | SWP_NOACTIVATE);
        previous = hwnd;
    }
    for (const Control& control : m_controls) {
        if (control.layout->kind == ControlKind::GroupBox && control.window != nullptr) {
            SetWindowPos(control.window->Hwnd(), HWND_BOTTOM, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE | SWP_NOACTIVATE);
        }
    }
}

void Win32View::ApplyDpi() {
    for (window::FontId font : {window::FontId::Window, window::FontId::Song9, window::FontId::Song9Bold}) {
        const window::FontSpec spec = window::FontOf(font);
        const std::wstring face = Wide(spec.face);
        m_fonts[FontIndex(font)] = MakeFont(face.c_str(), spec.points, spec.weight >= 700, m_dpi);
    }
    SendMessageW(m_hwnd, WM_SETFONT, reinterpret_cast<WPARAM>(m_fonts[0].Get()), FALSE);
    for (Control& control : m_controls) {
        if (control.window != nullptr) {
            control.window->SetFont(m_fonts[FontIndex(control.layout->font)].Get());
        }
    }
    for (Control& control : m_controls) {
        PlaceControl(control);
    }
    // The banner's own art: the icon's image and the line, in the banner's coordinates.
    if (auto* banner = dynamic_cast<BannerCtrl*>(At(ControlId::PicTop).window.get())) {
        const window::PixelRect logo = window::PixelsFromTwips(At(ControlId::ImgLogo).rect, static_cast<int>(m_dpi));
        const window::TwipsRect& line = At(ControlId::Line1).rect;
        const int lineLeft = window::PixelsFromTwips(line.left, static_cast<int>(m_dpi));
        const int lineTop = window::PixelsFromTwips(line.top, static_cast<int>(m_dpi));
        banner->SetArt(POINT{lineLeft, lineTop},
                       POINT{window::PixelsFromTwips(line.left + line.width, static_cast<int>(m_dpi)),
                             window::PixelsFromTwips(line.top + line.height, static_cast<int>(m_dpi))},
                       std::max(1, window::PixelsFromTwips(15, static_cast<int>(m_dpi))),
                       RECT{logo.left, logo.top, logo.left + logo.width, logo.top + logo.height});
    }
    ResizeWindow(nullptr);
}

void Win32View::PlaceControl(Control& control) {
    if (control.window == nullptr) {
        return;
    }
    const int dpi = static_cast<int>(m_dpi);
    window::PixelRect pixels = window::PixelsFromTwips(control.rect, dpi);
    // A group box's labels are the window's children here, laid over the box: its corner moves them.
    const Control& container = At(control.layout->parent);
    if (container.layout->kind == ControlKind::GroupBox) {
        const window::PixelRect box = window::PixelsFromTwips(container.rect, dpi);
        pixels.left += box.left;
        pixels.top += box.top;
    }
    if (control.layout->sizing == window::Sizing::ListHeight) {
        // The height given is the open list's; the closed field takes its height from the font.
        pixels.height = MulDiv(kDroppedListHeight, dpi, 96);
    }
    control.window->SetBounds(RECT{pixels.left, pixels.top, pixels.left + pixels.width, pixels.top + pixels.height});
    if (control.layout->sizing == window::Sizing::FitsText) {
        static_cast<LabelCtrl*>(control.window.get())->SizeToText();
    }
}

void Win32View::ResizeWindow(const RECT* suggested) {
    const int dpi = static_cast<int>(m_dpi);
    const SIZE client{window::PixelsFromTwips(window::kClientWidthTwips, dpi),
                      window::PixelsFromTwips(window::kClientHeightTwips, dpi)};
    const SIZE outer = WindowSizeForClient(client, kWindowStyle, kWindowExStyle, m_dpi);
    RECT now{};
    GetWindowRect(m_hwnd, &now);
    const POINT corner = suggested != nullptr ? POINT{suggested->left, suggested->top} : POINT{now.left, now.top};
    SetWindowPos(m_hwnd, nullptr, corner.x, corner.y, outer.cx, outer.cy, SWP_NOZORDER | SWP_NOACTIVATE);
    // Where the frame is drawn wider than the metrics say, the client area is made exact.
    RECT inner{};
    GetClientRect(m_hwnd, &inner);
    if (inner.right != client.cx || inner.bottom != client.cy) {
        SetWindowPos(m_hwnd, nullptr, 0, 0, outer.cx + client.cx - inner.right, outer.cy + client.cy - inner.bottom,
                     SWP_NOZORDER | SWP_NOACTIVATE | SWP_NOMOVE);
    }
}

void Win32View::ShowCentred() {
    RECT outer{};
    GetWindowRect(m_hwnd, &outer);
    MONITORINFO monitor{};
    monitor.cbSize = sizeof monitor;
    RECT area{0, 0, GetSystemMetrics(SM_CXSCREEN), GetSystemMetrics(SM_CYSCREEN)};
    if (GetMonitorInfoW(MonitorFromWindow(m_hwnd, MONITOR_DEFAULTTOPRIMARY), &monitor) != FALSE) {
        area = monitor.rcWork;
    }
    const int width = outer.right - outer.left;
    const int height = outer.bottom - outer.top;
    SetWindowPos(m_hwnd, nullptr, area.left + (area.right - area.left - width) / 2,
                 area.top + (area.bottom - area.top - height) / 2, 0, 0, SWP_NOSIZE | SWP_NOZORDER);
    ShowWindow(m_hwnd, SW_SHOW);
    UpdateWindow(m_hwnd);
    const std::vector<ControlId> order = window::TabOrder();
    if (!order.empty()) {
        SetFocus(ControlHwnd(order.front()));
    }
}

int Win32View::RunMessageLoop() {
    m_running = true;
    MSG message{};
    for (;;) {
        const BOOL got = GetMessageW(&message, nullptr, 0, 0);
        if (got == 0) {
            return static_cast<int>(message.wParam);
        }
        if (got == -1) {
            return 1;
        }
        if (!TranslateDialogMessage(message)) {
            TranslateMessage(&message);
            DispatchMessageW(&message);
        }
    }
}

bool Win32View::TranslateDialogMessage(MSG& message) {
    if (m_hwnd == nullptr) {
        return false;
    }
    // While an operation runs the window takes no input at all, whatever reaches its queue.
    if (m_blocked && ((message.message >= WM_KEYFIRST && message.message <= WM_KEYLAST) ||
                      (message.message >= WM_MOUSEFIRST && message.message <= WM_MOUSELAST))) {
        return IsChild(m_hwnd, message.hwnd) != FALSE || message.hwnd == m_hwnd;
    }
    // Enter presses the push button that has the focus; the dialog manager would send IDOK instead.
    if (message.message == WM_KEYDOWN && message.wParam == VK_RETURN && !m_blocked) {
        Control* focused = FromHwnd(GetFocus());
        if (focused != nullptr && focused->layout->kind == ControlKind::Button) {
            static_cast<ButtonCtrl*>(focused->window.get())->Click();
            return true;
        }
    }
    return IsDialogMessageW(m_hwnd, &message) != FALSE;
}

HWND Win32View::ControlHwnd(ControlId id) const {
    if (id == ControlId::FrmMain) {
        return m_hwnd;
    }
    const Control& control = At(id);
    return control.window != nullptr ? control.window->Hwnd() : nullptr;
}

Win32View::Control* Win32View::FromHwnd(HWND controlHwnd) {
    if (controlHwnd == nullptr) {
        return nullptr;
    }
    for (Control& control : m_controls) {
        if (control.window != nullptr && control.window->Hwnd() == controlHwnd) {
            return &control;
        }
    }
    return nullptr;
}

void Win32View::SetText(ControlId id, const std::u16string& text) {
    Control& control = At(id);
    if (id == ControlId::FrmMain) {
        SetWindowTextW(m_hwnd, Wide(text).c_str());
        return;
    }
    if (control.window == nullptr) {
        return;
    }
    if (control.layout->kind == ControlKind::DropDownList) {
        // A drop-down list's text is its chosen entry: the entry of that text, or none.
        auto* combo = static_cast<ComboCtrl*>(control.window.get());
        const std::wstring wanted = Wide(text);
        int found = -1;
        for (int i = 0; i < combo->Count() && found < 0; ++i) {
            if (combo->ItemText(i) == wanted) {
                found = i;
            }
        }
        combo->SetSelection(found);
        return;
    }
    control.window->SetText(Wide(text));
    if (control.layout->sizing == window::Sizing::FitsText) {
        static_cast<LabelCtrl*>(control.window.get())->SizeToText();
    }
}

std::u16string Win32View::Text(ControlId id) const {
    const HWND hwnd = ControlHwnd(id);
    if (hwnd == nullptr) {
        return {};
    }
    const int length = GetWindowTextLengthW(hwnd);
    std::wstring text(static_cast<std::size_t>(length) + 1, L'\0');
    const int copied = GetWindowTextW(hwnd, text.data(), length + 1);
    text.resize(static_cast<std::size_t>(std::max(copied, 0)));
    return Utf16(text);
}

void Win32View::SetListEntries(ControlId id, const std::vector<std::u16string>& entries) {
    auto* combo = dynamic_cast<ComboCtrl*>(At(id).window.get());
    if (combo == nullptr) {
        return;
    }
    SendMessageW(combo->Hwnd(), CB_RESETCONTENT, 0, 0);
    for (const std::u16string& entry : entries) {
        combo->AddItem(Wide(entry));
    }
}

std::vector<std::u16string> Win32View::ListEntries(ControlId id) const {
    std::vector<std::u16string> entries;
    const auto* combo = dynamic_cast<const ComboCtrl*>(At(id).window.get());
    if (combo != nullptr) {
        for (int i = 0; i < combo->Count(); ++i) {
            entries.push_back(Utf16(combo->ItemText(i)));
        }
    }
    return entries;
}

void Win32View::SetSelectedIndex(ControlId id, int index) {
    if (auto* combo = dynamic_cast<ComboCtrl*>(At(id).window.get())) {
        combo->SetSelection(index);
    }
}

int Win32View::SelectedIndex(ControlId id) const {
    const auto* combo = dynamic_cast<const ComboCtrl*>(At(id).window.get());
    return combo != nullptr ? combo->Selection() : -1;
}

void Win32View::SetChecked(ControlId id, bool checked) {
    // An option button checked here leaves the others as the logic sets them.
    WindowBase* control = At(id).window.get();
    if (auto* check = dynamic_cast<CheckCtrl*>(control)) {
        check->SetChecked(checked);
    } else if (auto* radio = dynamic_cast<RadioCtrl*>(control)) {
        radio->SetChecked(checked);
    }
}

bool Win32View::IsChecked(ControlId id) const {
    const WindowBase* control = At(id).window.get();
    if (const auto* check = dynamic_cast<const CheckCtrl*>(control)) {
        return check->IsChecked();
    }
    if (const auto* radio = dynamic_cast<const RadioCtrl*>(control)) {
        return radio->IsChecked();
    }
    return false;
}

void Win32View::SetEnabled(ControlId id, bool enabled) {
    if (HWND hwnd = ControlHwnd(id); hwnd != nullptr) {
        EnableWindow(hwnd, enabled ? TRUE : FALSE);
    }
}

void Win32View::MoveControl(ControlId id, const window::TwipsRect& rect) {
    Control& control = At(id);
    control.rect = rect;
    PlaceControl(control);
}

void Win32View::InitVisualStyle() {
    INITCOMMONCONTROLSEX controls{};
    controls.dwSize = sizeof controls;
    controls.dwICC = ICC_USEREX_CLASSES | ICC_STANDARD_CLASSES;
    InitCommonControlsEx(&controls);
}

void Win32View::MakeButtonsFlat() {
    for (Control& control : m_controls) {
        if (control.layout->kind == ControlKind::Button && control.window != nullptr) {
            static_cast<ButtonCtrl*>(control.window.get())->MakeFlat();
        }
    }
}

std::wstring Win32View::DialogFilter(std::u16string_view filter) {
    std::wstring converted = Wide(filter);
    std::replace(converted.begin(), converted.end(), L'|', L'\0');
    converted.push_back(L'\0');
    return converted;
}

window::MessageAnswer Win32View::ShowMessage(const window::Message& message) {
    UINT type = message.buttons == window::MessageButtons::YesNo ? MB_YESNO | MB_DEFBUTTON1 : MB_OK;
    switch (message.icon) {
    case window::MessageIcon::Information:
        type |= MB_ICONINFORMATION;
        break;
    case window::MessageIcon::Exclamation:
        type |= MB_ICONEXCLAMATION;
        break;
    case window::MessageIcon::Question:
        type |= MB_ICONQUESTION;
        break;
    }
    // Owned by the window once it is on the screen; a start-up warning has no owner.
    HWND owner = m_hwnd != nullptr && IsWindowVisible(m_hwnd) ? m_hwnd : nullptr;
    const int answer = MessageBoxW(owner, Wide(message.text).c_str(), Wide(message.caption).c_str(), type);
    if (message.buttons == window::MessageButtons::Ok) {
        return window::MessageAnswer::Ok;
    }
    return answer == IDYES ? window::MessageAnswer::Yes : window::MessageAnswer::No;
}

std::optional<std::u16string> Win32View::ShowFileDialog(const window::FileDialogRequest& request) {
    const std::wstring filter = DialogFilter(request.filter);
    const std::wstring title = Wide(request.title);
    const std::wstring initialDirectory = Wide(request.initialDirectory);
    std::wstring path(32768, L'\0');
    OPENFILENAMEW dialog{};
    dialog.lStructSize = sizeof dialog;
    dialog.hwndOwner = m_hwnd != nullptr && IsWindowVisible(m_hwnd) ? m_hwnd : nullptr;
    dialog.lpstrFilter = filter.c_str();
    dialog.nFilterIndex = 1;
    dialog.lpstrFile = path.data();
    dialog.nMaxFile = static_cast<DWORD>(path.size());
    dialog.lpstrTitle = title.empty() ? nullptr : title.c_str();
    dialog.lpstrInitialDir = initialDirectory.empty() ? nullptr : initialDirectory.c_str();
    // No existence test and no question before replacing; the program's current directory stays.
    dialog.Flags = OFN_EXPLORER | OFN_NOCHANGEDIR | OFN_HIDEREADONLY;
    const BOOL chosen =
        request.kind == window::FileDialogKind::Save ? GetSaveFileNameW(&dialog) : GetOpenFileNameW(&dialog);
    if (chosen == FALSE) {
        return std::nullopt;
    }
    path.resize(wcslen(path.c_str()));
    return Utf16(path);
}

void Win32View::RunBlocked(const std::function<void()>& operation) {
    if (m_blocked) {
        return; // one operation at a time
    }
    HWND focus = GetFocus();
    m_blocked = true;
    EnableWindow(m_hwnd, FALSE);
    operation();
    EnableWindow(m_hwnd, TRUE);
    m_blocked = false;
    if (focus != nullptr && IsWindow(focus)) {
        SetFocus(focus);
    }
}

void Win32View::KeepAlive() {
    PumpWaiting();
}

void Win32View::PumpWaiting() {
    MSG message{};
    while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE) != FALSE) {
        if (message.message == WM_QUIT) {
            // Kept for the loop that waits for it.
            PostQuitMessage(static_cast<int>(message.wParam));
            return;
        }
        if (!TranslateDialogMessage(message)) {
            TranslateMessage(&message);
            DispatchMessageW(&message);
        }
    }
}

HBRUSH Win32View::BackgroundBrush(const Control& control) {
    const window::Colour& background = control.layout->background;
    if (background.source == ColourSource::Transparent) {
        const Control& container = At(control.layout->parent);
        if (container.layout->kind == ControlKind::Picture) {
            return static_cast<BannerCtrl*>(container.window.get())->Background();
        }
        return m_white.Get();
    }
    return m_white.Get();
}

LRESULT Win32View::ControlColour(HDC dc, HWND controlHwnd) {
    Control* control = FromHwnd(controlHwnd);
    if (control == nullptr || control->layout->kind == ControlKind::TextBox ||
        control->layout->kind == ControlKind::DropDownList) {
        return DefWindowProcW(m_hwnd, WM_CTLCOLORSTATIC, reinterpret_cast<WPARAM>(dc),
                              reinterpret_cast<LPARAM>(controlHwnd));
    }
    SetTextColor(dc, ColourRef(control->layout->foreground));
    SetBkMode(dc, TRANSPARENT);
    return reinterpret_cast<LRESULT>(BackgroundBrush(*control));
}

void Win32View::OnCommand(WPARAM wParam, LPARAM lParam) {
    Control* control = FromHwnd(reinterpret_cast<HWND>(lParam));
    if (control == nullptr || !m_sink) {
        return;
    }
    const ControlId id = control->layout->id;
    switch (HIWORD(wParam)) {
    // The codes of different kinds overlap (a button's 1 is not a choice): each is taken from its kind.
    case BN_CLICKED:
        if (control->layout->kind != ControlKind::DropDownList && control->layout->kind != ControlKind::TextBox) {
            m_sink(id, ControlEvent::Click);
        }
        return;
    case CBN_SELCHANGE:
        if (control->layout->kind == ControlKind::DropDownList) {
            m_sink(id, ControlEvent::Click);
        }
        return;
    case CBN_KILLFOCUS:
        if (control->layout->kind == ControlKind::DropDownList) {
            m_sink(id, ControlEvent::LostFocus);
        }
        return;
    case EN_CHANGE:
        if (control->layout->kind == ControlKind::TextBox) {
            m_sink(id, ControlEvent::Change);
        }
        return;
    default:
        return;
    }
}

LRESULT CALLBACK Win32View::Proc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == WM_NCCREATE) {
        auto* create = reinterpret_cast<CREATESTRUCTW*>(lParam);
        auto* self = static_cast<Win32View*>(create->lpCreateParams);
        self->m_hwnd = hwnd;
        SetWindowLongPtrW(hwnd, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(self));
    }
    auto* self = reinterpret_cast<Win32View*>(GetWindowLongPtrW(hwnd, GWLP_USERDATA));
    if (self == nullptr) {
        return DefWindowProcW(hwnd, message, wParam, lParam);
    }
    return self->Handle(message, wParam, lParam);
}

LRESULT Win32View::Handle(UINT message, WPARAM wParam, LPARAM lParam) {
    switch (message) {
    case WM_ERASEBKGND: {
        RECT client{};
        GetClientRect(m_hwnd, &client);
        FillRect(reinterpret_cast<HDC>(wParam), &client, m_white.Get());
        return 1;
    }
    case WM_CTLCOLORSTATIC:
    case WM_CTLCOLORBTN:
        return ControlColour(reinterpret_cast<HDC>(wParam), reinterpret_cast<HWND>(lParam));
    case WM_COMMAND:
        if (lParam != 0) {
            OnCommand(wParam, lParam);
        }
        return 0; // IDOK and IDCANCEL from Enter and Esc: the window has no default or cancel button
    case WM_DPICHANGED:
        m_dpi = LOWORD(wParam);
        ApplyDpi();
        ResizeWindow(reinterpret_cast<const RECT*>(lParam));
        return 0;
    case WM_CLOSE:
        if (m_blocked || (m_refuseClose && m_refuseClose())) {
            return 0; // an operation runs: the window stays until it ends
        }
        DestroyWindow(m_hwnd);
        return 0;
    case WM_DESTROY:
        if (m_running) {
            PostQuitMessage(0);
        }
        return 0;
    case WM_NCDESTROY: {
        HWND hwnd = m_hwnd;
        SetWindowLongPtrW(hwnd, GWLP_USERDATA, 0);
        m_hwnd = nullptr;
        return DefWindowProcW(hwnd, message, wParam, lParam);
    }
    default:
        return DefWindowProcW(m_hwnd, message, wParam, lParam);
    }
}

} // namespace winui
