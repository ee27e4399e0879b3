// The Win32 window's drawing and wiring, driven with window messages under Wine: where every
// control stands at 96 and 192 dpi, the flat buttons, the keyboard (Tab order, access keys, Enter),
// the events passed on to the logic, the blocked window and the file dialogs' filter.
#include "view_harness.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <utility>
#include <vector>

namespace window {
inline void PrintTo(ControlId id, std::ostream* out) {
    *out << ControlName(id);
}
} // namespace window

namespace {

using window::ControlId;
using window::ControlKind;
using winui::ControlEvent;

struct Event {
    ControlId id;
    ControlEvent event;
    bool operator==(const Event&) const = default;
};

void PrintTo(const Event& event, std::ostream* out) {
    *out << window::ControlName(event.id) << "/" << static_cast<int>(event.event);
}

class ViewTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(view.Create());
        view.SetEventSink([this](ControlId id, ControlEvent event) { events.push_back({id, event}); });
        view.ShowCentred();
        SetForegroundWindow(view.Hwnd());
        winui_test::Pump(view);
    }

    void AtDpi(unsigned dpi) {
        RECT suggested{};
        GetWindowRect(view.Hwnd(), &suggested);
        SendMessageW(view.Hwnd(), WM_DPICHANGED, MAKEWPARAM(dpi, dpi), reinterpret_cast<LPARAM>(&suggested));
        winui_test::Pump(view);
    }

    std::vector<Event> Clicks() const {
        std::vector<Event> clicks;
        for (const Event& event : events) {
            if (event.event == ControlEvent::Click) {
                clicks.push_back(event);
            }
        }
        return clicks;
    }

    winui_test::TestView view;
    std::vector<Event> events;
};

// Where a control must stand in the main window's client area: its container's corner (the group
// boxes hold their labels; the banner's labels are inside the banner, at its corner 0, 0) plus its
// own rectangle, each converted on its own.
RECT Expected(ControlId id, int dpi) {
    const window::ControlLayout& control = window::LayoutOf(id);
    const window::PixelRect own = window::PixelsFromTwips(control.rect, dpi);
    window::PixelRect corner{};
    if (control.parent != ControlId::FrmMain) {
        corner = window::PixelsFromTwips(window::LayoutOf(control.parent).rect, dpi);
    }
    return RECT{corner.left + own.left, corner.top + own.top, corner.left + own.left + own.width,
                corner.top + own.top + own.height};
}

// --- Every control at its place, at two DPIs: the fixed ones whole, the labels that follow their
// text at their corner ---

struct PlaceRow {
    ControlId id;
    int dpi;
};

std::vector<PlaceRow> PlaceRows() {
    std::vector<PlaceRow> rows;
    for (int dpi : {96, 192}) {
        for (const window::ControlLayout& control : window::Layout()) {
            const bool drawnAlone = control.kind != ControlKind::Window && control.kind != ControlKind::Image &&
                                    control.kind != ControlKind::Line;
            if (drawnAlone) {
                rows.push_back({control.id, dpi});
            }
        }
    }
    return rows;
}

class ControlPlace : public ViewTest, public ::testing::WithParamInterface<PlaceRow> {};

TEST_P(ControlPlace, MatchesTheLayoutInPixels) {
    const PlaceRow row = GetParam();
    if (row.dpi != 96) {
        AtDpi(static_cast<unsigned>(row.dpi));
    }
    const RECT expected = Expected(row.id, row.dpi);
    const RECT actual = winui_test::ClientRectOf(view, row.id);
    EXPECT_EQ(actual.left, expected.left);
    EXPECT_EQ(actual.top, expected.top);
    const window::Sizing sizing = window::LayoutOf(row.id).sizing;
    if (sizing == window::Sizing::FitsText) {
        return; // a label that follows its text keeps only its corner
    }
    EXPECT_EQ(actual.right - actual.left, expected.right - expected.left);
    if (sizing != window::Sizing::ListHeight) {
        // A drop-down list's closed height follows its font.
        EXPECT_EQ(actual.bottom - actual.top, expected.bottom - expected.top);
    }
}

INSTANTIATE_TEST_SUITE_P(Layout, ControlPlace, ::testing::ValuesIn(PlaceRows()),
                         [](const ::testing::TestParamInfo<PlaceRow>& info) {
                             std::string name(window::ControlName(info.param.id));
                             std::replace(name.begin(), name.end(), '(', '_');
                             name.erase(std::remove(name.begin(), name.end(), ')'), name.end());
                             return name + "_" + std::to_string(info.param.dpi) + "dpi";
                         });

