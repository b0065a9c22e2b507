#include "shadow/shadow_win.h"

#include <objidl.h>
#include <gdiplus.h>

namespace {

constexpr char kShadowProp[] = "WndShadow";
constexpr char kProcProp[] = "WndShadow.Proc";
constexpr char kColorProp[] = "WndShadow.Color";

constexpr int kDepth = 5;      // margin on each side, and the number of rings
constexpr int kFirstAlpha = 5; // outermost ring
constexpr int kAlphaStep = 15; // per ring further in: 5, 20, 35, 50, 65

HWND shadow_of(HWND target) {
    return static_cast<HWND>(GetPropA(target, kShadowProp));
}

HWND create_shadow_window(HWND target, const char* cls) {
    return CreateWindowExA(WS_EX_LAYERED | WS_EX_TRANSPARENT, cls, "", WS_POPUP | WS_VISIBLE, 0, 0,
                           0, 0, target, nullptr, GetModuleHandleA(nullptr), nullptr);
}

} // namespace

void shadow_draw_rings(HDC dc, int width, int height, COLORREF color) {
    using namespace Gdiplus::DllExports;
    Gdiplus::GpGraphics* graphics = nullptr;
    if (GdipCreateFromHDC(dc, &graphics) != Gdiplus::Ok) {
        return;
    }
    const Gdiplus::ARGB rgb = (static_cast<Gdiplus::ARGB>(GetRValue(color)) << 16) |
                              (static_cast<Gdiplus::ARGB>(GetGValue(color)) << 8) |
                              GetBValue(color);
    for (int i = 1; i <= kDepth; ++i) {
        const Gdiplus::ARGB alpha = static_cast<Gdiplus::ARGB>(kFirstAlpha + kAlphaStep * (i - 1));
        Gdiplus::GpPen* pen = nullptr;
        if (GdipCreatePen1((alpha << 24) | rgb, 1.0f, Gdiplus::UnitPixel, &pen) != Gdiplus::Ok) {
            continue;
        }
        GdipDrawRectangle(graphics, pen, static_cast<float>(i - 1), static_cast<float>(i - 1),
                          static_cast<float>(width - 2 * i + 1),
                          static_cast<float>(height - 2 * i + 1));
        GdipDeletePen(pen);
    }
    GdipDeleteGraphics(graphics);
}

void shadow_paint(HWND target, int width, int height) {
    HWND shadow = shadow_of(target);
    if (!shadow) {
        return;
    }
    HDC window_dc = GetDC(shadow);
    HDC mem = CreateCompatibleDC(window_dc);
    BITMAPINFO bi{};
    bi.bmiHeader.biSize = sizeof(BITMAPINFOHEADER);
    bi.bmiHeader.biWidth = width;
    bi.bmiHeader.biHeight = height; // positive: bottom-up rows
    bi.bmiHeader.biPlanes = 1;
    bi.bmiHeader.biBitCount = 32;
    bi.bmiHeader.biCompression = BI_RGB;
    bi.bmiHeader.biSizeImage = static_cast<DWORD>(width) * static_cast<DWORD>(height) * 32 / 8;
    HBITMAP dib = CreateDIBSection(window_dc, &bi, DIB_RGB_COLORS, nullptr, nullptr, 0);
    if (dib) {
        HGDIOBJ previous = SelectObject(mem, dib);
        const auto color =
            static_cast<COLORREF>(reinterpret_cast<UINT_PTR>(GetPropA(shadow, kColorProp)));
        shadow_draw_rings(mem, width, height, color);
        SIZE size{width, height};
        POINT source{0, 0};
        BLENDFUNCTION blend{AC_SRC_OVER, 0, 255, AC_SRC_ALPHA};
        UpdateLayeredWindow(shadow, window_dc, nullptr, &size, mem, &source, 0, &blend, ULW_ALPHA);
        SelectObject(mem, previous);
        DeleteObject(dib);
    }
    DeleteDC(mem);
    ReleaseDC(shadow, window_dc);
}

void shadow_update(HWND target) {
    HWND shadow = shadow_of(target);
    if (!shadow) {
        return;
    }
    RECT r;
    GetWindowRect(target, &r);
    const int w = r.right - r.left;
    const int h = r.bottom - r.top;
    if (w == 0 || h == 0) {
        return;
    }
    MoveWindow(shadow, r.left - kDepth, r.top - kDepth, w + 2 * kDepth, h + 2 * kDepth, TRUE);
    shadow_paint(target, w + 2 * kDepth, h + 2 * kDepth);
}

LRESULT CALLBACK shadow_window_proc(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp) {
    if (msg == WM_SIZE || msg == WM_MOVE) {
        shadow_update(hwnd);
    }
    auto previous = reinterpret_cast<WNDPROC>(GetPropA(hwnd, kProcProp));
    if (!previous) {
        return DefWindowProcA(hwnd, msg, wp, lp);
    }
    return CallWindowProcA(previous, hwnd, msg, wp, lp);
}

namespace {

// The Unicode face of the same procedure. The shadow is installed with the
// character set of the target's own procedure: subclassing a Unicode window
// with the ANSI call makes the system pass its texts through the ANSI code
// page, and a Chinese caption reads back as "????".
LRESULT CALLBACK shadow_window_proc_w(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp) {
    if (msg == WM_SIZE || msg == WM_MOVE) {
        shadow_update(hwnd);
    }
    auto previous = reinterpret_cast<WNDPROC>(GetPropA(hwnd, kProcProp));
    if (!previous) {
        return DefWindowProcW(hwnd, msg, wp, lp);
    }
    return CallWindowProcW(previous, hwnd, msg, wp, lp);
}

} // namespace

bool shadow_setup(HWND target, COLORREF color) {
    if (!IsWindow(target)) {
        return false;
    }
    HWND shadow = shadow_of(target);
    if (!IsWindow(shadow)) {
        shadow = create_shadow_window(target, "SysShadow");
        if (!shadow) {
            shadow = create_shadow_window(target, "Static");
        }
        SetPropA(target, kShadowProp, shadow);
    }
    if (shadow) {
        SetPropA(shadow, kColorProp, reinterpret_cast<HANDLE>(static_cast<UINT_PTR>(color)));
    }
    shadow_update(target);
    if (GetPropA(target, kProcProp)) {
        return true; // subclassed already: only the colour changed
    }
    // The pointer-wide call: GWL_WNDPROC does not exist for 64-bit windows.
    LONG_PTR previous = IsWindowUnicode(target)
                            ? SetWindowLongPtrW(target, GWLP_WNDPROC,
                                                reinterpret_cast<LONG_PTR>(&shadow_window_proc_w))
                            : SetWindowLongPtrA(target, GWLP_WNDPROC,
                                                reinterpret_cast<LONG_PTR>(&shadow_window_proc));
    SetPropA(target, kProcProp, reinterpret_cast<HANDLE>(previous));
    return true;
}
