#pragma once
// Driving the Win32 window the way the player's input reaches it, with window messages: keys posted
// to the focused control and run through the view's own dialog handling, clicks and list choices as
// the controls report them. Prompts never block: message boxes and file dialogs are answered from
// queues the test fills, and recorded.
#include "winui/win32_view.h"

#include <deque>
#include <optional>
#include <string>
#include <vector>

namespace winui_test {

class TestView : public winui::Win32View {
public:
    window::MessageAnswer ShowMessage(const window::Message& message) override;
    std::optional<std::u16string> ShowFileDialog(const window::FileDialogRequest& request) override;

    // Answers for the next prompts, in order; an empty queue answers Ok/Yes and cancels a dialog.
    std::deque<window::MessageAnswer> messageAnswers;
    std::deque<std::optional<std::u16string>> fileAnswers;
    std::vector<window::Message> messages;
    std::vector<window::FileDialogRequest> fileRequests;
};

// Runs every message waiting for this thread through the view's dialog handling, as its loop does.
void Pump(winui::Win32View& view);
// A key pressed and released on the focused control (Alt held when alt is set), then pumped.
void PressKey(winui::Win32View& view, UINT key, bool alt = false);
// An access key: Alt with a letter.
void PressAccessKey(winui::Win32View& view, wchar_t letter);
// The control that has the keyboard focus, if it is one of the window's.
std::optional<window::ControlId> FocusedControl(const winui::Win32View& view);
// The control's rectangle in the main window's client coordinates.
RECT ClientRectOf(const winui::Win32View& view, window::ControlId id);
// As the player picks entry `index` of a drop-down list: the list changes and reports the choice.
void ChooseEntry(winui::Win32View& view, window::ControlId list, int index);
// As the player clicks a button, check box or option button.
void Click(winui::Win32View& view, window::ControlId id);
// As the player types into a text box: the text replaced, the change reported.
void Type(winui::Win32View& view, window::ControlId id, const std::u16string& text);

// Saves the window as <name>.png under $OSTRAWEN_SCREENSHOT_DIR when that is set; for the eye.
void SaveScreenshot(HWND window, const std::string& name);

} // namespace winui_test
