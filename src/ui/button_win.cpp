#include "ui/accessible_win.h"

#include <windowsx.h>

namespace ui::detail {

void button_click(Control& c) {
    if (!IsWindowEnabled(c.hwnd) || !IsWindowVisible(c.hwnd)) {
        return;
    }
    fire(c, Event::Clicked);
}

LRESULT CALLBACK button_proc(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp) {
    Control* c = control_of_window(hwnd);
    if (!c) {
        return DefWindowProcW(hwnd, msg, wp, lp);
    }
    const Look look = c->def->look ? *c->def->look : Look{};
    switch (msg) {
    case WM_ERASEBKGND:
        return 1;
    case WM_PAINT:
    case WM_PRINTCLIENT: {
        BufferedPaint p(hwnd, print_target(msg, wp));
        COLORREF fore = or_default(c->fore, kBlack);
        COLORREF back = or_default(c->back, kWhite);
        bool enabled = IsWindowEnabled(hwnd) != FALSE;
        if (enabled && c->hover) {
            fore = or_default(look.hover_fore, fore);
            back = or_default(look.hover_back, back);
        } else if (enabled && GetFocus() == hwnd) {
            fore = or_default(look.focus_fore, fore);
            back = or_default(look.focus_back, back);
        }
        if (enabled && c->checked) {
            // The checked navigation button keeps the highlight colour.
            fore = or_default(look.hover_fore, fore);
        }
        if (!enabled) {
            fore = kGreyText;
        }
        if (high_contrast()) {
            const bool hot = enabled && (c->hover || c->checked || GetFocus() == hwnd);
            contrast_colours(*c, enabled, hot, fore, back);
        }
        FillRect(p.dc, &p.rc, brush(back));
        draw_text(p.dc, *c, p.rc, fore, DT_CENTER);
        if (shows_focus(*c)) {
            draw_focus_ring(p.dc, p.rc);
        }
        return 0;
    }
    case WM_SETTEXT:
        return set_text_and_repaint(hwnd, wp, lp);
    case WM_ENABLE:
    case WM_SETFOCUS:
    case WM_KILLFOCUS:
        InvalidateRect(hwnd, nullptr, FALSE);
        return 0;
    case WM_MOUSEMOVE:
        set_hover(*c, true);
        return 0;
    case WM_MOUSELEAVE:
        set_hover(*c, false);
        return 0;
    case WM_LBUTTONDOWN:
        SetFocus(hwnd);
        SetCapture(hwnd);
        c->pressed = true;
        return 0;
    case WM_LBUTTONUP: {
        if (!c->pressed) {
            return 0;
        }
        c->pressed = false;
        ReleaseCapture();
        POINT pt{GET_X_LPARAM(lp), GET_Y_LPARAM(lp)};
        RECT rc;
        GetClientRect(hwnd, &rc);
        if (PtInRect(&rc, pt)) {
            button_click(*c);
        }
        return 0;
    }
    case WM_CAPTURECHANGED:
        c->pressed = false;
        return 0;
    case WM_KEYDOWN:
        if (wp == VK_SPACE || wp == VK_RETURN) {
            button_click(*c);
            return 0;
        }
        return DefWindowProcW(hwnd, msg, wp, lp);
    case BM_CLICK:
        button_click(*c);
        return 0;
    case BM_GETCHECK:
        return c->checked ? BST_CHECKED : BST_UNCHECKED;
    case BM_SETCHECK:
        c->checked = wp == BST_CHECKED;
        InvalidateRect(hwnd, nullptr, FALSE);
        return 0;
    default:
        return DefWindowProcW(hwnd, msg, wp, lp);
    }
}

} // namespace ui::detail
