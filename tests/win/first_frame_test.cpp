#include "app/composition_win.h"
#include "app/program_win.h"
#include "ui/controls_win.h"
#include "ui/forms_win.h"

#include "../../res/resource.h"

#include <objidl.h>
#include <gdiplus.h>
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

namespace {

// A 32-bit top-down DIB on a memory DC, `draw` drawing into it; its pixels.
template <typename Draw> std::vector<DWORD> drawn(int w, int h, Draw draw) {
    BITMAPINFO bi{};
    bi.bmiHeader.biSize = sizeof(bi.bmiHeader);
    bi.bmiHeader.biWidth = w;
    bi.bmiHeader.biHeight = -h;
    bi.bmiHeader.biPlanes = 1;
    bi.bmiHeader.biBitCount = 32;
    bi.bmiHeader.biCompression = BI_RGB;
    void* bits = nullptr;
    HBITMAP dib = CreateDIBSection(nullptr, &bi, DIB_RGB_COLORS, &bits, nullptr, 0);
    HDC mem = CreateCompatibleDC(nullptr);
    HGDIOBJ old = SelectObject(mem, dib);
    PatBlt(mem, 0, 0, w, h, WHITENESS);
    draw(mem);
    GdiFlush();
    std::vector<DWORD> pixels(static_cast<const DWORD*>(bits),
                              static_cast<const DWORD*>(bits) + static_cast<size_t>(w) * h);
    SelectObject(mem, old);
    DeleteObject(dib);
    DeleteDC(mem);
    for (DWORD& p : pixels) {
        p &= 0xFFFFFF;
    }
    return pixels;
}

// The form's client area as the screen shows it. Looking at the queue (for a
// message that never comes) lets the system put pending drawing on screen,
// without dispatching anything: no control gets to paint itself here.
std::vector<DWORD> on_screen(HWND form) {
    MSG m;
    PeekMessageW(&m, nullptr, WM_APP + 0x3FFF, WM_APP + 0x3FFF, PM_NOREMOVE);
    RECT r;
    GetClientRect(form, &r);
    MapWindowPoints(form, nullptr, reinterpret_cast<POINT*>(&r), 2);
    HDC screen = GetDC(nullptr);
    std::vector<DWORD> pixels = drawn(r.right - r.left, r.bottom - r.top, [&](HDC dc) {
        BitBlt(dc, 0, 0, r.right - r.left, r.bottom - r.top, screen, r.left, r.top, SRCCOPY);
    });
    ReleaseDC(nullptr, screen);
    return pixels;
}

// The GIF resource's first frame as GDI+ decodes and draws it, at its own size.
std::vector<DWORD> gif_first_frame(int resource, int w, int h) {
    HMODULE module = GetModuleHandleW(nullptr);
    HRSRC res = FindResourceW(module, MAKEINTRESOURCEW(resource), MAKEINTRESOURCEW(10));
    const DWORD size = res ? SizeofResource(module, res) : 0;
    HGLOBAL mem = GlobalAlloc(GMEM_MOVEABLE, size);
    memcpy(GlobalLock(mem), LockResource(LoadResource(module, res)), size);
    GlobalUnlock(mem);
    IStream* stream = nullptr;
    CreateStreamOnHGlobal(mem, TRUE, &stream);
    std::vector<DWORD> pixels;
    {
        Gdiplus::Image gif(stream);
        pixels = drawn(w, h, [&](HDC dc) { Gdiplus::Graphics(dc).DrawImage(&gif, 0, 0, w, h); });
    }
    stream->Release();
    return pixels;
}

// What a control paints of itself.
std::vector<DWORD> printed(HWND control) {
    RECT r;
    GetClientRect(control, &r);
    return drawn(r.right, r.bottom, [&](HDC dc) {
        SendMessageW(control, WM_PRINTCLIENT, reinterpret_cast<WPARAM>(dc), PRF_CLIENT);
    });
}

} // namespace

// The animation's first frame is drawn from a bitmap made with the artwork, at
// 1x and 2x: it must be the GIF's own first frame, or the animation would jump
// each time it comes round.
TEST(FirstFrame, BitmapsAreTheAnimationsFirstFrame) {
    start_program();
    for (int resource : {IDR_CONNECTING, IDR_CONNECTING_2X}) {
        SCOPED_TRACE(resource);
        auto* bmp =
            static_cast<HBITMAP>(LoadImageW(GetModuleHandleW(nullptr), MAKEINTRESOURCEW(resource),
                                            IMAGE_BITMAP, 0, 0, LR_CREATEDIBSECTION));
        ASSERT_NE(bmp, nullptr);
        BITMAP info{};
        GetObjectW(bmp, sizeof info, &info);
        const std::vector<DWORD> from_bitmap = drawn(info.bmWidth, info.bmHeight, [&](HDC dc) {
            HDC src = CreateCompatibleDC(dc);
            HGDIOBJ old = SelectObject(src, bmp);
            BitBlt(dc, 0, 0, info.bmWidth, info.bmHeight, src, 0, 0, SRCCOPY);
            SelectObject(src, old);
            DeleteDC(src);
        });
        DeleteObject(bmp);
        EXPECT_TRUE(from_bitmap == gif_first_frame(resource, info.bmWidth, info.bmHeight));
    }
}

// The main window shows the animation's first frame before anything is
// decoded; the animation then runs.
TEST(FirstFrame, AnimationStartsFromItsFirstFrame) {
    start_program();
    HWND w = create_main_window();
    ASSERT_NE(w, nullptr);
    HWND box = ui::control(w, "图片框1");
    ASSERT_NE(box, nullptr);
    const std::vector<DWORD> first = printed(box);
    if (ui::form_dpi(w) == 96) {
        EXPECT_TRUE(first == gif_first_frame(IDR_CONNECTING, 128, 128));
    }
    bool moved = false;
    for (DWORD start = GetTickCount(); !moved && GetTickCount() - start < 5000;) {
        MSG m;
        while (PeekMessageW(&m, nullptr, 0, 0, PM_REMOVE)) {
            DispatchMessageW(&m);
        }
        Sleep(10);
        moved = printed(box) != first;
    }
    EXPECT_TRUE(moved) << "the animation never left its first frame";
    DestroyWindow(w);
}

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
