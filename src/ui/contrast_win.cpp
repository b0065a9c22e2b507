#include "ui/accessible_win.h"

#include <optional>

// High contrast: the user's system colours replace the program's palette, so
// text stays readable in whatever scheme the user picked.
namespace ui::detail {

namespace {

COLORREF sys(int index) {
    return GetSysColor(index);
}

// A picture box that draws a line: an underline or button frame around its
// edit box or button, a separator or the slider (a pixel or two thin).
bool draws_a_line(HWND window, const Control& c) {
    RECT rc;
    GetClientRect(window, &rc);
    if (rc.right <= 2 || rc.bottom <= 2) {
        return true;
    }
    HWND child = GetWindow(window, GW_CHILD);
    const Control* inner = control_of_window(child);
    return inner &&
           (inner->def->kind == ControlKind::Edit || inner->def->kind == ControlKind::SuperButton);
}

std::optional<bool>& forced() {
    static std::optional<bool> on;
    return on;
}

} // namespace

void force_high_contrast(std::optional<bool> on) {
    forced() = on;
}

bool high_contrast() {
    if (forced()) {
        return *forced();
    }
    HIGHCONTRASTW hc{};
    hc.cbSize = sizeof(hc);
    return SystemParametersInfoW(SPI_GETHIGHCONTRAST, sizeof(hc), &hc, 0) &&
           (hc.dwFlags & HCF_HIGHCONTRASTON);
}

COLORREF contrast_background(HWND window) {
    const Control* c = control_of_window(window);
    if (c && c->def->kind == ControlKind::PictureBox && draws_a_line(window, *c)) {
        // The line around the focused box is the highlight colour.
        const HWND focus = GetFocus();
        const bool around_focus = focus && GetParent(focus) == window;
        return sys(around_focus ? COLOR_HIGHLIGHT : COLOR_WINDOWTEXT);
    }
    return sys(COLOR_WINDOW);
}

void contrast_colours(const Control& c, bool enabled, bool hot, COLORREF& fore, COLORREF& back) {
    const ControlKind k = c.def->kind;
    if (k == ControlKind::SuperButton) {
        back = sys(hot ? COLOR_HIGHLIGHT : COLOR_WINDOW);
        fore = !enabled ? sys(COLOR_GRAYTEXT) : sys(hot ? COLOR_HIGHLIGHTTEXT : COLOR_WINDOWTEXT);
        return;
    }
    back = sys(COLOR_WINDOW);
    if (k == ControlKind::Hyperlink) {
        fore = sys(COLOR_HIGHLIGHT);
    } else if (k == ControlKind::Edit && !enabled) {
        fore = sys(COLOR_GRAYTEXT);
    } else {
        // A disabled label keeps its colour (it is disabled only to let clicks through).
        fore = sys(COLOR_WINDOWTEXT);
    }
}

void contrast_changed(HWND form) {
    RedrawWindow(form, nullptr, nullptr, RDW_INVALIDATE | RDW_ERASE | RDW_ALLCHILDREN);
}

} // namespace ui::detail
