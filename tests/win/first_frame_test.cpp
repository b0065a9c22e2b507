#include "app/composition_win.h"
#include "app/program_win.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

// The form's client area as the screen shows it. Looking at the queue (for a
// message that never comes) lets the system put pending drawing on screen,
// without dispatching anything: no control gets to paint itself here.
std::vector<DWORD> on_screen(HWND form) {
    MSG m;
    PeekMessageW(&m, nullptr, WM_APP + 0x3FFF, WM_APP + 0x3FFF, PM_NOREMOVE);
    RECT r;
    GetClientRect(form, &r);
    MapWindowPoints(form, nullptr, reinterpret_cast<POINT*>(&r), 2);
    const int w = r.right - r.left;
    const int h = r.bottom - r.top;
    BITMAPINFO bi{};
    bi.bmiHeader.biSize = sizeof(bi.bmiHeader);
    bi.bmiHeader.biWidth = w;
    bi.bmiHeader.biHeight = -h;
    bi.bmiHeader.biPlanes = 1;
    bi.bmiHeader.biBitCount = 32;
    bi.bmiHeader.biCompression = BI_RGB;
    HDC screen = GetDC(nullptr);
    HDC mem = CreateCompatibleDC(screen);
    void* bits = nullptr;
    HBITMAP dib = CreateDIBSection(screen, &bi, DIB_RGB_COLORS, &bits, nullptr, 0);
    HGDIOBJ old = SelectObject(mem, dib);
    BitBlt(mem, 0, 0, w, h, screen, r.left, r.top, SRCCOPY);
    std::vector<DWORD> pixels(static_cast<const DWORD*>(bits),
                              static_cast<const DWORD*>(bits) + static_cast<size_t>(w) * h);
    SelectObject(mem, old);
    DeleteObject(dib);
    DeleteDC(mem);
    ReleaseDC(nullptr, screen);
    for (DWORD& p : pixels) {
        p &= 0xFFFFFF;
    }
    return pixels;
}

} // namespace

// The main window's first frame is drawn by the form for all its controls; it
// must be what they paint themselves: each where it lies, clipped to its
// parents, transparent ones over their parent's picture, hidden ones absent.
TEST(FirstFrame, IsWhatTheControlsPaintThemselves) {
    start_program();
    HWND w = create_main_window();
    ASSERT_NE(w, nullptr);
    const std::vector<DWORD> first = on_screen(w);

    RedrawWindow(w, nullptr, nullptr, RDW_INVALIDATE | RDW_ERASE | RDW_ALLCHILDREN | RDW_UPDATENOW);
    const std::vector<DWORD> painted = on_screen(w);

    ASSERT_EQ(first.size(), painted.size());
    size_t differ = 0;
    for (size_t i = 0; i < first.size(); ++i) {
        differ += first[i] != painted[i];
    }
    EXPECT_EQ(differ, 0u) << "of " << first.size() << " pixels";
    DestroyWindow(w);
}
