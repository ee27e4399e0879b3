#include "view_harness.h"

#include <zlib.h>

#include <cstdint>
#include <cstdlib>
#include <fstream>

namespace winui_test {

window::MessageAnswer TestView::ShowMessage(const window::Message& message) {
    messages.push_back(message);
    if (messageAnswers.empty()) {
        return message.buttons == window::MessageButtons::YesNo ? window::MessageAnswer::Yes
                                                                : window::MessageAnswer::Ok;
    }
    const window::MessageAnswer answer = messageAnswers.front();
    messageAnswers.pop_front();
    return answer;
}

std::optional<std::u16string> TestView::ShowFileDialog(const window::FileDialogRequest& request) {
    fileRequests.push_back(request);
    if (fileAnswers.empty()) {
        return std::nullopt;
    }
    std::optional<std::u16string> answer = fileAnswers.front();
    fileAnswers.pop_front();
    return answer;
}

void Pump(winui::Win32View& view) {
    MSG message{};
    while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE) != FALSE) {
        if (!view.TranslateDialogMessage(message)) {
            TranslateMessage(&message);
            DispatchMessageW(&message);
        }
    }
}

void PressKey(winui::Win32View& view, UINT key, bool alt) {
    HWND target = GetFocus() != nullptr ? GetFocus() : view.Hwnd();
    const LPARAM context = alt ? LPARAM(1) << 29 : 0;
    PostMessageW(target, alt ? WM_SYSKEYDOWN : WM_KEYDOWN, key, 1 | context);
    PostMessageW(target, alt ? WM_SYSKEYUP : WM_KEYUP, key, 1 | context | (LPARAM(3) << 30));
    Pump(view);
}

void PressAccessKey(winui::Win32View& view, wchar_t letter) {
    HWND target = GetFocus() != nullptr ? GetFocus() : view.Hwnd();
    // What TranslateMessage makes of Alt+letter: the system character, which the dialog handling
    // matches against the captions' access keys.
    PostMessageW(target, WM_SYSCHAR, letter, 1 | (LPARAM(1) << 29));
    Pump(view);
}

std::optional<window::ControlId> FocusedControl(const winui::Win32View& view) {
    HWND focus = GetFocus();
    for (const window::ControlLayout& control : window::Layout()) {
        HWND hwnd = view.ControlHwnd(control.id);
        if (hwnd != nullptr && (hwnd == focus || IsChild(hwnd, focus))) {
            if (control.id != window::ControlId::FrmMain) {
                return control.id;
            }
        }
    }
    return std::nullopt;
}

RECT ClientRectOf(const winui::Win32View& view, window::ControlId id) {
    RECT rect{};
    GetWindowRect(view.ControlHwnd(id), &rect);
    MapWindowPoints(nullptr, view.Hwnd(), reinterpret_cast<POINT*>(&rect), 2);
    return rect;
}

void ChooseEntry(winui::Win32View& view, window::ControlId list, int index) {
    HWND combo = view.ControlHwnd(list);
    SendMessageW(combo, CB_SETCURSEL, static_cast<WPARAM>(index), 0);
    SendMessageW(GetParent(combo), WM_COMMAND, MAKEWPARAM(GetDlgCtrlID(combo), CBN_SELCHANGE),
                 reinterpret_cast<LPARAM>(combo));
    Pump(view);
}

void Click(winui::Win32View& view, window::ControlId id) {
    SendMessageW(view.ControlHwnd(id), BM_CLICK, 0, 0);
    Pump(view);
}

void Type(winui::Win32View& view, window::ControlId id, const std::u16string& text) {
    // WM_SETTEXT on an edit control reports EN_CHANGE itself.
    const std::wstring wide(text.begin(), text.end());
    SendMessageW(view.ControlHwnd(id), WM_SETTEXT, 0, reinterpret_cast<LPARAM>(wide.c_str()));
    Pump(view);
}

namespace {

void Put32(std::string& out, std::uint32_t value) {
    for (int shift = 24; shift >= 0; shift -= 8) {
        out.push_back(static_cast<char>((value >> shift) & 0xFF));
    }
}

void Chunk(std::string& png, const char* type, const std::string& data) {
    Put32(png, static_cast<std::uint32_t>(data.size()));
    std::string body(type, 4);
    body += data;
    png += body;
    Put32(png, static_cast<std::uint32_t>(
                   crc32(0, reinterpret_cast<const Bytef*>(body.data()), static_cast<uInt>(body.size()))));
}

} // namespace

void SaveScreenshot(HWND window, const std::string& name) {
    const char* directory = std::getenv("OSTRAWEN_SCREENSHOT_DIR");
    if (directory == nullptr || *directory == '\0') {
        return;
    }
    RECT rect{};
    GetWindowRect(window, &rect);
    const int width = rect.right - rect.left;
    const int height = rect.bottom - rect.top;
    RedrawWindow(window, nullptr, nullptr, RDW_INVALIDATE | RDW_ERASE | RDW_ALLCHILDREN | RDW_UPDATENOW);
    HDC screen = GetDC(nullptr);
    HDC memory = CreateCompatibleDC(screen);
    BITMAPINFO info{};
    info.bmiHeader.biSize = sizeof info.bmiHeader;
    info.bmiHeader.biWidth = width;
    info.bmiHeader.biHeight = -height; // top-down
    info.bmiHeader.biPlanes = 1;
    info.bmiHeader.biBitCount = 32;
    info.bmiHeader.biCompression = BI_RGB;
    void* bits = nullptr;
    HBITMAP bitmap = CreateDIBSection(screen, &info, DIB_RGB_COLORS, &bits, nullptr, 0);
    HGDIOBJ old = SelectObject(memory, bitmap);
    BitBlt(memory, 0, 0, width, height, screen, rect.left, rect.top, SRCCOPY);
    GdiFlush();
    std::string raw;
    const auto* pixels = static_cast<const std::uint8_t*>(bits);
    for (int y = 0; y < height && pixels != nullptr; ++y) {
        raw.push_back('\0'); // no filter
        for (int x = 0; x < width; ++x) {
            const std::uint8_t* bgra = pixels + (static_cast<std::size_t>(y) * width + x) * 4;
            raw.push_back(static_cast<char>(bgra[2]));
            raw.push_back(static_cast<char>(bgra[1]));
            raw.push_back(static_cast<char>(bgra[0]));
        }
    }
    SelectObject(memory, old);
    DeleteObject(bitmap);
    DeleteDC(memory);
    ReleaseDC(nullptr, screen);

    uLongf packedSize = compressBound(static_cast<uLong>(raw.size()));
    std::string packed(packedSize, '\0');
    compress(reinterpret_cast<Bytef*>(packed.data()), &packedSize, reinterpret_cast<const Bytef*>(raw.data()),
             static_cast<uLong>(raw.size()));
    packed.resize(packedSize);
    std::string header;
    Put32(header, static_cast<std::uint32_t>(width));
    Put32(header, static_cast<std::uint32_t>(height));
    header += std::string("\x08\x02\x00\x00\x00", 5); // 8-bit RGB
    std::string png("\x89PNG\r\n\x1a\n", 8);
    Chunk(png, "IHDR", header);
    Chunk(png, "IDAT", packed);
    Chunk(png, "IEND", {});
    std::ofstream(std::string(directory) + "/" + name + ".png", std::ios::binary) << png;
}

} // namespace winui_test
