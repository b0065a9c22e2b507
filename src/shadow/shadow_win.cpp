#include "shadow/shadow_win.h"

#include "platform/dpi_win.h"

namespace {

constexpr char kShadowProp[] = "WndShadow";
constexpr char kProcProp[] = "WndShadow.Proc";
constexpr char kColorProp[] = "WndShadow.Color";
constexpr char kDepthProp[] = "WndShadow.Depth"; // margin of the bitmap shown; absent until painted

constexpr int kDesignDepth = 5; // margin on each side at 96 DPI
constexpr int kRings = 5;
constexpr int kFirstAlpha = 5; // outermost ring
constexpr int kAlphaStep = 15; // per ring further in: 5, 20, 35, 50, 65

HWND shadow_of(HWND target) {
    return static_cast<HWND>(GetPropA(target, kShadowProp));
}

HWND create_shadow_window(HWND target, const char* cls) {
    return CreateWindowExA(WS_EX_LAYERED | WS_EX_TRANSPARENT, cls, "", WS_POPUP | WS_VISIBLE, 0, 0,
                           0, 0, target, nullptr, GetModuleHandleA(nullptr), nullptr);
}

// Premultiplied by alpha and rounded to nearest, as a blend over transparent black.
uint32_t premultiplied(COLORREF color, uint32_t alpha) {
    auto channel = [alpha](uint32_t c) { return (c * alpha + 127) / 255; };
    return (alpha << 24) | (channel(GetRValue(color)) << 16) | (channel(GetGValue(color)) << 8) |
           channel(GetBValue(color));
}

int width_of(const RECT& r) {
    return r.right - r.left;
}

int height_of(const RECT& r) {
    return r.bottom - r.top;
}

// `force`: repaint although the size is unchanged (a new colour).
void update(HWND target, bool force) {
    HWND shadow = shadow_of(target);
    if (!shadow) {
        return;
    }
    RECT r;
    GetWindowRect(target, &r);
    if (r.right == r.left || r.bottom == r.top) {
        return;
    }
    const int depth = shadow_depth(static_cast<UINT>(ui::window_dpi(target)));
    const RECT want{r.left - depth, r.top - depth, r.right + depth, r.bottom + depth};
    RECT now{};
    GetWindowRect(shadow, &now);
    const bool same_bitmap = width_of(now) == width_of(want) && height_of(now) == height_of(want) &&
                             reinterpret_cast<INT_PTR>(GetPropA(shadow, kDepthProp)) == depth;
    if (force || !same_bitmap) {
        shadow_paint(target, want, depth);
    } else if (now.left != want.left || now.top != want.top) {
        // A layered window keeps its bitmap across a move.
        SetWindowPos(shadow, nullptr, want.left, want.top, 0, 0,
                     SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);
    }
}

} // namespace

int shadow_depth(UINT dpi) {
    if (dpi == 0) {
        return kDesignDepth;
    }
    const int depth = MulDiv(kDesignDepth, static_cast<int>(dpi), 96);
    return depth < 1 ? 1 : depth;
}

void shadow_draw_rings(uint32_t* pixels, int width, int height, int depth, COLORREF color) {
    auto at = [pixels, width](int x, int y) -> uint32_t& {
        return pixels[static_cast<size_t>(y) * static_cast<size_t>(width) + static_cast<size_t>(x)];
    };
    for (int ring = 0; ring < kRings; ++ring) {
        const uint32_t value =
            premultiplied(color, static_cast<uint32_t>(kFirstAlpha + kAlphaStep * ring));
        // Ring k covers the insets [k * depth / 5, (k + 1) * depth / 5): one
        // pixel each at 96 DPI, two at 192.
        for (int d = ring * depth / kRings; d < (ring + 1) * depth / kRings; ++d) {
            const int right = width - 1 - d;
            const int bottom = height - 1 - d;
            if (right < d || bottom < d) {
                return;
            }
            for (int x = d; x <= right; ++x) {
                at(x, d) = value;
                at(x, bottom) = value;
            }
            for (int y = d + 1; y < bottom; ++y) {
                at(d, y) = value;
                at(right, y) = value;
            }
        }
    }
}

void shadow_paint(HWND target, const RECT& where, int depth) {
    HWND shadow = shadow_of(target);
    const int width = width_of(where);
    const int height = height_of(where);
    if (!shadow || width <= 0 || height <= 0) {
        return;
    }
    BITMAPINFO bi{};
    bi.bmiHeader.biSize = sizeof(BITMAPINFOHEADER);
    bi.bmiHeader.biWidth = width;
    bi.bmiHeader.biHeight = height; // positive: bottom-up rows
    bi.bmiHeader.biPlanes = 1;
    bi.bmiHeader.biBitCount = 32;
    bi.bmiHeader.biCompression = BI_RGB;
    bi.bmiHeader.biSizeImage = static_cast<DWORD>(width) * static_cast<DWORD>(height) * 32 / 8;
    void* bits = nullptr;
    HBITMAP dib = CreateDIBSection(nullptr, &bi, DIB_RGB_COLORS, &bits, nullptr, 0);
    HDC mem = CreateCompatibleDC(nullptr);
    if (dib && bits && mem) {
        const auto color =
            static_cast<COLORREF>(reinterpret_cast<UINT_PTR>(GetPropA(shadow, kColorProp)));
        shadow_draw_rings(static_cast<uint32_t*>(bits), width, height, depth, color);
        HGDIOBJ previous = SelectObject(mem, dib);
        POINT position{where.left, where.top};
        SIZE size{width, height};
        POINT source{0, 0};
        BLENDFUNCTION blend{AC_SRC_OVER, 0, 255, AC_SRC_ALPHA};
        // Placed, sized and painted in one step: no frame shows the old bitmap at the new size.
        if (UpdateLayeredWindow(shadow, nullptr, &position, &size, mem, &source, 0, &blend,
                                ULW_ALPHA)) {
            SetPropA(shadow, kDepthProp, reinterpret_cast<HANDLE>(static_cast<INT_PTR>(depth)));
        }
        SelectObject(mem, previous);
    }
    if (mem) {
        DeleteDC(mem);
    }
    if (dib) {
        DeleteObject(dib);
    }
}

void shadow_update(HWND target) {
    update(target, false);
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
    update(target, true);
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