// --- The client area, and the banner's labels where start-up puts them ---

class ClientSize : public ViewTest, public ::testing::WithParamInterface<int> {};

TEST_P(ClientSize, FollowsTheDpi) {
    const int dpi = GetParam();
    if (dpi != 96) {
        AtDpi(static_cast<unsigned>(dpi));
    }
    RECT client{};
    GetClientRect(view.Hwnd(), &client);
    EXPECT_EQ(client.right, window::PixelsFromTwips(window::kClientWidthTwips, dpi));
    EXPECT_EQ(client.bottom, window::PixelsFromTwips(window::kClientHeightTwips, dpi));
    if (dpi == 96) {
        EXPECT_EQ(client.right, 517);
        EXPECT_EQ(client.bottom, 317);
    }
    // Fixed single border: no sizing frame, no maximise button.
    const LONG_PTR style = GetWindowLongPtrW(view.Hwnd(), GWL_STYLE);
    EXPECT_EQ(style & (WS_THICKFRAME | WS_MAXIMIZEBOX), 0);
    EXPECT_NE(style & WS_MINIMIZEBOX, 0);
    view.ShowCentred(); // the larger window whole on the screen
    winui_test::SaveScreenshot(view.Hwnd(), "win32-window-" + std::to_string(dpi) + "dpi");
}

INSTANTIATE_TEST_SUITE_P(Dpi, ClientSize, ::testing::Values(96, 192),
                         [](const ::testing::TestParamInfo<int>& info) { return std::to_string(info.param) + "dpi"; });

struct MovedLabelRow {
    const char* name;
    ControlId id;
    window::TwipsRect to;
    std::u16string text;
};

class MovedLabel : public ViewTest, public ::testing::WithParamInterface<MovedLabelRow> {};

// A label that follows its text keeps the corner it is moved to and takes its text's size, however
// long the text it is given after.
TEST_P(MovedLabel, KeepsItsCornerAndFitsItsText) {
    const MovedLabelRow& row = GetParam();
    view.MoveControl(row.id, row.to);
    view.SetText(row.id, row.text);
    const RECT actual = winui_test::ClientRectOf(view, row.id);
    EXPECT_EQ(actual.left, window::PixelsFromTwips(row.to.left));
    EXPECT_EQ(actual.top, window::PixelsFromTwips(row.to.top));
    HWND label = view.ControlHwnd(row.id);
    HDC dc = GetDC(label);
    HGDIOBJ old = SelectObject(dc, reinterpret_cast<HFONT>(SendMessageW(label, WM_GETFONT, 0, 0)));
    SIZE size{};
    const std::wstring wide(row.text.begin(), row.text.end());
    GetTextExtentPoint32W(dc, wide.c_str(), static_cast<int>(wide.size()), &size);
    SelectObject(dc, old);
    ReleaseDC(label, dc);
    EXPECT_EQ(actual.right - actual.left, size.cx);
    EXPECT_EQ(actual.bottom - actual.top, size.cy);
    EXPECT_GT(size.cx, window::PixelsFromTwips(row.to.width) / 4);
    EXPECT_EQ(view.Text(row.id), row.text);
}

INSTANTIATE_TEST_SUITE_P(
    Banner, MovedLabel,
    ::testing::Values(MovedLabelRow{"AboutLine", ControlId::Label_4, {240, 180, 5475, 180}, window::kAboutLine},
                      MovedLabelRow{"FeatureLine", ControlId::Label_3, {600, 480, 5850, 180}, window::kFeatureLine}),
    [](const ::testing::TestParamInfo<MovedLabelRow>& info) { return std::string(info.param.name); });

// --- Flat buttons: flat, yet visible and in the tab order; nothing else changed ---

class FlatStyle : public ViewTest, public ::testing::WithParamInterface<ControlId> {};

TEST_P(FlatStyle, OnlyPushButtonsTurnFlatAndStayReachable) {
    const ControlId id = GetParam();
    HWND hwnd = view.ControlHwnd(id);
    const LONG_PTR before = GetWindowLongPtrW(hwnd, GWL_STYLE);
    view.MakeButtonsFlat();
    const LONG_PTR after = GetWindowLongPtrW(hwnd, GWL_STYLE);
    if (window::LayoutOf(id).kind == ControlKind::Button) {
        EXPECT_EQ(after & BS_TYPEMASK, BS_PUSHBUTTON);
        EXPECT_NE(after & BS_FLAT, 0);
        EXPECT_NE(after & WS_VISIBLE, 0);
        EXPECT_NE(after & WS_TABSTOP, 0);
        EXPECT_TRUE(IsWindowVisible(hwnd));
        const RECT place = winui_test::ClientRectOf(view, id);
        EXPECT_EQ(place.left, Expected(id, 96).left);
        EXPECT_EQ(place.right, Expected(id, 96).right);
    } else {
        EXPECT_EQ(after, before);
    }
}

