#pragma once
// A view without a toolkit for the window's logic: it keeps each control's state as the layout
// creates it, records every message and file dialog in order, answers them from queues filled in
// advance, and notes what the logic did while an operation ran blocked.
#include "window/window_view.h"

#include <deque>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace window_test {

class RecordingView final : public window::WindowView {
public:
    RecordingView();

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
    void InitVisualStyle() override { m_calls.push_back(u"InitVisualStyle"); }
    void MakeButtonsFlat() override { m_calls.push_back(u"MakeButtonsFlat"); }
    window::MessageAnswer ShowMessage(const window::Message& message) override;
    std::optional<std::u16string> ShowFileDialog(const window::FileDialogRequest& request) override;
    void RunBlocked(const std::function<void()>& operation) override;
    void KeepAlive() override { ++m_keepAlives; }

    // --- For tests ---
    void QueueAnswer(window::MessageAnswer answer) { m_answers.push_back(answer); }
    void QueueFileDialogResult(std::optional<std::u16string> path) { m_fileResults.push_back(std::move(path)); }
    std::vector<window::Message> TakeMessages();
    std::vector<window::FileDialogRequest> TakeFileDialogs();
    // Every call that changed the view, in order: "SetText Label(4)", "MoveControl Label(4)",
    // "ShowMessage", "RunBlocked"...
    const std::vector<std::u16string>& Calls() const { return m_calls; }
    window::TwipsRect Rect(window::ControlId id) const { return m_state.at(id).rect; }
    bool Enabled(window::ControlId id) const { return m_state.at(id).enabled; }
    // How many questions and file dialogs found no answer queued (and were given No or cancel).
    int Unanswered() const { return m_unanswered; }
    int BlockedRuns() const { return m_blockedRuns; }
    int KeepAlives() const { return m_keepAlives; }
    // Runs while the next blocked operation runs, as a player's clicks would arrive then.
    void DuringNextBlockedRun(std::function<void()> action) { m_duringBlocked = std::move(action); }
    bool Blocked() const { return m_blocked; }

private:
    struct ControlState {
        std::u16string text;
        std::vector<std::u16string> entries;
        int selected = -1;
        bool checked = false;
        bool enabled = true;
        window::TwipsRect rect;
    };
    ControlState& State(window::ControlId id) { return m_state.at(id); }
    void Note(const char16_t* what, window::ControlId id);

    std::map<window::ControlId, ControlState> m_state;
    std::deque<window::MessageAnswer> m_answers;
    std::deque<std::optional<std::u16string>> m_fileResults;
    std::vector<window::Message> m_messages;
    std::vector<window::FileDialogRequest> m_fileDialogs;
    std::vector<std::u16string> m_calls;
    std::function<void()> m_duringBlocked;
    int m_unanswered = 0;
    int m_blockedRuns = 0;
    int m_keepAlives = 0;
    bool m_blocked = false;
};

} // namespace window_test
