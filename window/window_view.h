#pragma once
// What the main window's logic (MainWindow) asks of a view, in the window's own terms. A view draws
// the controls of window_layout.h, answers these calls and forwards the player's events to the
// logic's handlers; it decides nothing. The Qt window and the Win32 window are views, and so is the
// tests' recording view.
//
// Setters never call back into the logic: choosing a list's entry through SetSelectedIndex runs no
// handler; the logic runs its own handler where the choice must be acted on.
#include "window/window_layout.h"

#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace window {

enum class MessageIcon { Information, Exclamation, Question };
enum class MessageButtons { Ok, YesNo };
enum class MessageAnswer { Ok, Yes, No };

struct Message {
    std::u16string caption; // the box's title: "提示", "Ostrawen"
    std::u16string text;    // line breaks as CR LF
    MessageIcon icon = MessageIcon::Information;
    MessageButtons buttons = MessageButtons::Ok; // a Yes/No box has Yes as its default button
    bool operator==(const Message&) const = default;
};

enum class FileDialogKind { Open, Save };

struct FileDialogRequest {
    FileDialogKind kind = FileDialogKind::Open;
    // The filter as the window keeps it: description and pattern pairs joined by '|':
    // "模型文件 (*.mdx)|*.mdx|所有文件 (*.*)|*.*"; the first pair is the one selected.
    std::u16string filter;
    std::u16string title;            // empty: the platform's own title
    std::u16string initialDirectory; // empty: the platform chooses
    bool operator==(const FileDialogRequest&) const = default;
};

class WindowView {
public:
    virtual ~WindowView() = default;

    // The text of a control: a caption (buttons, labels, group boxes, check and option buttons, the
    // window itself), a text box's contents, a drop-down list's chosen entry ("" when none).
    virtual void SetText(ControlId id, const std::u16string& text) = 0;
    virtual std::u16string Text(ControlId id) const = 0;

    // A drop-down list's entries and its chosen entry (-1: none).
    virtual void SetListEntries(ControlId id, const std::vector<std::u16string>& entries) = 0;
    virtual std::vector<std::u16string> ListEntries(ControlId id) const = 0;
    virtual void SetSelectedIndex(ControlId id, int index) = 0;
    virtual int SelectedIndex(ControlId id) const = 0;

    // Check boxes and option buttons. Checking an option button does not clear the others by
    // itself; the logic sets each of the group's buttons.
    virtual void SetChecked(ControlId id, bool checked) = 0;
    virtual bool IsChecked(ControlId id) const = 0;

    virtual void SetEnabled(ControlId id, bool enabled) = 0;

    // Moves a control within its container. A control that follows its text (ControlLayout::sizing)
    // keeps its place at the given corner and takes its text's size again.
    virtual void MoveControl(ControlId id, const TwipsRect& rect) = 0;

    // The platform's visual style for common controls, and the command buttons' flat look.
    virtual void InitVisualStyle() = 0;
    virtual void MakeButtonsFlat() = 0;

    // A modal message box, owned by the window once it is shown (before that, by nobody).
    virtual MessageAnswer ShowMessage(const Message& message) = 0;

    // A modal open or save dialog; the chosen full path, or nothing when cancelled. The open dialog
    // accepts a name that does not exist; the save dialog replaces a file without asking.
    virtual std::optional<std::u16string> ShowFileDialog(const FileDialogRequest& request) = 0;

    // Runs `operation` with the window blocked: it keeps painting and answering the desktop, but
    // takes no click, key or close until the operation returns.
    virtual void RunBlocked(const std::function<void()>& operation) = 0;
    // Called over and over while a blocked operation waits: paint and answer the desktop, no input.
    virtual void KeepAlive() = 0;
};

} // namespace window
