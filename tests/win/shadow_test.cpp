#include "shadow/shadow_win.h"
#include "support/process_win.h"

#include <objidl.h>
#include <gdiplus.h>

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

namespace {

constexpr UINT kProbe = WM_APP + 42;
int g_probes = 0;

LRESULT CALLBACK target_proc(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp) {
    if (msg == kProbe) {
        ++g_probes;
        return 1234;
    }
    return DefWindowProcW(hwnd, msg, wp, lp);
}

class Shadow : public testing::Test {
protected:
    void SetUp() override {
        Gdiplus::GdiplusStartupInput input;
        Gdiplus::GdiplusStartup(&token_, &input, nullptr);
        WNDCLASSW wc{};
        wc.lpfnWndProc = target_proc;
        wc.hInstance = GetModuleHandleW(nullptr);
        wc.lpszClassName = L"ShadowTarget";
        RegisterClassW(&wc);
        WNDCLASSA wca{};
        wca.lpfnWndProc = target_proc;
        wca.hInstance = GetModuleHandleW(nullptr);
        wca.lpszClassName = "ShadowTargetA";
        RegisterClassA(&wca);
    }
    void TearDown() override {
        if (target_) {
            DestroyWindow(target_);
        }
        Gdiplus::GdiplusShutdown(token_);
    }
    HWND make_target(int x, int y, int w, int h, const wchar_t* caption = L"target") {
        target_ = CreateWindowExW(0, L"ShadowTarget", caption, WS_POPUP | WS_VISIBLE, x, y, w, h,
                                  nullptr, nullptr, GetModuleHandleW(nullptr), nullptr);
        return target_;
    }
    static HWND shadow_of(HWND target) { return static_cast<HWND>(GetPropA(target, "WndShadow")); }
    static RECT rect_of(HWND w) {
        RECT r{};
        GetWindowRect(w, &r);
        return r;
    }

