// Ostrawen.exe: the window on Windows. The same executable started with --mpq-worker is the
// archive worker, before any window exists. Otherwise it builds the view and the window's logic and
// runs start-up and the message loop; a start-up that could not decide the game directory has shown
// its warning, and the process ends without showing the window.
#include "archive/worker/mpq_worker.h"
#include "window/main_window.h"
#include "winui/dpi.h"
#include "winui/win32_view.h"
#include "winui/window_binding.h"

#include <cstdlib>
#include <string>
#include <vector>

namespace {

// The arguments in UTF-8, as the worker's entry reads them.
std::vector<std::string> ArgumentsAsUtf8() {
    std::vector<std::string> words;
    for (int i = 0; i < __argc; ++i) {
        const wchar_t* word = __wargv[i];
        const int size = WideCharToMultiByte(CP_UTF8, 0, word, -1, nullptr, 0, nullptr, nullptr);
        std::string utf8(static_cast<std::size_t>(size > 0 ? size : 1), '\0');
        if (size > 0) {
            WideCharToMultiByte(CP_UTF8, 0, word, -1, utf8.data(), size, nullptr, nullptr);
        }
        utf8.resize(utf8.size() - 1);
        words.push_back(std::move(utf8));
    }
    return words;
}

} // namespace

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int) {
    std::vector<std::string> words = ArgumentsAsUtf8();
    std::vector<char*> argv;
    for (std::string& word : words) {
        argv.push_back(word.data());
    }
    argv.push_back(nullptr);
    const int argc = static_cast<int>(words.size());
    if (IsMpqWorkerInvocation(argc, argv.data())) {
        return RunMpqWorker(argc, argv.data(), MakeOwnMpqEngine());
    }

    winui::EnableDpiAwareness();
    winui::Win32View view;
    window::MainWindow logic(view);
    if (!view.Create()) {
        return 1;
    }
    winui::BindWindow(view, logic);
    logic.Form_Initialize();
    if (!logic.Form_Load()) {
        return 0;
    }
    view.ShowCentred();
    return view.RunMessageLoop();
}
