#include "shadow/shadow_win.h"
#include "support/process_win.h"

#include <objidl.h>
#include <gdiplus.h>

#include <gtest/gtest.h>

#include <cstdint>
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

// A painted shadow bitmap, read back top-down.
struct Painted {
    int w;
    int h;
    std::vector<uint32_t> px; // as stored: 0xAARRGGBB
    uint32_t at(int x, int y) const { return px[static_cast<size_t>((h - 1 - y) * w + x)]; }
    int alpha(int x, int y) const { return static_cast<int>(at(x, y) >> 24); }
};

Painted paint(int w, int h, COLORREF color) {
    BITMAPINFO bi{};
    bi.bmiHeader.biSize = sizeof(BITMAPINFOHEADER);
    bi.bmiHeader.biWidth = w;
    bi.bmiHeader.biHeight = h;
    bi.bmiHeader.biPlanes = 1;
    bi.bmiHeader.biBitCount = 32;
    bi.bmiHeader.biCompression = BI_RGB;
    void* bits = nullptr;
    HDC screen = GetDC(nullptr);
    HDC mem = CreateCompatibleDC(screen);
    HBITMAP dib = CreateDIBSection(screen, &bi, DIB_RGB_COLORS, &bits, nullptr, 0);
    HGDIOBJ old = SelectObject(mem, dib);
    shadow_draw_rings(mem, w, h, color);
    GdiFlush();
    Painted p{w, h, {}};
    const auto* src = static_cast<const uint32_t*>(bits);
    p.px.assign(src, src + static_cast<size_t>(w) * static_cast<size_t>(h));
    SelectObject(mem, old);
    DeleteObject(dib);
    DeleteDC(mem);
    ReleaseDC(nullptr, screen);
    return p;
}

} // namespace

// The shadow lies 5 pixels outside the target on every side and follows it.
TEST_F(Shadow, CoversTheTargetWithFivePixelsMarginAndFollowsIt) {
    HWND t = make_target(100, 100, 420, 370);
    ASSERT_TRUE(shadow_setup(t, 0));
    HWND s = shadow_of(t);
    ASSERT_TRUE(IsWindow(s));
    RECT r = rect_of(s);
    EXPECT_EQ(r.left, 95);
    EXPECT_EQ(r.top, 95);
    EXPECT_EQ(r.right - r.left, 430);
    EXPECT_EQ(r.bottom - r.top, 380);
    EXPECT_EQ(static_cast<DWORD>(GetWindowLongPtrW(s, GWL_EXSTYLE)) & 0x00080020u, 0x00080020u);
    EXPECT_EQ(static_cast<DWORD>(GetWindowLongPtrW(s, GWL_STYLE)) & 0x90000000u, 0x90000000u);
    EXPECT_EQ(GetWindow(s, GW_OWNER), t);

    MoveWindow(t, 200, 150, 300, 200, TRUE);
    r = rect_of(s);
    EXPECT_EQ(r.left, 195);
    EXPECT_EQ(r.top, 145);
    EXPECT_EQ(r.right - r.left, 310);
    EXPECT_EQ(r.bottom - r.top, 210);
}

// Five one-pixel rings, alpha 5 outside to 65 inside, transparent within. GDI+
// blends the pen over the DIB's transparent pixels and stores the result
// premultiplied, so a black ring is (alpha, 0, 0, 0); see the red case below.
TEST_F(Shadow, PaintsFiveRingsWithRisingAlpha) {
    const int W = 430;
    const int H = 380;
    Painted p = paint(W, H, 0);
    for (int i = 1; i <= 5; ++i) {
        const int alpha = 5 + 15 * (i - 1);
        const int l = i - 1;
        const int r = l + (W - 2 * i + 1); // 429 for the outermost, 425 for the innermost
        const int b = l + (H - 2 * i + 1);
        SCOPED_TRACE(i);
        for (auto [x, y] :
             {std::pair{l, H / 2}, {r, H / 2}, {W / 2, l}, {W / 2, b}, {l, l}, {r, b}}) {
            EXPECT_EQ(p.alpha(x, y), alpha) << x << "," << y;
            EXPECT_EQ(p.at(x, y) & 0xFFFFFFu, 0u) << x << "," << y;
        }
    }
    EXPECT_EQ(p.at(5, H / 2), 0u);
    EXPECT_EQ(p.at(W / 2, 5), 0u);
    EXPECT_EQ(p.at(W - 6, H - 6), 0u);
    EXPECT_EQ(p.at(W / 2, H / 2), 0u);
}

// A COLORREF names red in its low byte; the ring colour is ARGB (alpha, 255, 0, 0).
TEST_F(Shadow, RedColorrefGivesRedRings) {
    Painted p = paint(100, 80, 0x000000FF);
    const uint32_t outer = p.at(0, 40);
    const uint32_t inner = p.at(4, 40);
    EXPECT_EQ(outer >> 24, 5u);
    EXPECT_EQ(inner >> 24, 65u);
    // Red channel only; stored premultiplied by alpha (65 * 255 / 255 = 65).
    EXPECT_EQ(outer & 0xFFFFu, 0u);
    EXPECT_EQ(inner & 0xFFFFu, 0u);
    EXPECT_EQ((outer >> 16) & 0xFF, 5u);
    EXPECT_EQ((inner >> 16) & 0xFF, 65u);
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
    SendMessageW(t, WM_MOVE, 0, 0);
    r = rect_of(s);
    EXPECT_EQ(r.left, 95);
    EXPECT_EQ(r.right - r.left, 210);

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
    EXPECT_EQ(rect_of(shadow_of(target_)).left, 45);
}
