#include "window_fixture.h"

#include "app/ui_prompts.h"

#include <QAbstractItemView>
#include <QComboBox>
#include <QTest>

#include <stdexcept>

namespace window_test {

QString Q(const std::u16string& text) {
    return QString::fromStdU16String(text);
}

void ChooseFromPopup(QComboBox* combo, const QString& text) {
    const int index = combo->findText(text);
    if (index < 0)
        throw std::runtime_error("no such entry: " + text.toStdString());
    combo->showPopup();
    QAbstractItemView* view = combo->view();
    view->setCurrentIndex(view->model()->index(index, 0));
    QTest::keyClick(view, Qt::Key_Return);
}

GameRig::GameRig() {
    ui_prompts::TakeShownMessages();
    ui_prompts::TakeShownFileDialogs();
}

std::unique_ptr<FrmMain> GameRig::Start(const std::optional<fs::path>& appDirectory) {
    auto window = std::make_unique<FrmMain>();
    const std::u16string appPath = DirText(appDirectory.value_or(Game()));
    window->SetGamePathDecider([appPath] { return DecideGamePath(appPath); });
    if (!window->Form_Load())
        return nullptr;
    return window;
}

} // namespace window_test
