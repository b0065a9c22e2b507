#pragma once

#include <windows.h>

// Display scale. Every length of the forms (layout tables, fonts, images, the
// announcement's width and step, the shadow's margin) is designed at 96 DPI; the
// control layer and the shadow turn it into pixels at the DPI of the window that
// shows it, through these functions and no others.
namespace ui {

inline constexpr int kDesignDpi = 96;

// The DPI `window` is shown at: the window's own where the system knows it
// (per-monitor), otherwise the screen's.
int window_dpi(HWND window);

// A length designed at 96 DPI in pixels at `dpi`, rounded to the nearest pixel;
// and back. For a DPI of 96 or more, scale_from(scale_to(v)) == v.
int scale_to(int design, int dpi);
int scale_from(int pixels, int dpi);

// The window rectangle (size) that gives a client area of width x height pixels
// to a window of these styles at `dpi`.
SIZE window_size_for_client(int width, int height, DWORD style, DWORD ex_style, int dpi);

} // namespace ui
