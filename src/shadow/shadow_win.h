#pragma once

#include <windows.h>

#include <cstdint>

// The soft drop shadow of a top-level window: a click-through layered popup,
// a margin larger on every side (5 pixels at 96 DPI, scaled with the target's
// DPI), owned by the window and moved with it. All state lives in window
// properties ("WndShadow" and "WndShadow.Proc" on the target, "WndShadow.Color"
// and "WndShadow.Depth" on the shadow window).

// Attaches the shadow (or only recolours and repaints it when attached already).
// False when `target` is not a window.
bool shadow_setup(HWND target, COLORREF color);

// Follows the target: a move only moves the shadow window, which keeps its
// bitmap; the bitmap is painted afresh only when the size or the margin changed.
void shadow_update(HWND target);

// Paints the shadow of `target` afresh, with its margin `depth`, and places it
// at `where` (screen coordinates, the margin included) in the same step.
void shadow_paint(HWND target, const RECT& where, int depth);

// The margin, and so the total width of the five rings, at `dpi` (5 at 96).
int shadow_depth(UINT dpi);

// Writes the five rings of `color` into `pixels`, the W x H premultiplied
// 32-bit pixels of a zeroed DIB (0xAARRGGBB; the rings are symmetric, so rows
// may run either way). The rings share the `depth` outer pixels evenly, faint
// outside (alpha 5) to dense inside (alpha 65); inside them nothing is written.
void shadow_draw_rings(uint32_t* pixels, int width, int height, int depth, COLORREF color);

// The procedure installed on the target.
LRESULT CALLBACK shadow_window_proc(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp);
