#pragma once
// The window's behaviour as a table of scenarios any view's harness can run: the game directory to
// set up, what the player does (choose an entry, type, tick, press, answer a prompt in advance), and
// what must follow: the messages in order, the file dialogs, what the controls show, what the
// archives and the disk hold. The logic runs it against a recording view, the Qt window against its
// real widgets, through a ScenarioDriver each.
#include "game_directory.h"

#include "support/game_path.h"
#include "window/window_view.h"

#include <gtest/gtest.h>

#include <optional>
#include <ostream>
#include <string>
#include <vector>

namespace window_test {

// What a harness does with its window. Texts are the window's own; a path is a full path.
class ScenarioDriver {
public:
    virtual ~ScenarioDriver() = default;
    // Creates the window and runs its start-up on this decision; false when start-up refused.
    virtual bool Start(const GamePathDecision& decision) = 0;
    // Picks the entry from the drop-down list as a player does.
    virtual void Choose(window::ControlId list, const std::u16string& entry) = 0;
    virtual void SetText(window::ControlId box, const std::u16string& text) = 0;
    // Ticks or clears a check box; selects an option button (checked == true only).
    virtual void SetChecked(window::ControlId button, bool checked) = 0;
    virtual void Press(window::ControlId button) = 0;
    virtual void QueueAnswer(window::MessageAnswer answer) = 0;
    virtual void QueueFileDialogResult(std::optional<std::u16string> path) = 0;
    virtual std::vector<window::Message> TakeMessages() = 0;
    // The file dialogs shown: their kind and the descriptions their filter lists, in order.
    struct FileDialogShown {
        window::FileDialogKind kind;
        std::vector<std::u16string> filterNames;
        bool operator==(const FileDialogShown&) const = default;
    };
    virtual std::vector<FileDialogShown> TakeFileDialogs() = 0;
    virtual std::u16string Text(window::ControlId control) = 0;
    virtual bool IsChecked(window::ControlId control) = 0;
};

// "模型文件 (*.mdx)|*.mdx|所有文件 (*.*)|*.*" -> {"模型文件 (*.mdx)", "所有文件 (*.*)"}.
std::vector<std::u16string> FilterNames(const std::u16string& filter);

struct Action {
    enum class Kind { Choose, SetText, SetChecked, Press, Answer, FileResult };
    Kind kind = Kind::Press;
    window::ControlId control = window::ControlId::FrmMain;
    std::u16string text; // "{root}" stands for the test's own directory
    bool checked = true;
    window::MessageAnswer answer = window::MessageAnswer::Ok;
    bool confirmed = true; // FileResult: false cancels
};
Action Choose(window::ControlId list, std::u16string entry);
Action Type(window::ControlId box, std::u16string text);
Action Tick(window::ControlId button, bool checked = true);
Action Press(window::ControlId button);
Action Answer(window::MessageAnswer answer);
Action FileChosen(std::u16string path);
Action FileCancelled();

struct ArchiveSetup {
    std::u16string fileName; // "War3Patch.mpq", or spelt in another case
    ArchiveContent content;
};
struct DiskFile {
    std::u16string path;                            // "{root}/..."
    std::optional<std::vector<std::uint8_t>> bytes; // expected: nothing means "does not exist"
};
struct ArchiveEntry {
    std::u16string archive; // file name in the game directory
    std::u16string address;
    std::optional<std::vector<std::uint8_t>> bytes; // nothing: the archive does not hold it
};

struct Scenario {
    std::string name;
    // Setup.
    GamePathWarning warning = GamePathWarning::None; // else start-up must refuse with this warning
    std::vector<ArchiveSetup> archives;
    std::vector<DiskFile> diskFiles; // written before start
    std::vector<Action> actions;
    // Expected.
    std::vector<window::Message> messages; // every message from start-up on, in order
    std::vector<ScenarioDriver::FileDialogShown> fileDialogs;
    std::vector<std::pair<window::ControlId, std::u16string>> texts;
    std::vector<std::pair<window::ControlId, bool>> checked;
    std::vector<ArchiveEntry> archiveEntries;
    std::vector<std::u16string> unchangedArchives; // byte for byte as set up (or still missing)
    std::vector<DiskFile> diskAfter;
};

// GoogleTest prints a row by its name.
inline void PrintTo(const Scenario& scenario, std::ostream* out) {
    *out << scenario.name;
}

// Every scenario; row names are GoogleTest-safe.
const std::vector<Scenario>& Scenarios();

// Sets up `game`, drives the window through `driver` and checks every expectation with gtest.
void RunScenario(const Scenario& scenario, ScenarioDriver& driver, const GameDirectory& game);

} // namespace window_test
