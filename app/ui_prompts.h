#pragma once
// Every modal message box and file dialog of the program goes through here, so that a test can
// answer them in advance and no test ever blocks on a modal window. No dialog shown here leaves a
// settings file behind (Qt's dialogs would write ~/.config/QtProject.conf).
#include <QString>
#include <QStringList>

#include <functional>
#include <optional>

class QDialog;
class QWidget;

namespace ui_prompts {

enum class Icon { Information, Exclamation, Question };
enum class Buttons { Ok, YesNo };
enum class Answer { Ok, Yes, No };

struct MessageRecord {
    QString title;
    QString text;
    Icon icon = Icon::Information;
    Buttons buttons = Buttons::Ok;
};

// Shows a modal message box (Yes is the default button of a Yes/No box) and returns the answer.
Answer ShowMessage(QWidget* parent, const QString& title, const QString& text, Icon icon, Buttons buttons);

enum class FileDialogKind { Open, Save };
struct FileDialogRequest {
    FileDialogKind kind = FileDialogKind::Open;
    QStringList nameFilters; // "背景音乐文件 (*.mp3)", "所有文件 (*.*)"; the first is selected
    QString title;           // empty: the platform's own title
    QString directory;       // starting folder; empty lets the platform choose
};

// Shows an open or save dialog; the chosen path, or nothing when cancelled. The open dialog accepts
// a name that does not exist; the save dialog does not ask before replacing a file.
std::optional<QString> ShowFileDialog(QWidget* parent, const FileDialogRequest& request);

// Runs a dialog the caller built (print, colour, font, page setup) modally; true when it was accepted.
bool ExecDialog(QDialog& dialog);

// --- For tests ---
// Answers the next message box without showing it, and records it.
void SetNextAnswer(Answer answer);
// Answers the next file dialog without showing it (nothing = cancel), and records the request.
void SetNextFileDialogResult(std::optional<QString> path);
// Message boxes and file dialogs answered in advance since the last call, oldest first.
QList<MessageRecord> TakeShownMessages();
QList<FileDialogRequest> TakeShownFileDialogs();
// Answers the next ExecDialog without showing it: the action may set the dialog's values and returns
// whether the dialog counts as accepted.
void SetNextDialogAction(std::function<bool(QDialog&)> action);
// How many ExecDialog calls were answered in advance or unattended since the last call.
int TakeShownDialogCount();
// When on, a prompt nobody answered in advance is recorded and answered at once (Ok, No, cancel,
// rejected) instead of waiting for a user. Off unless a test turns it on: the program itself always
// waits for its player, whatever the platform plugin.
void SetUnattended(bool unattended);

} // namespace ui_prompts
