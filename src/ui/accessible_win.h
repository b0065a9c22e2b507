#pragma once

// Reaching the controls without the mouse or without the eyes: the objects a
// screen reader asks for (accessible_win.cpp), the keyboard (keyboard_win.cpp)
// and the system's colours under high contrast (contrast_win.cpp). UI thread only.

#include "ui/forms_detail_win.h"

#include <optional>

namespace ui::detail {

// The WM_GETOBJECT (OBJID_CLIENT) answer for the control window `hwnd`; 0 when
// it is none of ours or has no role.
LRESULT accessible_object(HWND hwnd, WPARAM wp);
// Makes the control answer WM_GETOBJECT.
void make_accessible(Control& c);

// Makes an edit box, button or link a stop of the form's Tab cycle: Tab and
// Shift+Tab move on, Ctrl+Tab and Ctrl+Shift+Tab switch pages, Space and Enter
// press a link.
void make_keyboard_reachable(Control& c);
// A key that reached the form itself (nothing of it has the focus); true when used.
bool form_key(HWND form, WPARAM key);
// The controls Tab visits, in order: the shown page's edit boxes by tab order,
// its other controls, then the controls outside the pages, from the row next to
// the page up to the window buttons. Hidden and disabled ones are left out.
std::vector<Control*> tab_ring(HWND form);
// Whether `c` has the focus and the form shows where it is (after a key moved it).
bool shows_focus(const Control& c);
void draw_focus_ring(HDC dc, RECT rc);

// Whether Windows' high-contrast mode is on.
bool high_contrast();
// For tests where the system cannot switch the mode (Wine 8 cannot): what
// high_contrast() answers instead of asking; nullopt asks the system again.
void force_high_contrast(std::optional<bool> on);
// Under high contrast: what an area of `window` shows behind text.
COLORREF contrast_background(HWND window);
// Under high contrast: the colours of a button, link or label; `hot` is under
// the mouse, focused or checked.
void contrast_colours(const Control& c, bool enabled, bool hot, COLORREF& fore, COLORREF& back);
// The setting changed: the form and its controls repaint.
void contrast_changed(HWND form);

} // namespace ui::detail