std::vector<ControlId> WindowedControls() {
    std::vector<ControlId> ids;
    for (const window::ControlLayout& control : window::Layout()) {
        if (control.kind != ControlKind::Window && control.kind != ControlKind::Image &&
            control.kind != ControlKind::Line) {
            ids.push_back(control.id);
        }
    }
    return ids;
}

INSTANTIATE_TEST_SUITE_P(Controls, FlatStyle, ::testing::ValuesIn(WindowedControls()),
                         [](const ::testing::TestParamInfo<ControlId>& info) {
                             std::string name(window::ControlName(info.param));
                             for (char& c : name) {
                                 if (c == '(' || c == ')') {
                                     c = '_';
                                 }
                             }
                             return name;
                         });

// --- Keyboard ---

// Tab moves through the focusable controls in ascending tab index and wraps; the option group is
// one stop, at its first button while none is checked.
TEST_F(ViewTest, TabFollowsTheTabIndexAndWraps) {
    view.MakeButtonsFlat();
    std::vector<ControlId> expected;
    bool optionSeen = false;
    for (ControlId id : window::TabOrder()) {
        if (window::LayoutOf(id).kind == ControlKind::OptionButton) {
            if (optionSeen) {
                continue;
            }
            optionSeen = true;
        }
        expected.push_back(id);
    }
    ASSERT_FALSE(expected.empty());
    ASSERT_EQ(winui_test::FocusedControl(view), expected.front()); // the window opens there
    std::vector<ControlId> visited{expected.front()};
    for (std::size_t i = 0; i < expected.size(); ++i) {
        winui_test::PressKey(view, VK_TAB);
        const std::optional<ControlId> focused = winui_test::FocusedControl(view);
        ASSERT_TRUE(focused.has_value()) << "after " << i + 1 << " tabs";
        visited.push_back(*focused);
    }
    std::vector<ControlId> wrapped = expected;
    wrapped.push_back(expected.front());
    EXPECT_EQ(visited, wrapped);
}

struct AccessKeyRow {
    wchar_t letter;
    ControlId id;
};

class AccessKey : public ViewTest, public ::testing::WithParamInterface<AccessKeyRow> {};

TEST_P(AccessKey, PressesOrTogglesItsControl) {
    const AccessKeyRow row = GetParam();
    view.MakeButtonsFlat();
    const bool wasChecked = view.IsChecked(row.id);
    winui_test::PressAccessKey(view, row.letter);
    EXPECT_EQ(Clicks(), (std::vector<Event>{{row.id, ControlEvent::Click}}));
    if (window::LayoutOf(row.id).kind == ControlKind::CheckBox) {
        EXPECT_NE(view.IsChecked(row.id), wasChecked);
    }
}

INSTANTIATE_TEST_SUITE_P(Captions, AccessKey,
                         ::testing::Values(AccessKeyRow{L'z', ControlId::btnCompressMpq},
                                           AccessKeyRow{L'b', ControlId::btnDoModificationForGeneral},
                                           AccessKeyRow{L'm', ControlId::btnDoModificationForMouse},
                                           AccessKeyRow{L'l', ControlId::btnDoModificationForLanGameName},
                                           AccessKeyRow{L'e', ControlId::chkExtract},
                                           AccessKeyRow{L'd', ControlId::chkDelete}),
                         [](const ::testing::TestParamInfo<AccessKeyRow>& info) {
                             return std::string("Alt") + static_cast<char>(info.param.letter);
                         });

// Enter presses the button that has the focus, and only a button: on any other control it presses
// nothing, as the window has no default button.
class EnterKey : public ViewTest, public ::testing::WithParamInterface<ControlId> {};

TEST_P(EnterKey, PressesTheFocusedButtonOnly) {
    const ControlId id = GetParam();
    view.MakeButtonsFlat();
    SetFocus(view.ControlHwnd(id));
    ASSERT_EQ(winui_test::FocusedControl(view), id);
    winui_test::PressKey(view, VK_RETURN);
    if (window::LayoutOf(id).kind == ControlKind::Button) {
        EXPECT_EQ(Clicks(), (std::vector<Event>{{id, ControlEvent::Click}}));
    } else {
        EXPECT_TRUE(Clicks().empty());
    }
}