    ULONG_PTR token_ = 0;
    HWND target_ = nullptr;
};

// The rings as GDI+ drew them before they were written straight into the
// bitmap: five one-pixel translucent pens on a zeroed 32-bit DIB section.
std::vector<uint32_t> gdiplus_rings(int w, int h, COLORREF color) {
    using namespace Gdiplus::DllExports;
    BITMAPINFO bi{};
    bi.bmiHeader.biSize = sizeof(BITMAPINFOHEADER);
    bi.bmiHeader.biWidth = w;
    bi.bmiHeader.biHeight = h;
    bi.bmiHeader.biPlanes = 1;
    bi.bmiHeader.biBitCount = 32;
    bi.bmiHeader.biCompression = BI_RGB;
    void* bits = nullptr;
    HDC mem = CreateCompatibleDC(nullptr);
    HBITMAP dib = CreateDIBSection(nullptr, &bi, DIB_RGB_COLORS, &bits, nullptr, 0);
    HGDIOBJ old = SelectObject(mem, dib);
    Gdiplus::GpGraphics* graphics = nullptr;
    GdipCreateFromHDC(mem, &graphics);
    const Gdiplus::ARGB rgb = (static_cast<Gdiplus::ARGB>(GetRValue(color)) << 16) |
                              (static_cast<Gdiplus::ARGB>(GetGValue(color)) << 8) |
                              GetBValue(color);
    for (int i = 1; i <= 5; ++i) {
        const auto alpha = static_cast<Gdiplus::ARGB>(5 + 15 * (i - 1));
        Gdiplus::GpPen* pen = nullptr;
        GdipCreatePen1((alpha << 24) | rgb, 1.0f, Gdiplus::UnitPixel, &pen);
        GdipDrawRectangle(graphics, pen, static_cast<float>(i - 1), static_cast<float>(i - 1),
                          static_cast<float>(w - 2 * i + 1), static_cast<float>(h - 2 * i + 1));
        GdipDeletePen(pen);
    }
    GdipDeleteGraphics(graphics);
    GdiFlush();
    const auto* src = static_cast<const uint32_t*>(bits);
    std::vector<uint32_t> px(src, src + static_cast<size_t>(w) * static_cast<size_t>(h));
    SelectObject(mem, old);
    DeleteObject(dib);
    DeleteDC(mem);
    return px;
}

// A painting into zeroed pixels, read top-down (the rings are symmetric).
struct Painted {
    int w;
    int h;
    std::vector<uint32_t> px; // premultiplied 0xAARRGGBB
    uint32_t at(int x, int y) const { return px[static_cast<size_t>(y * w + x)]; }
    int alpha(int x, int y) const { return static_cast<int>(at(x, y) >> 24); }
};

Painted paint(int w, int h, int depth, COLORREF color) {
    Painted p{w, h, std::vector<uint32_t>(static_cast<size_t>(w) * static_cast<size_t>(h))};
    shadow_draw_rings(p.px.data(), w, h, depth, color);
    return p;
}

// What the screen shows of `shadow`, against a fresh painting of its size. With
// no compositor (Xvfb) a layered window shows its premultiplied colours as they
// are, so the screen reads back the bitmap the window holds, less its alpha.
testing::AssertionResult shows_fresh_rings(HWND shadow, int depth, COLORREF color) {
    size_t wrong = 0;
    std::string first;
    auto compare = [&] {
        RECT r{};
        GetWindowRect(shadow, &r);
        const int w = r.right - r.left;
        const int h = r.bottom - r.top;
        if (w <= 0 || h <= 0) {
            first = "empty shadow window";
            return false;
        }
        BITMAPINFO bi{};
        bi.bmiHeader.biSize = sizeof(BITMAPINFOHEADER);
        bi.bmiHeader.biWidth = w;
        bi.bmiHeader.biHeight = -h; // top-down, like the screen
        bi.bmiHeader.biPlanes = 1;
        bi.bmiHeader.biBitCount = 32;
        void* bits = nullptr;
        HDC screen = GetDC(nullptr);
        HDC mem = CreateCompatibleDC(screen);
        HBITMAP dib = CreateDIBSection(screen, &bi, DIB_RGB_COLORS, &bits, nullptr, 0);
        HGDIOBJ old = SelectObject(mem, dib);
        BitBlt(mem, 0, 0, w, h, screen, r.left, r.top, SRCCOPY);
        GdiFlush();
        const Painted fresh = paint(w, h, depth, color);
        const auto* shown = static_cast<const uint32_t*>(bits);
        wrong = 0;
        for (int y = 0; y < h; ++y) {
            for (int x = 0; x < w; ++x) {
                const uint32_t got = shown[y * w + x] & 0xFFFFFFu;
                const uint32_t want = fresh.at(x, y) & 0xFFFFFFu;
                if (got != want && wrong++ == 0) {
                    first = "at " + std::to_string(x) + "," + std::to_string(y) + " shown " +
                            std::to_string(got) + ", fresh " + std::to_string(want);
                }
            }
        }
        SelectObject(mem, old);
        DeleteObject(dib);
        DeleteDC(mem);
        ReleaseDC(nullptr, screen);
        return wrong == 0;
    };
    if (testsupport::wait_until(compare, 3000)) {
        return testing::AssertionSuccess();
    }
    return testing::AssertionFailure() << wrong << " pixels differ, first " << first;
}

} // namespace

// The shadow lies a margin outside the target on every side (5 pixels at 96
// DPI) and follows it.
TEST_F(Shadow, CoversTheTargetWithItsMarginAndFollowsIt) {
    HWND t = make_target(100, 100, 420, 370);
    ASSERT_TRUE(shadow_setup(t, 0));
    const int m = shadow_depth(GetDpiForWindow(t));
    HWND s = shadow_of(t);
    ASSERT_TRUE(IsWindow(s));
    RECT r = rect_of(s);
    EXPECT_EQ(r.left, 100 - m);
    EXPECT_EQ(r.top, 100 - m);
    EXPECT_EQ(r.right - r.left, 420 + 2 * m);
    EXPECT_EQ(r.bottom - r.top, 370 + 2 * m);
    EXPECT_EQ(static_cast<DWORD>(GetWindowLongPtrW(s, GWL_EXSTYLE)) & 0x00080020u, 0x00080020u);
    EXPECT_EQ(static_cast<DWORD>(GetWindowLongPtrW(s, GWL_STYLE)) & 0x90000000u, 0x90000000u);
    EXPECT_EQ(GetWindow(s, GW_OWNER), t);

    MoveWindow(t, 200, 150, 300, 200, TRUE);
    r = rect_of(s);
    EXPECT_EQ(r.left, 200 - m);
    EXPECT_EQ(r.top, 150 - m);
    EXPECT_EQ(r.right - r.left, 300 + 2 * m);
    EXPECT_EQ(r.bottom - r.top, 200 + 2 * m);

    SetWindowPos(t, nullptr, 250, 90, 0, 0, SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);
    r = rect_of(s);
    EXPECT_EQ(r.left, 250 - m);
    EXPECT_EQ(r.top, 90 - m);
    EXPECT_EQ(r.right - r.left, 300 + 2 * m);
}

