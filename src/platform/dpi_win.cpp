#include "platform/dpi_win.h"

namespace ui {

namespace {

// Per-monitor calls exist from Windows 10 1607 on; older systems get the
// screen's DPI, the same for every window.
using GetDpiForWindowFn = UINT(WINAPI*)(HWND);
using AdjustWindowRectExForDpiFn = BOOL(WINAPI*)(LPRECT, DWORD, BOOL, DWORD, UINT);

template <typename Fn> Fn user32_function(const char* name) {
    HMODULE user32 = GetModuleHandleW(L"user32.dll");
    FARPROC p = user32 ? GetProcAddress(user32, name) : nullptr;
    return p ? reinterpret_cast<Fn>(reinterpret_cast<void*>(p)) : nullptr;
}

GetDpiForWindowFn get_dpi_for_window() {
    static const GetDpiForWindowFn fn = user32_function<GetDpiForWindowFn>("GetDpiForWindow");
    return fn;
}

AdjustWindowRectExForDpiFn adjust_window_rect_for_dpi() {
    static const AdjustWindowRectExForDpiFn fn =
        user32_function<AdjustWindowRectExForDpiFn>("AdjustWindowRectExForDpi");
    return fn;
}

int screen_dpi() {
    HDC dc = GetDC(nullptr);
    int dpi = dc ? GetDeviceCaps(dc, LOGPIXELSX) : kDesignDpi;
    if (dc) {
        ReleaseDC(nullptr, dc);
    }
    return dpi > 0 ? dpi : kDesignDpi;
}

} // namespace

int window_dpi(HWND window) {
    if (GetDpiForWindowFn fn = get_dpi_for_window(); fn && window) {
        if (UINT dpi = fn(window)) {
            return static_cast<int>(dpi);
        }
    }
    return screen_dpi();
}

int scale_to(int design, int dpi) {
    return MulDiv(design, dpi, kDesignDpi);
}

int scale_from(int pixels, int dpi) {
    return dpi > 0 ? MulDiv(pixels, kDesignDpi, dpi) : pixels;
}

SIZE window_size_for_client(int width, int height, DWORD style, DWORD ex_style, int dpi) {
    RECT r{0, 0, width, height};
    if (AdjustWindowRectExForDpiFn fn = adjust_window_rect_for_dpi()) {
        fn(&r, style, FALSE, ex_style, static_cast<UINT>(dpi));
    } else {
        AdjustWindowRectEx(&r, style, FALSE, ex_style);
    }
    return {r.right - r.left, r.bottom - r.top};
}

} // namespace ui
