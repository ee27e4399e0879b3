#pragma once
// Every control of the main window, once, for every view: name, kind, container, rectangle in twips,
// caption, font, colours, tab index and sizing. A view creates its controls from Layout() in the
// table's order (containers before what they hold; group boxes before the inputs laid over them, so
// the inputs stack above) and converts twips with PixelsFromTwips:
//   PixelsFromTwips(7755, 96) -> 517, PixelsFromTwips(4755, 96) -> 317 (the client area).
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace window {

// The controls by their code names; Label_0 to Label_4 are the indexed labels Label(0) to Label(4).
enum class ControlId {
    FrmMain,
    PicTop,
    Label_4,
    Label_3,
    ImgLogo,
    Line1,
    Frame7,
    Label9,
    Label_1,
    Frame2,
    Label2,
    Label10,
    Frame3,
    Label11,
    Label_2,
    Frame4,
    Label12,
    Label_0,
    cboMpqFileName,
    btnCompressMpq,
    cboItemToModify,
    txtDestForGameModification,
    btnBrowserForModificationDest,
    chkExtract,
    chkDelete,
    btnDoModificationForGeneral,
    optMouseNightElf,
    optMouseOrc,
    optMouseHuman,
    optMouseUndead,
    btnDoModificationForMouse,
    txtLanGameName,
    btnDoModificationForLanGameName,
};

// The control's name as views and tests know it (Qt's objectName): "btnCompressMpq", "Label(4)".
std::string_view ControlName(ControlId id);
// The reverse of ControlName; nothing for a name no control carries.
std::optional<ControlId> ControlFromName(std::string_view name);

enum class ControlKind {
    Window,       // FrmMain
    Picture,      // the banner: a container that takes the focus
    Image,        // ImgLogo: the application icon's 48 x 48 image
    Line,         // Line1: rect is from (left, top) to (left + width, top + height)
    GroupBox,     // a titled, etched frame; holds only its labels
    Label,        // static text
    Button,       // push button
    TextBox,      // one line, no length limit
    DropDownList, // the player picks from the list, never types
    CheckBox,
    OptionButton, // the window's four option buttons are one group
};

// Twips (1/1440 inch) relative to the container's client area.
struct TwipsRect {
    int left = 0;
    int top = 0;
    int width = 0;
    int height = 0;
    bool operator==(const TwipsRect&) const = default;
};

struct PixelRect {
    int left = 0;
    int top = 0;
    int width = 0;
    int height = 0;
    bool operator==(const PixelRect&) const = default;
};

inline constexpr int kClientWidthTwips = 7755;
inline constexpr int kClientHeightTwips = 4755;

// round(twips x dpi / 1440), halves away from zero: 15 twips are one pixel at 96 dpi.
int PixelsFromTwips(int twips, int dpi = 96);
PixelRect PixelsFromTwips(const TwipsRect& rect, int dpi = 96);

enum class Sizing {
    Fixed,       // keeps its rectangle
    FitsText,    // one line: takes the width and height of its text, at the rectangle's corner
    WrapsInRect, // keeps its rectangle and wraps its text inside it (the two-line labels)
    ListHeight,  // a drop-down list: the width is kept, the closed height follows the font
};

enum class FontId {
    Window,    // "Tahoma" 8.25 pt regular, the window's own
    Song9,     // "宋体" 9 pt regular
    Song9Bold, // "宋体" 9 pt bold
};

struct FontSpec {
    std::u16string_view face;
    double points = 0;
    int weight = 400;
};
FontSpec FontOf(FontId id);

struct Rgb {
    std::uint8_t red = 0;
    std::uint8_t green = 0;
    std::uint8_t blue = 0;
    bool operator==(const Rgb&) const = default;
};

enum class ColourSource {
    Default,          // the platform's colour for this kind of control
    Given,            // the rgb below
    SystemWindowText, // the system's window-text colour
    SystemButtonText, // the system's button-text colour
    Transparent,      // background only: the container shows through
};

struct Colour {
    ColourSource source = ColourSource::Default;
    Rgb rgb{};
    bool operator==(const Colour&) const = default;
};

struct ControlLayout {
    ControlId id;
    ControlKind kind;
    ControlId parent; // FrmMain for the window's own children; FrmMain itself names FrmMain
    TwipsRect rect;
    std::u16string_view caption; // '&' marks the access key: "压缩(&Z)"
    FontId font = FontId::Window;
    Colour foreground{}; // text, or the line's colour; a group box's caption
    Colour background{};
    int tabIndex = -1; // -1: none
    Sizing sizing = Sizing::Fixed;
    // What a screen reader says for an input whose label lies in another container; "" for none.
    std::u16string_view accessibleName;
};

// Every control, FrmMain first, in creation order.
std::span<const ControlLayout> Layout();
const ControlLayout& LayoutOf(ControlId id);
// Whether the keyboard focus can rest on a control of this kind.
bool TakesFocus(ControlKind kind);
// The controls that take the focus, in ascending tab index: the order Tab moves through. The option
// group counts once in practice, at its checked button, but all four are listed.
std::vector<ControlId> TabOrder();

// The entries the layout gives a drop-down list, in order; empty for any other control.
std::vector<std::u16string> ListEntries(ControlId id);

inline constexpr char16_t kCaption[] = u"Keldrava - Ostrawen Ver:2.0.091105";
// The banner's about line: the product title, a dash, the author's credit and the maker's address.
inline constexpr char16_t kAboutLine[] = u"Keldrava - 林澜 制作  www.keldrava.example.org";
inline constexpr char16_t kFeatureLine[] = u"功能: 压缩 MPQ 文件、修改魔兽背景图片/音乐/字体、修改局域网主机名";
inline constexpr Rgb kWindowBackground{255, 255, 255};

} // namespace window
