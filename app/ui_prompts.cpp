#include "app/ui_prompts.h"

#include <QDialog>
#include <QFileDialog>
#include <QFileSystemModel>
#include <QMessageBox>
#include <QSettings>

#include <deque>
#include <utility>

namespace ui_prompts {
namespace {

// All of this lives on the one user-interface thread, like the prompts themselves.
struct PromptState {
    std::deque<Answer> answers;
    std::deque<std::optional<QString>> fileResults;
    std::deque<std::function<bool(QDialog&)>> dialogActions;
    QList<MessageRecord> shownMessages;
    QList<FileDialogRequest> shownFileDialogs;
    int shownDialogs = 0;
    bool unattended = false;
};

PromptState& State() {
    static PromptState state;
    return state;
}

bool Unattended() {
    return State().unattended;
}

// Qt's own dialogs keep their history (folders visited, sidebar, custom colours) in the user's
// "QtProject" settings file, ~/.config/QtProject.conf, with no switch to stop it. The program writes
// nothing but the archive and the player's files, so Qt's user settings are pointed at a path no
// file can be made under: reading finds nothing, writing fails silently. The program itself keeps
// no settings, so nothing else is lost.
void KeepQtSettingsOffDisk() {
    static const bool done = [] {
        const QString nowhere = QStringLiteral("/dev/null");
        QSettings::setPath(QSettings::NativeFormat, QSettings::UserScope, nowhere);
        QSettings::setPath(QSettings::IniFormat, QSettings::UserScope, nowhere);
        return true;
    }();
    (void)done;
}

QMessageBox::Icon BoxIcon(Icon icon) {
    switch (icon) {
    case Icon::Information:
        return QMessageBox::Information;
    case Icon::Exclamation:
        return QMessageBox::Warning;
    case Icon::Question:
        return QMessageBox::Question;
    }
    return QMessageBox::NoIcon;
}

// Windows lists every file under the pattern "*.*", names without a dot included; Qt reads it as
// "names with a dot". The dialog hands the pattern in the chosen filter's parentheses to its file
// model, so the model is told "*" instead, whenever a filter is chosen. The filter texts stay.
void ListEveryFileUnderStarDotStar(QFileDialog& dialog) {
    auto* model = dialog.findChild<QFileSystemModel*>();
    if (model == nullptr) {
        return;
    }
    QStringList patterns = model->nameFilters();
    const qsizetype replaced = patterns.removeAll(QStringLiteral("*.*"));
    if (replaced == 0) {
        return;
    }
    patterns.append(QStringLiteral("*"));
    model->setNameFilters(patterns);
}

Answer UnansweredDefault(Buttons buttons) {
    // Unattended, a Yes/No question is declined: nothing the program does on No touches a file.
    return buttons == Buttons::YesNo ? Answer::No : Answer::Ok;
}

} // namespace

Answer ShowMessage(QWidget* parent, const QString& title, const QString& text, Icon icon, Buttons buttons) {
    PromptState& state = State();
    if (!state.answers.empty()) {
        state.shownMessages.append({title, text, icon, buttons});
        const Answer answer = state.answers.front();
        state.answers.pop_front();
        return answer;
    }
    if (Unattended()) {
        state.shownMessages.append({title, text, icon, buttons});
        return UnansweredDefault(buttons);
    }

    QMessageBox box(BoxIcon(icon), title, text, QMessageBox::NoButton, parent);
    if (buttons == Buttons::YesNo) {
        box.setStandardButtons(QMessageBox::Yes | QMessageBox::No);
        box.setDefaultButton(QMessageBox::Yes);
        box.setEscapeButton(QMessageBox::No);
        // Captioned "是(&Y)" and "否(&N)" by Qt's own Chinese catalogue, as on a Chinese Windows.
        return box.exec() == QMessageBox::Yes ? Answer::Yes : Answer::No;
    }
    box.setStandardButtons(QMessageBox::Ok);
    box.setDefaultButton(QMessageBox::Ok); // "确定", from Qt's own Chinese catalogue
    box.exec();
    return Answer::Ok;
}

std::optional<QString> ShowFileDialog(QWidget* parent, const FileDialogRequest& request) {
    PromptState& state = State();
    if (!state.fileResults.empty()) {
        state.shownFileDialogs.append(request);
        // Taken apart by hand: GCC's optimiser warns falsely about a moved-out optional<QString>.
        QString path;
        const bool confirmed = state.fileResults.front().has_value();
        if (confirmed) {
            path = *state.fileResults.front();
        }
        state.fileResults.pop_front();
        if (!confirmed) {
            return std::nullopt;
        }
        return std::make_optional(path);
    }
    if (Unattended()) {
        state.shownFileDialogs.append(request);
        return std::nullopt;
    }

    KeepQtSettingsOffDisk();
    QFileDialog dialog(parent, request.title, request.directory);
    // A desktop's own dialog (GTK) would not take a name that does not exist yet.
    dialog.setOption(QFileDialog::DontUseNativeDialog);
    dialog.setNameFilters(request.nameFilters);
    if (!request.nameFilters.isEmpty()) {
        dialog.selectNameFilter(request.nameFilters.front());
    }
    ListEveryFileUnderStarDotStar(dialog);
    // Connected after the dialog's own handling of the choice, so it runs after it.
    QObject::connect(&dialog, &QFileDialog::filterSelected, &dialog,
                     [&dialog](const QString&) { ListEveryFileUnderStarDotStar(dialog); });
    // AnyFile in both: the open dialog takes a name that does not exist yet, as the Windows dialog
    // without flags does; the save dialog replaces a file without asking.
    dialog.setFileMode(QFileDialog::AnyFile);
    if (request.kind == FileDialogKind::Save) {
        dialog.setAcceptMode(QFileDialog::AcceptSave);
        dialog.setOption(QFileDialog::DontConfirmOverwrite, true);
    } else {
        dialog.setAcceptMode(QFileDialog::AcceptOpen);
    }
    if (dialog.exec() != QDialog::Accepted) {
        return std::nullopt;
    }
    const QStringList chosen = dialog.selectedFiles();
    if (chosen.isEmpty() || chosen.front().isEmpty()) {
        return std::nullopt;
    }
    return chosen.front();
}

bool ExecDialog(QDialog& dialog) {
    PromptState& state = State();
    if (!state.dialogActions.empty()) {
        ++state.shownDialogs;
        const std::function<bool(QDialog&)> action = std::move(state.dialogActions.front());
        state.dialogActions.pop_front();
        return action ? action(dialog) : false;
    }
    if (Unattended()) {
        ++state.shownDialogs;
        return false;
    }
    KeepQtSettingsOffDisk();
    return dialog.exec() == QDialog::Accepted;
}

void SetNextAnswer(Answer answer) {
    State().answers.push_back(answer);
}

void SetNextFileDialogResult(std::optional<QString> path) {
    State().fileResults.push_back(std::move(path));
}

QList<MessageRecord> TakeShownMessages() {
    return std::exchange(State().shownMessages, {});
}

QList<FileDialogRequest> TakeShownFileDialogs() {
    return std::exchange(State().shownFileDialogs, {});
}

void SetNextDialogAction(std::function<bool(QDialog&)> action) {
    State().dialogActions.push_back(std::move(action));
}

int TakeShownDialogCount() {
    return std::exchange(State().shownDialogs, 0);
}

void SetUnattended(bool unattended) {
    State().unattended = unattended;
}

} // namespace ui_prompts