INSTANTIATE_TEST_SUITE_P(
    Focus, EnterKey,
    ::testing::Values(ControlId::btnCompressMpq, ControlId::btnDoModificationForGeneral,
                      ControlId::btnBrowserForModificationDest, ControlId::btnDoModificationForMouse,
                      ControlId::btnDoModificationForLanGameName, ControlId::txtDestForGameModification,
                      ControlId::txtLanGameName, ControlId::cboMpqFileName),
    [](const ::testing::TestParamInfo<ControlId>& info) { return std::string(window::ControlName(info.param)); });

// Esc closes nothing and presses nothing.
TEST_F(ViewTest, EscapeIsNoCancelButton) {
    SetFocus(view.ControlHwnd(ControlId::btnCompressMpq));
    winui_test::PressKey(view, VK_ESCAPE);
    EXPECT_TRUE(IsWindow(view.Hwnd()));
    EXPECT_TRUE(Clicks().empty());
}

// --- Events passed on to the logic ---

struct EventRow {
    const char* name;
    void (*act)(winui::Win32View&);
    std::vector<Event> expected;
};

class PassedOn : public ViewTest, public ::testing::WithParamInterface<EventRow> {};

TEST_P(PassedOn, AsTheLogicNamesThem) {
    GetParam().act(view);
    EXPECT_EQ(events, GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(
    Events, PassedOn,
    ::testing::Values(EventRow{"ListChoice",
                               [](winui::Win32View& v) { winui_test::ChooseEntry(v, ControlId::cboMpqFileName, 2); },
                               {{ControlId::cboMpqFileName, ControlEvent::Click}}},
                      EventRow{"SameEntryChosenAgainIsReportedAgain",
                               [](winui::Win32View& v) {
                                   winui_test::ChooseEntry(v, ControlId::cboItemToModify, 6);
                                   winui_test::ChooseEntry(v, ControlId::cboItemToModify, 6);
                               },
                               {{ControlId::cboItemToModify, ControlEvent::Click},
                                {ControlId::cboItemToModify, ControlEvent::Click}}},
                      EventRow{
                          "ButtonClick",
                          [](winui::Win32View& v) { winui_test::Click(v, ControlId::btnBrowserForModificationDest); },
                          {{ControlId::btnBrowserForModificationDest, ControlEvent::Click}}},
                      EventRow{"Typing",
                               [](winui::Win32View& v) { winui_test::Type(v, ControlId::txtLanGameName, u"局域网"); },
                               {{ControlId::txtLanGameName, ControlEvent::Change}}},
                      EventRow{"ListLosesFocus",
                               [](winui::Win32View& v) {
                                   SetFocus(v.ControlHwnd(ControlId::cboItemToModify));
                                   SetFocus(v.ControlHwnd(ControlId::txtLanGameName));
                                   winui_test::Pump(v);
                               },
                               {{ControlId::cboItemToModify, ControlEvent::LostFocus}}},
                      EventRow{"SettersReportNothing",
                               [](winui::Win32View& v) {
                                   v.SetSelectedIndex(ControlId::cboMpqFileName, 1);
                                   v.SetText(ControlId::cboItemToModify, u"游戏字体 (英文)");
                                   v.SetChecked(ControlId::chkExtract, true);
                                   winui_test::Pump(v);
                               },
                               {}}),
    [](const ::testing::TestParamInfo<EventRow>& info) { return std::string(info.param.name); });

// What the logic reads back is what the player chose or typed, Chinese included.
TEST_F(ViewTest, ReadsBackWhatThePlayerChoseAndTyped) {
    winui_test::ChooseEntry(view, ControlId::cboItemToModify, 6);
    EXPECT_EQ(view.SelectedIndex(ControlId::cboItemToModify), 6);
    EXPECT_EQ(view.Text(ControlId::cboItemToModify), window::ListEntries(ControlId::cboItemToModify).at(6));
    winui_test::Type(view, ControlId::txtDestForGameModification, u"C:\\魔兽\\背景.mdx");
    EXPECT_EQ(view.Text(ControlId::txtDestForGameModification), u"C:\\魔兽\\背景.mdx");
    view.SetText(ControlId::cboMpqFileName, u"War3x.mpq");
    EXPECT_EQ(view.SelectedIndex(ControlId::cboMpqFileName), 2);
    view.SetText(ControlId::cboMpqFileName, u"NoSuch.mpq");
    EXPECT_EQ(view.SelectedIndex(ControlId::cboMpqFileName), -1);
    EXPECT_EQ(view.Text(ControlId::cboMpqFileName), u"");
}

// Checking an option button through the view leaves the others as the logic sets them; a click by
// the player clears the rest of the group.
TEST_F(ViewTest, OptionGroupClearsOnlyOnTheClick) {
    view.SetChecked(ControlId::optMouseOrc, true);
    view.SetChecked(ControlId::optMouseHuman, true);
    EXPECT_TRUE(view.IsChecked(ControlId::optMouseOrc));
    winui_test::Click(view, ControlId::optMouseUndead);
    EXPECT_TRUE(view.IsChecked(ControlId::optMouseUndead));
    EXPECT_FALSE(view.IsChecked(ControlId::optMouseOrc));
    EXPECT_FALSE(view.IsChecked(ControlId::optMouseHuman));
    EXPECT_FALSE(view.IsChecked(ControlId::optMouseNightElf));
}

// --- The blocked window ---

TEST_F(ViewTest, BlockedWindowPaintsButTakesNoInputAndStaysOpen) {
    bool ran = false;
    view.RunBlocked([&] {
        ran = true;
        EXPECT_FALSE(IsWindowEnabled(view.Hwnd()));
        HWND button = view.ControlHwnd(ControlId::btnCompressMpq);
        SetFocus(button);
        PostMessageW(button, WM_LBUTTONDOWN, MK_LBUTTON, MAKELPARAM(5, 5));
        PostMessageW(button, WM_LBUTTONUP, 0, MAKELPARAM(5, 5));
        PostMessageW(button, WM_SYSCHAR, L'z', 1 | (LPARAM(1) << 29));
        PostMessageW(button, WM_KEYDOWN, VK_RETURN, 1);
        PostMessageW(view.Hwnd(), WM_CLOSE, 0, 0);
        InvalidateRect(view.Hwnd(), nullptr, TRUE);
        view.KeepAlive();
        EXPECT_TRUE(IsWindow(view.Hwnd()));
        // Painted while blocked: nothing is left to paint.
        RECT pending{};
        EXPECT_FALSE(GetUpdateRect(view.Hwnd(), &pending, FALSE));
    });
    EXPECT_TRUE(ran);
    EXPECT_TRUE(events.empty());
    EXPECT_TRUE(IsWindowEnabled(view.Hwnd()));
    SendMessageW(view.Hwnd(), WM_CLOSE, 0, 0);
    EXPECT_FALSE(IsWindow(view.Hwnd()));
}

TEST_F(ViewTest, CloseGuardKeepsTheWindowWhileTheLogicSaysSo) {
    bool refuse = true;
    view.SetCloseGuard([&] { return refuse; });
    SendMessageW(view.Hwnd(), WM_CLOSE, 0, 0);
    EXPECT_TRUE(IsWindow(view.Hwnd()));
    refuse = false;
    SendMessageW(view.Hwnd(), WM_CLOSE, 0, 0);
    EXPECT_EQ(view.Hwnd(), nullptr);
}

// --- File dialogs' filter ---

struct FilterRow {
    const char* name;
    std::u16string filter;
    std::wstring expected; // without the string's own closing NUL
};

// A literal with the NULs inside it kept.
template <std::size_t N> std::wstring WithNuls(const wchar_t (&text)[N]) {
    return std::wstring(text, N - 1);
}

class DialogFilter : public ::testing::TestWithParam<FilterRow> {};

TEST_P(DialogFilter, EndsInTwoNuls) {
    const std::wstring converted = winui::Win32View::DialogFilter(GetParam().filter);
    EXPECT_EQ(converted, GetParam().expected);
    ASSERT_FALSE(converted.empty());
    EXPECT_EQ(converted.back(), L'\0');
    EXPECT_EQ(converted.c_str()[converted.size()], L'\0');
}

INSTANTIATE_TEST_SUITE_P(Filters, DialogFilter,
                         ::testing::Values(FilterRow{"TwoPairs", u"背景音乐文件 (*.mp3)|*.mp3|所有文件 (*.*)|*.*",
                                                     WithNuls(L"背景音乐文件 (*.mp3)\0*.mp3\0所有文件 (*.*)\0*.*\0")},
                                           FilterRow{"NoBar", u"*.ttf", WithNuls(L"*.ttf\0")},
                                           FilterRow{"Empty", u"", WithNuls(L"\0")}),
                         [](const ::testing::TestParamInfo<FilterRow>& info) { return std::string(info.param.name); });

} // namespace
