#pragma once
// Owners of the GDI and USER handles the window draws with: each handle has exactly one owner, which
// frees it when it goes or takes another. Move-only.
#include "support/win32.h"

#include <utility>

namespace winui {

template <typename Handle, void (*Free)(Handle)> class OwnedHandle {
public:
    OwnedHandle() = default;
    explicit OwnedHandle(Handle handle) : m_handle(handle) {}
    ~OwnedHandle() { Reset(); }
    OwnedHandle(const OwnedHandle&) = delete;
    OwnedHandle& operator=(const OwnedHandle&) = delete;
    OwnedHandle(OwnedHandle&& other) noexcept : m_handle(std::exchange(other.m_handle, nullptr)) {}
    OwnedHandle& operator=(OwnedHandle&& other) noexcept {
        if (this != &other) {
            Reset(std::exchange(other.m_handle, nullptr));
        }
        return *this;
    }

    Handle Get() const { return m_handle; }
    explicit operator bool() const { return m_handle != nullptr; }
    void Reset(Handle handle = nullptr) {
        if (m_handle != nullptr) {
            Free(m_handle);
        }
        m_handle = handle;
    }

private:
    Handle m_handle = nullptr;
};

namespace detail {
inline void FreeFont(HFONT font) {
    DeleteObject(font);
}
inline void FreeBrush(HBRUSH brush) {
    DeleteObject(brush);
}
inline void FreePen(HPEN pen) {
    DeleteObject(pen);
}
inline void FreeIcon(HICON icon) {
    DestroyIcon(icon);
}
} // namespace detail

using GdiFont = OwnedHandle<HFONT, detail::FreeFont>;
using GdiBrush = OwnedHandle<HBRUSH, detail::FreeBrush>;
using GdiPen = OwnedHandle<HPEN, detail::FreePen>;
using IconHandle = OwnedHandle<HICON, detail::FreeIcon>;

// A font of the given face and point size at a DPI ("Tahoma", 8.25 pt at 96 dpi is 11 px high).
GdiFont MakeFont(const wchar_t* face, double points, bool bold, unsigned dpi);

} // namespace winui
