#pragma once
// The main window on Windows: the controls of window/window_layout.h as Win32 controls, at the
// monitor's DPI, answering the calls of window::WindowView and passing the player's events on to the
// window's logic. It draws and wires; what the window says and does is decided above it.
//
// Keyboard: Tab moves in the layout's tab order, Alt with a caption's access key presses or toggles
// its control, and Enter presses the push button that has the focus (TranslateDialogMessage, which
// every message loop over this window calls first).
#include "window/window_view.h"
#include "winui/controls.h"
#include "winui/gdi_objects.h"

#include <array>
#include <functional>
#include <memory>
#include <string>

namespace winui {

// What happened to a control, as the logic's handlers are named after: Click (a button pressed, a
// box toggled, a list's entry chosen), Change (a text box's text), LostFocus.
enum class ControlEvent { Click, Change, LostFocus };

class Win32View : public window::WindowView {
public:
    using EventSink = std::function<void(window::ControlId, ControlEvent)>;

    // The control id a Win32 control carries (its GetDlgCtrlID): clear of IDOK and IDCANCEL, so that
    // neither Enter nor Esc reaches a control by the dialog manager's defaults.
    static int Win32Id(window::ControlId id) { return static_cast<int>(id) + 100; }

    // A filter as the window keeps it, "desc|pattern|desc|pattern", as the file dialogs take it: each
    // '|' a NUL, and one more NUL, so that with the string's own the list ends in two.
    static std::wstring DialogFilter(std::u16string_view filter);

    Win32View();
    ~Win32View() override;

    // Makes the window and every control, hidden, at the DPI of the monitor it will appear on.
    bool Create();
    void SetEventSink(EventSink sink) { m_sink = std::move(sink); }
    // Asked when the player closes the window: true keeps it open. A blocked window never closes.
    void SetCloseGuard(std::function<bool()> refuse) { m_refuseClose = std::move(refuse); }
    // Shows the window centred on its monitor's work area and gives the focus to the first control
    // in tab order.
    void ShowCentred();
    // Runs the message loop until the window is closed; the process's exit code.
    int RunMessageLoop();
    // Handles the keys the dialog manager gives the window; true when the message was used up.
    bool TranslateDialogMessage(MSG& message);

    HWND Hwnd() const { return m_hwnd; }
    HWND ControlHwnd(window::ControlId id) const;
    unsigned Dpi() const { return m_dpi; }
    bool Blocked() const { return m_blocked; }

    // window::WindowView
    void SetText(window::ControlId id, const std::u16string& text) override;
    std::u16string Text(window::ControlId id) const override;
    void SetListEntries(window::ControlId id, const std::vector<std::u16string>& entries) override;
    std::vector<std::u16string> ListEntries(window::ControlId id) const override;
    void SetSelectedIndex(window::ControlId id, int index) override;
    int SelectedIndex(window::ControlId id) const override;
    void SetChecked(window::ControlId id, bool checked) override;
    bool IsChecked(window::ControlId id) const override;
    void SetEnabled(window::ControlId id, bool enabled) override;
    void MoveControl(window::ControlId id, const window::TwipsRect& rect) override;
    void InitVisualStyle() override;
    void MakeButtonsFlat() override;
    window::MessageAnswer ShowMessage(const window::Message& message) override;
    std::optional<std::u16string> ShowFileDialog(const window::FileDialogRequest& request) override;
    void RunBlocked(const std::function<void()>& operation) override;
    void KeepAlive() override;

private:
    static constexpr std::size_t kControlCount =
        static_cast<std::size_t>(window::ControlId::btnDoModificationForLanGameName) + 1;

    struct Control {
        const window::ControlLayout* layout = nullptr;
        std::unique_ptr<WindowBase> window; // none for the window itself, the image and the line
        window::TwipsRect rect{};           // where the layout or the logic last put it
    };

    static LRESULT CALLBACK Proc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam);
    LRESULT Handle(UINT message, WPARAM wParam, LPARAM lParam);
    bool CreateControl(Control& control);
    void ArrangeTabOrder();
    // Fonts, places and sizes at m_dpi; the window's own size too.
    void ApplyDpi();
    void PlaceControl(Control& control);
    void ResizeWindow(const RECT* suggested);
    HBRUSH BackgroundBrush(const Control& control);
    LRESULT ControlColour(HDC dc, HWND controlHwnd);
    void OnCommand(WPARAM wParam, LPARAM lParam);
    Control* FromHwnd(HWND controlHwnd);
    Control& At(window::ControlId id) { return m_controls[static_cast<std::size_t>(id)]; }
    const Control& At(window::ControlId id) const { return m_controls[static_cast<std::size_t>(id)]; }
    // Pumps the messages waiting now, through the dialog manager.
    void PumpWaiting();

    HWND m_hwnd = nullptr;
    unsigned m_dpi = 96;
    bool m_blocked = false;
    bool m_running = false; // a message loop waits for the window's end
    EventSink m_sink;
    std::function<bool()> m_refuseClose;
    // Owned drawing objects; they outlive the controls that use them (declared before them).
    std::array<GdiFont, 3> m_fonts;
    GdiBrush m_white;
    std::array<Control, kControlCount> m_controls;
};

} // namespace winui