// Five rings, alpha 5 outside to 65 inside, transparent within: one pixel each
// at 96 DPI (margin 5), two at 192 (margin 10), 1-2-1-2-2 at 144 (margin 8).
TEST_F(Shadow, PaintsFiveRingsWithRisingAlphaOverTheMargin) {
    EXPECT_EQ(shadow_depth(96), 5);
    EXPECT_EQ(shadow_depth(120), 6);
    EXPECT_EQ(shadow_depth(144), 8);
    EXPECT_EQ(shadow_depth(192), 10);
    EXPECT_EQ(shadow_depth(0), 5); // no DPI known: the design size

    struct Case {
        int depth;
        std::vector<int> alpha_at_inset; // then transparent
    };
    for (const Case& c :
         {Case{5, {5, 20, 35, 50, 65}}, Case{10, {5, 5, 20, 20, 35, 35, 50, 50, 65, 65}},
          Case{8, {5, 20, 20, 35, 50, 50, 65, 65}}}) {
        SCOPED_TRACE(c.depth);
        const int W = 430;
        const int H = 380;
        Painted p = paint(W, H, c.depth, 0);
        for (int d = 0; d < static_cast<int>(c.alpha_at_inset.size()); ++d) {
            const int r = W - 1 - d;
            const int b = H - 1 - d;
            for (auto [x, y] :
                 {std::pair{d, H / 2}, {r, H / 2}, {W / 2, d}, {W / 2, b}, {d, d}, {r, b}}) {
                EXPECT_EQ(p.alpha(x, y), c.alpha_at_inset[static_cast<size_t>(d)]) << x << "," << y;
                EXPECT_EQ(p.at(x, y) & 0xFFFFFFu, 0u) << x << "," << y;
            }
        }
        EXPECT_EQ(p.at(c.depth, H / 2), 0u);
        EXPECT_EQ(p.at(W - 1 - c.depth, H - 1 - c.depth), 0u);
        EXPECT_EQ(p.at(W / 2, H / 2), 0u);
    }
}

// At 96 DPI the rings are exactly those GDI+ draws with five translucent pens:
// every channel value of every ring, the corners, the transparent inside.
TEST_F(Shadow, RingsMatchGdiplusPenDrawingPixelForPixel) {
    auto same = [](int w, int h, COLORREF color) {
        const std::vector<uint32_t> want = gdiplus_rings(w, h, color);
        const Painted got = paint(w, h, 5, color);
        for (size_t i = 0; i < want.size(); ++i) {
            if (got.px[i] != want[i]) {
                ADD_FAILURE() << w << "x" << h << " colour " << color << " pixel " << i
                              << ": drawn " << got.px[i] << ", GDI+ " << want[i];
                return;
            }
        }
    };
    for (int v = 0; v < 256; ++v) {
        same(11, 12, RGB(v, 255 - v, (v * 7) & 0xFF));
    }
    for (COLORREF c : {RGB(0, 0, 0), RGB(255, 0, 0), RGB(10, 20, 30), RGB(255, 255, 255)}) {
        same(430, 380, c);
        same(13, 60, c);
    }
}

