#include "recording_view.h"

#include <utility>

using namespace window;

namespace window_test {

RecordingView::RecordingView() {
    for (const ControlLayout& control : Layout()) {
        ControlState& state = m_state[control.id];
        state.rect = control.rect;
        state.entries = window::ListEntries(control.id);
        if (control.kind != ControlKind::DropDownList && control.kind != ControlKind::TextBox)
            state.text = std::u16string(control.caption);
    }
}

void RecordingView::Note(const char16_t* what, ControlId id) {
    const std::string_view name = ControlName(id);
    m_calls.push_back(std::u16string(what) + u" " + std::u16string(name.begin(), name.end()));
}

void RecordingView::SetText(ControlId id, const std::u16string& text) {
    Note(u"SetText", id);
    ControlState& state = State(id);
    if (LayoutOf(id).kind == ControlKind::DropDownList) {
        // A drop-down list takes only the text of one of its entries.
        state.selected = -1;
        for (std::size_t i = 0; i < state.entries.size(); ++i)
            if (state.entries[i] == text)
                state.selected = static_cast<int>(i);
        return;
    }
    state.text = text;
}

std::u16string RecordingView::Text(ControlId id) const {
    const ControlState& state = m_state.at(id);
    if (LayoutOf(id).kind == ControlKind::DropDownList)
        return state.selected < 0 ? std::u16string() : state.entries.at(static_cast<std::size_t>(state.selected));
    return state.text;
}

void RecordingView::SetListEntries(ControlId id, const std::vector<std::u16string>& entries) {
    Note(u"SetListEntries", id);
    State(id).entries = entries;
    State(id).selected = -1;
}

std::vector<std::u16string> RecordingView::ListEntries(ControlId id) const {
    return m_state.at(id).entries;
}

void RecordingView::SetSelectedIndex(ControlId id, int index) {
    Note(u"SetSelectedIndex", id);
    ControlState& state = State(id);
    state.selected = index >= 0 && static_cast<std::size_t>(index) < state.entries.size() ? index : -1;
}

int RecordingView::SelectedIndex(ControlId id) const {
    return m_state.at(id).selected;
}

void RecordingView::SetChecked(ControlId id, bool checked) {
    Note(u"SetChecked", id);
    State(id).checked = checked;
}

bool RecordingView::IsChecked(ControlId id) const {
    return m_state.at(id).checked;
}

void RecordingView::SetEnabled(ControlId id, bool enabled) {
    Note(u"SetEnabled", id);
    State(id).enabled = enabled;
}

void RecordingView::MoveControl(ControlId id, const TwipsRect& rect) {
    Note(u"MoveControl", id);
    State(id).rect = rect;
}

MessageAnswer RecordingView::ShowMessage(const Message& message) {
    m_calls.push_back(u"ShowMessage");
    m_messages.push_back(message);
    if (!m_answers.empty()) {
        const MessageAnswer answer = m_answers.front();
        m_answers.pop_front();
        return answer;
    }
    if (message.buttons == MessageButtons::YesNo)
        ++m_unanswered;
    return message.buttons == MessageButtons::YesNo ? MessageAnswer::No : MessageAnswer::Ok;
}

std::optional<std::u16string> RecordingView::ShowFileDialog(const FileDialogRequest& request) {
    m_calls.push_back(u"ShowFileDialog");
    m_fileDialogs.push_back(request);
    if (m_fileResults.empty()) {
        ++m_unanswered;
        return std::nullopt;
    }
    std::optional<std::u16string> result = std::move(m_fileResults.front());
    m_fileResults.pop_front();
    return result;
}

void RecordingView::RunBlocked(const std::function<void()>& operation) {
    m_calls.push_back(u"RunBlocked");
    ++m_blockedRuns;
    m_blocked = true;
    if (auto action = std::exchange(m_duringBlocked, {}))
        action();
    operation();
    m_blocked = false;
}

std::vector<Message> RecordingView::TakeMessages() {
    return std::exchange(m_messages, {});
}

std::vector<FileDialogRequest> RecordingView::TakeFileDialogs() {
    return std::exchange(m_fileDialogs, {});
}

} // namespace window_test
