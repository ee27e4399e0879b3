// Ostrawen.exe itself, started as a player starts it: in a directory without the game it shows the
// warning that asks to be placed beside the game, owned by nobody, and ends once it is dismissed,
// without ever showing its window; beside war3.exe it opens its window at once, showing what the
// default archive holds, and ends when the window is closed.
#include "view_harness.h"
#include "window/main_window.h"
#include "window_scenarios.h"
#include "winui/win32_view.h"

#include "support/game_path.h"
#include "testkit/temp_dir.h"

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <string>
#include <thread>

namespace {

namespace fs = std::filesystem;

struct Found {
    DWORD process = 0;
    HWND warning = nullptr;
    HWND window = nullptr;
};

std::wstring ClassOf(HWND hwnd) {
    wchar_t name[64] = {};
    GetClassNameW(hwnd, name, 64);
    return name;
}

std::wstring TextOf(HWND hwnd) {
    wchar_t text[1024] = {};
    // Across processes WM_GETTEXT is carried over by the system; SendMessageTimeout spares a hang.
    DWORD_PTR copied = 0;
    SendMessageTimeoutW(hwnd, WM_GETTEXT, 1024, reinterpret_cast<LPARAM>(text), SMTO_ABORTIFHUNG, 5000, &copied);
    return text;
}

BOOL CALLBACK Collect(HWND hwnd, LPARAM param) {
    auto* found = reinterpret_cast<Found*>(param);
    DWORD process = 0;
    GetWindowThreadProcessId(hwnd, &process);
    if (process == found->process && IsWindowVisible(hwnd)) {
        if (ClassOf(hwnd) == L"#32770") {
            found->warning = hwnd;
        } else if (ClassOf(hwnd) == L"OstrawenMainWindow") {
            found->window = hwnd;
        }
    }
    return TRUE;
}

// Waits up to 30 s for a visible top-level window of the process that `ready` accepts.
template <typename Ready> Found WaitFor(DWORD process, Ready ready) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    Found found;
    while (std::chrono::steady_clock::now() < deadline) {
        found = Found{process};
        EnumWindows(&Collect, reinterpret_cast<LPARAM>(&found));
        if (ready(found)) {
            return found;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    return found;
}

class Program {
public:
    explicit Program(const fs::path& exe) {
        std::wstring commandLine = L"\"" + exe.wstring() + L"\"";
        STARTUPINFOW startup{};
        startup.cb = sizeof startup;
        const std::wstring directory = exe.parent_path().wstring();
        started = CreateProcessW(exe.c_str(), commandLine.data(), nullptr, nullptr, FALSE, 0, nullptr,
                                 directory.c_str(), &startup, &m_info) != FALSE;
    }
    ~Program() {
        if (started) {
            if (WaitForSingleObject(m_info.hProcess, 0) == WAIT_TIMEOUT) {
                TerminateProcess(m_info.hProcess, 99);
            }
            CloseHandle(m_info.hThread);
            CloseHandle(m_info.hProcess);
        }
    }
    Program(const Program&) = delete;
    Program& operator=(const Program&) = delete;

    DWORD Id() const { return m_info.dwProcessId; }
    // The exit code, or nothing when it has not ended within 30 s.
    std::optional<DWORD> Wait() const {
        if (WaitForSingleObject(m_info.hProcess, 30000) != WAIT_OBJECT_0) {
            return std::nullopt;
        }
        DWORD code = 0;
        GetExitCodeProcess(m_info.hProcess, &code);
        return code;
    }

    bool started = false;

private:
    PROCESS_INFORMATION m_info{};
};

fs::path CopyProgramInto(const fs::path& directory) {
    const fs::path copy = directory / "Ostrawen.exe";
    fs::copy_file(OSTRAWEN_WINDOW_EXE, copy);
    return copy;
}

TEST(Startup, WithoutTheGameWarnsAndEndsUnseen) {
    testkit::TempDir dir;
    const fs::path exe = CopyProgramInto(dir.path());
    Program program(exe);
    ASSERT_TRUE(program.started);
    const Found found = WaitFor(program.Id(), [](const Found& f) { return f.warning != nullptr; });
    ASSERT_NE(found.warning, nullptr) << "no warning was shown";
    EXPECT_EQ(found.window, nullptr);
    EXPECT_EQ(GetWindow(found.warning, GW_OWNER), nullptr);
    const std::u16string caption = window::kWarningTitle;
    EXPECT_EQ(TextOf(found.warning), std::wstring(caption.begin(), caption.end()));
    const std::u16string text = GamePathWarningText(GamePathWarning::M2);
    EXPECT_EQ(TextOf(GetDlgItem(found.warning, 0xFFFF)), std::wstring(text.begin(), text.end()));
    // One OK button and nothing else to press.
    EXPECT_NE(GetDlgItem(found.warning, IDOK), nullptr);
    EXPECT_EQ(GetDlgItem(found.warning, IDCANCEL), nullptr);
    EXPECT_EQ(GetDlgItem(found.warning, IDYES), nullptr);

    PostMessageW(found.warning, WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED),
                 reinterpret_cast<LPARAM>(GetDlgItem(found.warning, IDOK)));
    EXPECT_EQ(program.Wait(), std::optional<DWORD>(0));
    // Nothing beside the program was written.
    EXPECT_EQ(std::distance(fs::directory_iterator(dir.path()), fs::directory_iterator()), 1);
}

TEST(Startup, BesideTheGameOpensTheWindowOnTheDefaultArchive) {
    testkit::TempDir dir;
    testkit::WriteFile(dir / "war3.exe", "MZ");
    window_test::BuildGameArchive(dir / "War3Patch.mpq", {"补丁 主机", "Orc", {}});
    const fs::path exe = CopyProgramInto(dir.path());
    Program program(exe);
    ASSERT_TRUE(program.started);
    const Found found = WaitFor(program.Id(), [](const Found& f) { return f.window != nullptr || f.warning; });
    ASSERT_NE(found.window, nullptr) << "no window was shown";
    EXPECT_EQ(found.warning, nullptr);
    const std::u16string caption = window::kCaption;
    EXPECT_EQ(TextOf(found.window), std::wstring(caption.begin(), caption.end()));
    const auto control = [&](window::ControlId id) { return GetDlgItem(found.window, winui::Win32View::Win32Id(id)); };
    EXPECT_EQ(TextOf(control(window::ControlId::cboMpqFileName)), L"War3Patch.mpq");
    EXPECT_EQ(TextOf(control(window::ControlId::cboItemToModify)), L"界面背景 (冰封王座)");
    EXPECT_EQ(TextOf(control(window::ControlId::txtLanGameName)), L"补丁 主机");
    EXPECT_EQ(SendMessageW(control(window::ControlId::optMouseOrc), BM_GETCHECK, 0, 0), BST_CHECKED);
    RECT client{};
    GetClientRect(found.window, &client);
    EXPECT_EQ(client.right, 517);
    EXPECT_EQ(client.bottom, 317);

    winui_test::SaveScreenshot(found.window, "ostrawen-exe");
    PostMessageW(found.window, WM_CLOSE, 0, 0);
    EXPECT_EQ(program.Wait(), std::optional<DWORD>(0));
}

} // namespace
