// The one layout table every view draws: each input lies inside its group box, nothing overlaps,
// the grid's gaps, the client size in pixels, the tab order, names both ways.
#include "window/window_layout.h"

#include <gtest/gtest.h>

#include <ostream>
#include <set>
#include <string>

using namespace window;

namespace {

struct Rect {
    int left, top, right, bottom;
};
Rect Edges(const TwipsRect& r) {
    return {r.left, r.top, r.left + r.width, r.top + r.height};
}
bool Inside(const Rect& inner, const Rect& outer) {
    return inner.left >= outer.left && inner.top >= outer.top && inner.right <= outer.right &&
           inner.bottom <= outer.bottom;
}
bool Overlap(const Rect& a, const Rect& b) {
    return a.left < b.right && b.left < a.right && a.top < b.bottom && b.top < a.bottom;
}

struct InputRow {
    const char* name;
    ControlId input;
    ControlId frame;
};

void PrintTo(const InputRow& row, std::ostream* out) {
    *out << row.name;
}

class InputInsideFrame : public ::testing::TestWithParam<InputRow> {};

TEST_P(InputInsideFrame, LiesWhollyInsideItsGroupBoxAndOverlapsNoOtherInput) {
    const ControlLayout& input = LayoutOf(GetParam().input);
    const ControlLayout& frame = LayoutOf(GetParam().frame);
    EXPECT_EQ(input.parent, ControlId::FrmMain) << "inputs are the window's own children";
    EXPECT_EQ(frame.kind, ControlKind::GroupBox);
    EXPECT_TRUE(Inside(Edges(input.rect), Edges(frame.rect)));
    for (const ControlLayout& other : Layout()) {
        if (other.id == input.id || other.parent != ControlId::FrmMain || other.kind == ControlKind::GroupBox ||
            other.kind == ControlKind::Picture || other.kind == ControlKind::Window)
            continue;
        EXPECT_FALSE(Overlap(Edges(input.rect), Edges(other.rect))) << ControlName(other.id);
    }
    // Created after its frame, so it stacks above it.
    const auto position = [](ControlId id) {
        const auto layout = Layout();
        for (std::size_t i = 0; i < layout.size(); ++i)
            if (layout[i].id == id)
                return i;
        return layout.size();
    };
    EXPECT_GT(position(input.id), position(frame.id));
}

INSTANTIATE_TEST_SUITE_P(
    Layout, InputInsideFrame,
    ::testing::Values(
        InputRow{"cboMpqFileName", ControlId::cboMpqFileName, ControlId::Frame7},
        InputRow{"btnCompressMpq", ControlId::btnCompressMpq, ControlId::Frame7},
        InputRow{"cboItemToModify", ControlId::cboItemToModify, ControlId::Frame2},
        InputRow{"txtDestForGameModification", ControlId::txtDestForGameModification, ControlId::Frame2},
        InputRow{"btnBrowserForModificationDest", ControlId::btnBrowserForModificationDest, ControlId::Frame2},
        InputRow{"chkExtract", ControlId::chkExtract, ControlId::Frame2},
        InputRow{"chkDelete", ControlId::chkDelete, ControlId::Frame2},
        InputRow{"btnDoModificationForGeneral", ControlId::btnDoModificationForGeneral, ControlId::Frame2},
        InputRow{"optMouseNightElf", ControlId::optMouseNightElf, ControlId::Frame3},
        InputRow{"optMouseOrc", ControlId::optMouseOrc, ControlId::Frame3},
        InputRow{"optMouseHuman", ControlId::optMouseHuman, ControlId::Frame3},
        InputRow{"optMouseUndead", ControlId::optMouseUndead, ControlId::Frame3},
        InputRow{"btnDoModificationForMouse", ControlId::btnDoModificationForMouse, ControlId::Frame3},
        InputRow{"txtLanGameName", ControlId::txtLanGameName, ControlId::Frame4},
        InputRow{"btnDoModificationForLanGameName", ControlId::btnDoModificationForLanGameName, ControlId::Frame4}),
    [](const auto& info) { return std::string(info.param.name); });

struct PixelRow {
    const char* name;
    int twips;
    int dpi;
    int pixels;
};

void PrintTo(const PixelRow& row, std::ostream* out) {
    *out << row.name;
}

class TwipsToPixels : public ::testing::TestWithParam<PixelRow> {};

TEST_P(TwipsToPixels, RoundsToTheNearestPixel) {
    EXPECT_EQ(PixelsFromTwips(GetParam().twips, GetParam().dpi), GetParam().pixels);
}

// 96 dpi: 15 twips a pixel; 144 dpi: 10; 120 dpi: 12, where halves occur.
INSTANTIATE_TEST_SUITE_P(Layout, TwipsToPixels,
                         ::testing::Values(PixelRow{"ClientWidthAt96", kClientWidthTwips, 96, 517},
                                           PixelRow{"ClientHeightAt96", kClientHeightTwips, 96, 317},
                                           PixelRow{"ClientWidthAt144", kClientWidthTwips, 144, 776},
                                           PixelRow{"HalfRoundsUpAt120", 6, 120, 1},
                                           PixelRow{"JustBelowHalfAt120", 5, 120, 0},
                                           PixelRow{"LabelHeightAt96", 405, 96, 27},
                                           PixelRow{"SevenAndAHalfPixelsAt96", 112, 96, 7},
                                           PixelRow{"NegativeHalfAwayFromZero", -6, 120, -1}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(LayoutTable, EveryControlHasOneRowAndANameBothWays) {
    std::set<ControlId> seen;
    std::set<std::string_view> names;
    for (const ControlLayout& control : Layout()) {
        EXPECT_TRUE(seen.insert(control.id).second) << ControlName(control.id);
        const std::string_view name = ControlName(control.id);
        ASSERT_FALSE(name.empty());
        EXPECT_TRUE(names.insert(name).second) << name;
        EXPECT_EQ(ControlFromName(name), control.id) << name;
        // A container is created before what it holds.
        bool parentSeen = control.parent == control.id || seen.count(control.parent) == 1;
        EXPECT_TRUE(parentSeen) << name;
    }
    EXPECT_EQ(seen.size(), static_cast<std::size_t>(ControlId::btnDoModificationForLanGameName) + 1);
    EXPECT_EQ(ControlName(ControlId::Label_4), "Label(4)");
    EXPECT_FALSE(ControlFromName("Label4").has_value());
}

TEST(LayoutTable, GroupBoxesLeaveEvenGapsAndTheBannerEndsAbove) {
    const Rect f7 = Edges(LayoutOf(ControlId::Frame7).rect);
    const Rect f2 = Edges(LayoutOf(ControlId::Frame2).rect);
    const Rect f3 = Edges(LayoutOf(ControlId::Frame3).rect);
    const Rect f4 = Edges(LayoutOf(ControlId::Frame4).rect);
    EXPECT_EQ(f2.left - f7.right, 105);
    EXPECT_EQ(f4.left - f3.right, 105);
    EXPECT_EQ(f3.top - f7.bottom, 105);
    EXPECT_EQ(f4.top - f2.bottom, 105);
    EXPECT_LT(Edges(LayoutOf(ControlId::PicTop).rect).bottom, f7.top);
    const TwipsRect line = LayoutOf(ControlId::Line1).rect;
    const TwipsRect banner = LayoutOf(ControlId::PicTop).rect;
    EXPECT_EQ(banner.height - line.top, 15);
    EXPECT_EQ(banner.width - (line.left + line.width), 15);
}

TEST(LayoutTable, TabOrderStartsAtTheTargetFileBoxAndEndsAtTheLanName) {
    const std::vector<ControlId> order = TabOrder();
    const std::vector<ControlId> expected{ControlId::txtDestForGameModification,
                                          ControlId::cboItemToModify,
                                          ControlId::cboMpqFileName,
                                          ControlId::PicTop,
                                          ControlId::btnCompressMpq,
                                          ControlId::btnDoModificationForGeneral,
                                          ControlId::btnBrowserForModificationDest,
                                          ControlId::chkDelete,
                                          ControlId::chkExtract,
                                          ControlId::btnDoModificationForMouse,
                                          ControlId::optMouseUndead,
                                          ControlId::optMouseHuman,
                                          ControlId::optMouseOrc,
                                          ControlId::optMouseNightElf,
                                          ControlId::btnDoModificationForLanGameName,
                                          ControlId::txtLanGameName};
    EXPECT_EQ(order, expected);
}

TEST(LayoutTable, EveryAccessKeyIsUsedOnce) {
    std::set<char16_t> keys;
    for (const ControlLayout& control : Layout()) {
        const std::u16string_view caption = control.caption;
        const auto amp = caption.find(u'&');
        if (amp == std::u16string_view::npos || control.kind == ControlKind::Window)
            continue;
        ASSERT_LT(amp + 1, caption.size());
        EXPECT_TRUE(keys.insert(caption[amp + 1]).second) << ControlName(control.id);
    }
    EXPECT_EQ(keys, (std::set<char16_t>{u'Z', u'B', u'M', u'L', u'E', u'D'}));
}

} // namespace
