#pragma once

#include <windows.h>

// The soft drop shadow of a top-level window: a click-through layered popup,
// 5 pixels larger on every side, owned by the window and moved with it. All
// state lives in window properties ("WndShadow" and "WndShadow.Proc" on the
// target, "WndShadow.Color" on the shadow window).

// Attaches the shadow (or only recolours and repaints it when attached already).
// False when `target` is not a window.
bool shadow_setup(HWND target, COLORREF color);

// Moves, sizes and repaints the shadow of `target`.
void shadow_update(HWND target);

// Paints the shadow of `target` with a W x H bitmap and hands it to the shadow window.
void shadow_paint(HWND target, int width, int height);

// Draws the five rings of `color` into `dc`, which holds a 32-bit W x H DIB
// section (the painting of shadow_paint, reachable for tests and benchmarks).
void shadow_draw_rings(HDC dc, int width, int height, COLORREF color);

// The procedure installed on the target.
LRESULT CALLBACK shadow_window_proc(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp);
