// The view's real open and save dialogs under Wine, answered from a second thread as a player
// would: the file types they list (the first one chosen), a name typed and confirmed, a cancel. The
// open dialog accepts a name that does not exist and a file of any type, the save dialog replaces
// a file without asking, and the program's current directory stays where it was.
#include "view_harness.h"

#include "testkit/temp_dir.h"
#include "window_scenarios.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <thread>

namespace {

namespace fs = std::filesystem;

constexpr int kFileTypeList = 0x470; // cmb1
constexpr int kFileNameBox = 0x480;  // edt1, in the older dialogs
constexpr int kFileNameList = 0x47C; // cmb13, the name box of the Explorer-style dialog

struct Seen {
    std::vector<std::u16string> fileTypes;
    int chosenType = -1;
    bool otherDialog = false; // a question or a refusal popped up over the file dialog
    bool stayedOpen = false;  // the dialog did not take the name
};

struct DialogRow {
    const char* name;
    window::FileDialogKind kind;
    const char* typed; // relative to the test's directory; nullptr cancels
    bool existsBefore; // the typed name is a file already
    bool expectChosen;
};

void PrintTo(const DialogRow& row, std::ostream* out) {
    *out << row.name;
}

std::wstring Wide(const std::u16string& text) {
    return std::wstring(text.begin(), text.end());
}

// A visible dialog of the thread other than `besides`.
HWND FindDialog(DWORD thread, HWND besides = nullptr) {
    struct Search {
        HWND besides;
        HWND found;
    } search{besides, nullptr};
    EnumThreadWindows(
        thread,
        [](HWND hwnd, LPARAM param) {
            auto* search = reinterpret_cast<Search*>(param);
            wchar_t name[16] = {};
            GetClassNameW(hwnd, name, 16);
            if (std::wstring(name) == L"#32770" && IsWindowVisible(hwnd) && hwnd != search->besides) {
                search->found = hwnd;
                return FALSE;
            }
            return TRUE;
        },
        reinterpret_cast<LPARAM>(&search));
    return search.found;
}

std::u16string ComboItem(HWND combo, int index) {
    wchar_t text[512] = {};
    SendMessageW(combo, CB_GETLBTEXT, static_cast<WPARAM>(index), reinterpret_cast<LPARAM>(text));
    const std::wstring wide(text);
    return std::u16string(wide.begin(), wide.end());
}

class FileDialog : public ::testing::TestWithParam<DialogRow> {};

TEST_P(FileDialog, AnswersAsThePlayerDid) {
    const DialogRow& row = GetParam();
    testkit::TempDir dir;
    testkit::WriteFile(dir / "old.mdx", "old");
    testkit::WriteFile(dir / "notes.txt", "text");
    const fs::path before = fs::current_path();

    winui_test::TestView owner;
    ASSERT_TRUE(owner.Create());
    owner.ShowCentred();
    winui_test::Pump(owner);

    const DWORD uiThread = GetCurrentThreadId();
    const fs::path typed = row.typed != nullptr ? dir / row.typed : fs::path();
    std::atomic<bool> stop{false};
    Seen seen;
    std::thread player([&] {
        HWND dialog = nullptr;
        for (int i = 0; i < 300 && dialog == nullptr && !stop; ++i) {
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
            dialog = FindDialog(uiThread);
        }
        if (dialog == nullptr) {
            return;
        }
        HWND types = GetDlgItem(dialog, kFileTypeList);
        const int count = static_cast<int>(SendMessageW(types, CB_GETCOUNT, 0, 0));
        for (int i = 0; i < count; ++i) {
            seen.fileTypes.push_back(ComboItem(types, i));
        }
        seen.chosenType = static_cast<int>(SendMessageW(types, CB_GETCURSEL, 0, 0));
        if (row.typed == nullptr) {
            PostMessageW(dialog, WM_COMMAND, MAKEWPARAM(IDCANCEL, BN_CLICKED), 0);
            return;
        }
        const std::wstring name = typed.wstring();
        HWND nameBox = GetDlgItem(dialog, kFileNameBox);
        if (nameBox == nullptr) {
            nameBox = GetDlgItem(dialog, kFileNameList);
        }
        SendMessageW(nameBox, WM_SETTEXT, 0, reinterpret_cast<LPARAM>(name.c_str()));
        // Posted: a question the dialog asks runs inside its handling of the OK.
        PostMessageW(dialog, WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED), 0);
        // A question ("replace it?") or a refusal ("does not exist") would be a second dialog: it is
        // answered no and closed, and a file dialog that does not close is cancelled.
        for (int i = 0; i < 100 && IsWindow(dialog) && !stop; ++i) {
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
            if (HWND next = FindDialog(uiThread, dialog)) {
                seen.otherDialog = true;
                for (int answer : {IDNO, IDCANCEL, IDOK}) {
                    PostMessageW(next, WM_COMMAND, MAKEWPARAM(answer, BN_CLICKED), 0);
                }
            } else if (i >= 10) {
                seen.stayedOpen = true;
                PostMessageW(dialog, WM_COMMAND, MAKEWPARAM(IDCANCEL, BN_CLICKED), 0);
            }
        }
    });
    const std::u16string filter = u"模型文件 (*.mdx)|*.mdx|所有文件 (*.*)|*.*";
    const std::optional<std::u16string> chosen = owner.Win32View::ShowFileDialog({row.kind, filter, u"", u""});
    stop = true;
    player.join();

    EXPECT_EQ(seen.fileTypes, window_test::FilterNames(filter));
    EXPECT_EQ(seen.chosenType, 0);
    EXPECT_FALSE(seen.otherDialog);
    EXPECT_FALSE(seen.stayedOpen);
    if (row.expectChosen) {
        ASSERT_TRUE(chosen.has_value());
        EXPECT_TRUE(fs::equivalent(fs::path(Wide(*chosen)).parent_path(), dir.path()));
        EXPECT_EQ(fs::path(Wide(*chosen)).filename(), typed.filename());
        EXPECT_EQ(chosen->find(u'\0'), std::u16string::npos);
    } else {
        EXPECT_FALSE(chosen.has_value());
    }
    EXPECT_EQ(fs::exists(typed), row.existsBefore);
    EXPECT_EQ(fs::current_path(), before);
}

INSTANTIATE_TEST_SUITE_P(
    Dialogs, FileDialog,
    ::testing::Values(DialogRow{"OpenAnExistingModel", window::FileDialogKind::Open, "old.mdx", true, true},
                      DialogRow{"OpenAFileOfAnotherType", window::FileDialogKind::Open, "notes.txt", true, true},
                      DialogRow{"OpenANameThatDoesNotExist", window::FileDialogKind::Open, "new.mdx", false, true},
                      DialogRow{"SaveOverAFileWithoutAsking", window::FileDialogKind::Save, "old.mdx", true, true},
                      DialogRow{"SaveANewName", window::FileDialogKind::Save, "new.mdx", false, true},
                      DialogRow{"Cancelled", window::FileDialogKind::Open, nullptr, false, false}),
    [](const ::testing::TestParamInfo<DialogRow>& info) { return std::string(info.param.name); });

} // namespace