// After any moves and size changes, a new colour or a new shadow window, the
// window shows what a fresh painting of its size shows.
TEST_F(Shadow, ShowsAFreshPaintingAfterMovesResizesAndRecolouring) {
    const COLORREF warm = RGB(255, 160, 40);
    const COLORREF cool = RGB(40, 255, 200);
    // Low on the screen, away from the windows other tests centre.
    HWND t = make_target(20, 570, 200, 150);
    ASSERT_TRUE(shadow_setup(t, warm));
    const int m = shadow_depth(GetDpiForWindow(t));
    HWND s = shadow_of(t);
    EXPECT_TRUE(shows_fresh_rings(s, m, warm));

    for (int i = 0; i < 20; ++i) {
        SetWindowPos(t, nullptr, 20 + i * 3, 570 - i, 0, 0,
                     SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);
    }
    EXPECT_TRUE(shows_fresh_rings(s, m, warm)) << "after moves";

    MoveWindow(t, 30, 560, 260, 180, TRUE);
    EXPECT_TRUE(shows_fresh_rings(s, m, warm)) << "after growing";
    SetWindowPos(t, nullptr, 40, 580, 0, 0, SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);
    SetWindowPos(t, nullptr, 0, 0, 120, 90, SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE);
    EXPECT_TRUE(shows_fresh_rings(s, m, warm)) << "after a move and shrinking";

    ASSERT_TRUE(shadow_setup(t, cool));
    EXPECT_TRUE(shows_fresh_rings(s, m, cool)) << "after a new colour";

    DestroyWindow(s);
    ASSERT_TRUE(shadow_setup(t, cool));
    ASSERT_NE(shadow_of(t), s);
    EXPECT_TRUE(shows_fresh_rings(shadow_of(t), m, cool)) << "in a new shadow window";
}
// A second set-up keeps the one shadow window and the one subclassing and only
// changes the colour.
TEST_F(Shadow, SecondSetupOnlyRecolours) {
    HWND t = make_target(100, 100, 200, 100);
    const LONG_PTR original = GetWindowLongPtrW(t, GWLP_WNDPROC);
    ASSERT_TRUE(shadow_setup(t, 0));
    HWND s = shadow_of(t);
    const LONG_PTR installed = GetWindowLongPtrW(t, GWLP_WNDPROC);
    const HANDLE stored = GetPropA(t, "WndShadow.Proc");
    EXPECT_NE(installed, original);
    EXPECT_NE(stored, nullptr);

    ASSERT_TRUE(shadow_setup(t, RGB(10, 20, 30)));
    EXPECT_EQ(shadow_of(t), s);
    EXPECT_EQ(GetWindowLongPtrW(t, GWLP_WNDPROC), installed);
    EXPECT_EQ(GetPropA(t, "WndShadow.Proc"), stored);
    EXPECT_EQ(reinterpret_cast<UINT_PTR>(GetPropA(s, "WndShadow.Color")), RGB(10, 20, 30));

    int owned = 0;
    std::pair<HWND, int*> search(t, &owned);
    EnumThreadWindows(
        GetCurrentThreadId(),
        [](HWND w, LPARAM lp) -> BOOL {
            auto* d = reinterpret_cast<std::pair<HWND, int*>*>(lp);
            if (GetWindow(w, GW_OWNER) == d->first) {
                ++*d->second;
            }
            return TRUE;
        },
        reinterpret_cast<LPARAM>(&search));
    EXPECT_EQ(owned, 1);

    EXPECT_FALSE(shadow_setup(nullptr, 0));
    EXPECT_FALSE(shadow_setup(reinterpret_cast<HWND>(0x1234), 0));
}

// Other messages go to the previous procedure unchanged and leave the shadow alone.
TEST_F(Shadow, OtherMessagesPassThroughUntouched) {
    HWND t = make_target(100, 100, 200, 100, L"在线更新");
    ASSERT_TRUE(shadow_setup(t, 0));
    HWND s = shadow_of(t);
    MoveWindow(s, 0, 0, 10, 10, FALSE); // out of place on purpose

    g_probes = 0;
    EXPECT_EQ(SendMessageW(t, kProbe, 1, 2), 1234);
    EXPECT_EQ(g_probes, 1);
    SendMessageW(t, WM_NCHITTEST, 0, 0);
    RECT r = rect_of(s);
    EXPECT_EQ(r.left, 0);
    EXPECT_EQ(r.right, 10);

    // A move brings it back.
    const int m = shadow_depth(GetDpiForWindow(t));
    SendMessageW(t, WM_MOVE, 0, 0);
    r = rect_of(s);
    EXPECT_EQ(r.left, 100 - m);
    EXPECT_EQ(r.right - r.left, 200 + 2 * m);

    // Texts still reach the target's own procedure intact.
    wchar_t caption[32] = {};
    GetWindowTextW(t, caption, 32);
    EXPECT_STREQ(caption, L"在线更新");
}

// An ANSI window is subclassed with the ANSI calls and still gets its messages.
TEST_F(Shadow, AnsiTargetPassesThroughToo) {
    target_ = CreateWindowExA(0, "ShadowTargetA", "ansi", WS_POPUP | WS_VISIBLE, 100, 100, 200, 100,
                              nullptr, nullptr, GetModuleHandleW(nullptr), nullptr);
    ASSERT_FALSE(IsWindowUnicode(target_));
    ASSERT_TRUE(shadow_setup(target_, 0));
    EXPECT_EQ(GetWindowLongPtrA(target_, GWLP_WNDPROC),
              reinterpret_cast<LONG_PTR>(&shadow_window_proc));
    g_probes = 0;
    EXPECT_EQ(SendMessageA(target_, kProbe, 0, 0), 1234);
    EXPECT_EQ(g_probes, 1);
    MoveWindow(target_, 50, 60, 200, 100, TRUE);
    EXPECT_EQ(rect_of(shadow_of(target_)).left, 50 - shadow_depth(GetDpiForWindow(target_)));
}
