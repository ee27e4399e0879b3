#include "window/window_layout.h"

#include "mods/modifications.h"

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstdlib>

namespace window {
namespace {

constexpr Colour Given(std::uint8_t red, std::uint8_t green, std::uint8_t blue) {
    return {ColourSource::Given, {red, green, blue}};
}
constexpr Colour kWhite = Given(255, 255, 255);
constexpr Colour kBlack = Given(0, 0, 0);
constexpr Colour kGrey = Given(64, 64, 64);
constexpr Colour kDarkRed = Given(128, 0, 0);
constexpr Colour kBannerBlue = Given(234, 244, 255);
constexpr Colour kLineBlue = Given(159, 207, 255);
constexpr Colour kTransparent{ColourSource::Transparent, {}};
constexpr Colour kWindowText{ColourSource::SystemWindowText, {}};
constexpr Colour kButtonText{ColourSource::SystemButtonText, {}};
constexpr Colour kDefault{};

using enum ControlId;
using K = ControlKind;
using S = Sizing;
using F = FontId;

// Rectangles, captions, colours and tab indices as the window is designed; a change here changes
// every view.
constexpr std::array kLayout{
    ControlLayout{FrmMain,
                  K::Window,
                  FrmMain,
                  {0, 0, kClientWidthTwips, kClientHeightTwips},
                  kCaption,
                  F::Window,
                  kDefault,
                  kWhite,
                  -1,
                  S::Fixed,
                  u""},

    // The banner.
    ControlLayout{PicTop,
                  K::Picture,
                  FrmMain,
                  {0, 0, 7755, 855},
                  u"",
                  F::Window,
                  kDefault,
                  kBannerBlue,
                  15,
                  S::Fixed,
                  kAboutLine},
    ControlLayout{Label_4,
                  K::Label,
                  PicTop,
                  {240, 180, 5160, 180},
                  kAboutLine,
                  F::Song9Bold,
                  kButtonText,
                  kTransparent,
                  16,
                  S::FitsText,
                  u""},
    ControlLayout{Label_3,
                  K::Label,
                  PicTop,
                  {600, 480, 5850, 180},
                  kFeatureLine,
                  F::Song9,
                  kButtonText,
                  kTransparent,
                  17,
                  S::FitsText,
                  u""},
    ControlLayout{ImgLogo,
                  K::Image,
                  PicTop,
                  {6900, 15, 720, 720},
                  u"",
                  F::Window,
                  kDefault,
                  kTransparent,
                  -1,
                  S::Fixed,
                  u"Ostrawen"},
    ControlLayout{Line1, K::Line, PicTop, {0, 840, 7740, 0}, u"", F::Window, kLineBlue, kDefault, -1, S::Fixed, u""},

    // The group boxes and their labels.
    ControlLayout{Frame7,
                  K::GroupBox,
                  FrmMain,
                  {150, 990, 3135, 1695},
                  u"MPQ 文件选择",
                  F::Window,
                  kGrey,
                  kWhite,
                  0,
                  S::Fixed,
                  u""},
    ControlLayout{Label9,
                  K::Label,
                  Frame7,
                  {150, 390, 1260, 180},
                  u"选择 MPQ 文件:",
                  F::Window,
                  kBlack,
                  kTransparent,
                  1,
                  S::FitsText,
                  u""},
    ControlLayout{Label_1,
                  K::Label,
                  Frame7,
                  {150, 1140, 1695, 405},
                  u"执行任何操作前您都需要先选择 MPQ文件",
                  F::Window,
                  kDarkRed,
                  kTransparent,
                  2,
                  S::WrapsInRect,
                  u""},
    ControlLayout{Frame2,
                  K::GroupBox,
                  FrmMain,
                  {3390, 990, 4215, 1695},
                  u"修改背景图片/音乐/字体",
                  F::Window,
                  kGrey,
                  kWhite,
                  6,
                  S::Fixed,
                  u""},
    ControlLayout{Label2,
                  K::Label,
                  Frame2,
                  {160, 420, 1140, 195},
                  u"要修改的项目:",
                  F::Window,
                  kBlack,
                  kTransparent,
                  7,
                  S::FitsText,
                  u""},
    ControlLayout{Label10,
                  K::Label,
                  Frame2,
                  {160, 780, 1140, 195},
                  u"选择目标文件:",
                  F::Window,
                  kBlack,
                  kTransparent,
                  8,
                  S::FitsText,
                  u""},
    ControlLayout{Frame3,
                  K::GroupBox,
                  FrmMain,
                  {150, 2790, 3135, 1815},
                  u"修改鼠标指针",
                  F::Window,
                  kGrey,
                  kWhite,
                  3,
                  S::Fixed,
                  u""},
    ControlLayout{Label11,
                  K::Label,
                  Frame3,
                  {150, 390, 1530, 180},
                  u"目标鼠标指针样式:",
                  F::Window,
                  kBlack,
                  kTransparent,
                  4,
                  S::FitsText,
                  u""},
    ControlLayout{Label_2,
                  K::Label,
                  Frame3,
                  {150, 1260, 1350, 405},
                  u"这会同时修改人族游戏时的鼠标指针",
                  F::Window,
                  kGrey,
                  kTransparent,
                  5,
                  S::WrapsInRect,
                  u""},
    ControlLayout{Frame4,
                  K::GroupBox,
                  FrmMain,
                  {3390, 2790, 4215, 1815},
                  u"修改局域网主机名",
                  F::Window,
                  kGrey,
                  kWhite,
                  9,
                  S::Fixed,
                  u""},
    ControlLayout{Label12,
                  K::Label,
                  Frame4,
                  {150, 390, 1530, 180},
                  u"目标局域网主机名:",
                  F::Window,
                  kBlack,
                  kTransparent,
                  10,
                  S::FitsText,
                  u""},
    ControlLayout{Label_0,
                  K::Label,
                  Frame4,
                  {150, 1260, 2055, 405},
                  u"请注意选择 MPQ 文件，多个 MPQ 都有局域网主机名",
                  F::Window,
                  kGrey,
                  kTransparent,
                  11,
                  S::WrapsInRect,
                  u""},

    // The inputs: the window's own children, laid over the group boxes.
    ControlLayout{cboMpqFileName,
                  K::DropDownList,
                  FrmMain,
                  {300, 1710, 2840, 315},
                  u"",
                  F::Window,
                  kDefault,
                  kDefault,
                  14,
                  S::ListHeight,
                  u"选择 MPQ 文件"},
    ControlLayout{btnCompressMpq,
                  K::Button,
                  FrmMain,
                  {2130, 2160, 990, 360},
                  u"压缩(&Z)",
                  F::Song9,
                  kDefault,
                  kDefault,
                  18,
                  S::Fixed,
                  u""},
    ControlLayout{cboItemToModify,
                  K::DropDownList,
                  FrmMain,
                  {4800, 1380, 2660, 315},
                  u"",
                  F::Window,
                  kDefault,
                  kDefault,
                  13,
                  S::ListHeight,
                  u"要修改的项目"},
    ControlLayout{txtDestForGameModification,
                  K::TextBox,
                  FrmMain,
                  {4800, 1740, 2055, 270},
                  u"",
                  F::Window,
                  kDefault,
                  kDefault,
                  12,
                  S::Fixed,
                  u"选择目标文件"},
    ControlLayout{btnBrowserForModificationDest,
                  K::Button,
                  FrmMain,
                  {6870, 1740, 570, 270},
                  u"...",
                  F::Song9,
                  kDefault,
                  kDefault,
                  20,
                  S::Fixed,
                  u"浏览目标文件"},
    ControlLayout{chkExtract,
                  K::CheckBox,
                  FrmMain,
                  {3570, 2220, 915, 255},
                  u"提取[&E]",
                  F::Window,
                  kWindowText,
                  kWhite,
                  22,
                  S::Fixed,
                  u""},
    ControlLayout{chkDelete,
                  K::CheckBox,
                  FrmMain,
                  {4620, 2220, 945, 255},
                  u"删除[&D]",
                  F::Window,
                  kWindowText,
                  kWhite,
                  21,
                  S::Fixed,
                  u""},
    ControlLayout{btnDoModificationForGeneral,
                  K::Button,
                  FrmMain,
                  {5970, 2160, 1470, 360},
                  u"执行操作(&B)",
                  F::Song9,
                  kDefault,
                  kDefault,
                  19,
                  S::Fixed,
                  u""},
    ControlLayout{optMouseNightElf,
                  K::OptionButton,
                  FrmMain,
                  {360, 3480, 1215, 255},
                  u"暗夜精灵",
                  F::Window,
                  kWindowText,
                  kWhite,
                  27,
                  S::Fixed,
                  u""},
    ControlLayout{optMouseOrc,
                  K::OptionButton,
                  FrmMain,
                  {1620, 3480, 1215, 255},
                  u"兽族",
                  F::Window,
                  kWindowText,
                  kWhite,
                  26,
                  S::Fixed,
                  u""},
    ControlLayout{optMouseHuman,
                  K::OptionButton,
                  FrmMain,
                  {360, 3750, 1215, 255},
                  u"人族",
                  F::Window,
                  kWindowText,
                  kWhite,
                  25,
                  S::Fixed,
                  u""},
    ControlLayout{optMouseUndead,
                  K::OptionButton,
                  FrmMain,
                  {1620, 3750, 1215, 255},
                  u"亡灵天灾",
                  F::Window,
                  kWindowText,
                  kWhite,
                  24,
                  S::Fixed,
                  u""},
    ControlLayout{btnDoModificationForMouse,
                  K::Button,
                  FrmMain,
                  {2130, 4080, 990, 360},
                  u"修改(&M)",
                  F::Song9,
                  kDefault,
                  kDefault,
                  23,
                  S::Fixed,
                  u""},
    ControlLayout{txtLanGameName,
                  K::TextBox,
                  FrmMain,
                  {3570, 3570, 3855, 270},
                  u"",
                  F::Window,
                  kDefault,
                  kDefault,
                  29,
                  S::Fixed,
                  u"目标局域网主机名"},
    ControlLayout{btnDoModificationForLanGameName,
                  K::Button,
                  FrmMain,
                  {5970, 4080, 1470, 360},
                  u"确认修改(&L)",
                  F::Song9,
                  kDefault,
                  kDefault,
                  28,
                  S::Fixed,
                  u""},
};

struct NamedControl {
    ControlId id;
    std::string_view name;
};
constexpr std::array kNames{
    NamedControl{FrmMain, "FrmMain"},
    NamedControl{PicTop, "PicTop"},
    NamedControl{Label_4, "Label(4)"},
    NamedControl{Label_3, "Label(3)"},
    NamedControl{ImgLogo, "ImgLogo"},
    NamedControl{Line1, "Line1"},
    NamedControl{Frame7, "Frame7"},
    NamedControl{Label9, "Label9"},
    NamedControl{Label_1, "Label(1)"},
    NamedControl{Frame2, "Frame2"},
    NamedControl{Label2, "Label2"},
    NamedControl{Label10, "Label10"},
    NamedControl{Frame3, "Frame3"},
    NamedControl{Label11, "Label11"},
    NamedControl{Label_2, "Label(2)"},
    NamedControl{Frame4, "Frame4"},
    NamedControl{Label12, "Label12"},
    NamedControl{Label_0, "Label(0)"},
    NamedControl{cboMpqFileName, "cboMpqFileName"},
    NamedControl{btnCompressMpq, "btnCompressMpq"},
    NamedControl{cboItemToModify, "cboItemToModify"},
    NamedControl{txtDestForGameModification, "txtDestForGameModification"},
    NamedControl{btnBrowserForModificationDest, "btnBrowserForModificationDest"},
    NamedControl{chkExtract, "chkExtract"},
    NamedControl{chkDelete, "chkDelete"},
    NamedControl{btnDoModificationForGeneral, "btnDoModificationForGeneral"},
    NamedControl{optMouseNightElf, "optMouseNightElf"},
    NamedControl{optMouseOrc, "optMouseOrc"},
    NamedControl{optMouseHuman, "optMouseHuman"},
    NamedControl{optMouseUndead, "optMouseUndead"},
    NamedControl{btnDoModificationForMouse, "btnDoModificationForMouse"},
    NamedControl{txtLanGameName, "txtLanGameName"},
    NamedControl{btnDoModificationForLanGameName, "btnDoModificationForLanGameName"},
};

} // namespace

std::string_view ControlName(ControlId id) {
    for (const NamedControl& named : kNames)
        if (named.id == id)
            return named.name;
    return {};
}

std::optional<ControlId> ControlFromName(std::string_view name) {
    for (const NamedControl& named : kNames)
        if (named.name == name)
            return named.id;
    return std::nullopt;
}

int PixelsFromTwips(int twips, int dpi) {
    const long long scaled = static_cast<long long>(twips) * dpi;
    // Halves away from zero, as lround does, without floating point.
    const long long rounded = scaled >= 0 ? (scaled + 720) / 1440 : -((-scaled + 720) / 1440);
    return static_cast<int>(rounded);
}

PixelRect PixelsFromTwips(const TwipsRect& rect, int dpi) {
    return {PixelsFromTwips(rect.left, dpi), PixelsFromTwips(rect.top, dpi), PixelsFromTwips(rect.width, dpi),
            PixelsFromTwips(rect.height, dpi)};
}

FontSpec FontOf(FontId id) {
    switch (id) {
    case FontId::Window:
        return {u"Tahoma", 8.25, 400};
    case FontId::Song9:
        return {u"宋体", 9, 400};
    case FontId::Song9Bold:
        return {u"宋体", 9, 700};
    }
    return {u"Tahoma", 8.25, 400};
}

std::span<const ControlLayout> Layout() {
    return kLayout;
}

const ControlLayout& LayoutOf(ControlId id) {
    for (const ControlLayout& control : kLayout)
        if (control.id == id)
            return control;
    // Every enumerator has its row; a test checks that.
    std::abort();
}

bool TakesFocus(ControlKind kind) {
    switch (kind) {
    case ControlKind::Picture:
    case ControlKind::Button:
    case ControlKind::TextBox:
    case ControlKind::DropDownList:
    case ControlKind::CheckBox:
    case ControlKind::OptionButton:
        return true;
    case ControlKind::Window:
    case ControlKind::Image:
    case ControlKind::Line:
    case ControlKind::GroupBox:
    case ControlKind::Label:
        return false;
    }
    return false;
}

std::vector<ControlId> TabOrder() {
    std::vector<const ControlLayout*> focusable;
    for (const ControlLayout& control : kLayout)
        if (TakesFocus(control.kind) && control.tabIndex >= 0)
            focusable.push_back(&control);
    std::sort(focusable.begin(), focusable.end(),
              [](const ControlLayout* a, const ControlLayout* b) { return a->tabIndex < b->tabIndex; });
    std::vector<ControlId> order;
    for (const ControlLayout* control : focusable)
        order.push_back(control->id);
    return order;
}

std::vector<std::u16string> ListEntries(ControlId id) {
    if (id == ControlId::cboMpqFileName)
        return {u"War3Patch.mpq", u"War3xLocal.mpq", u"War3x.mpq", u"War3.mpq"};
    if (id == ControlId::cboItemToModify) {
        std::vector<std::u16string> entries;
        for (const mods::ResourceItem& item : mods::ResourceItems())
            entries.push_back(item.entryText);
        return entries;
    }
    return {};
}

} // namespace window
