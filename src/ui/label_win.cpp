#include "ui/accessible_win.h"

namespace ui::detail {

// Labels, transparent labels and hyperlink boxes.
LRESULT CALLBACK label_proc(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp) {
    Control* c = control_of_window(hwnd);
    switch (msg) {
    case WM_ERASEBKGND:
        return 1;
    case WM_PAINT:
    case WM_PRINTCLIENT: {
        BufferedPaint p(hwnd, print_target(msg, wp));
        if (!c) {
            return 0;
        }
        bool link = c->def->kind == ControlKind::Hyperlink;
        if (c->def->kind == ControlKind::TransparentLabel) {
            paint_parent_background(hwnd, p.dc);
        } else {
            FillRect(p.dc, &p.rc, brush(background_of(hwnd)));
        }
        // A disabled label keeps its colour: it is disabled only so that clicks
        // fall through to the bar (the title).
        COLORREF fore = or_default(c->fore, link ? RGB(0, 136, 255) : kBlack);
        UINT align = (c->def->flags & kCentered)       ? DT_CENTER
                     : (c->def->flags & kRightAligned) ? DT_RIGHT
                                                       : DT_LEFT;
        if (high_contrast()) {
            COLORREF back = kNoColor;
            contrast_colours(*c, true, false, fore, back);
        }
        draw_text(p.dc, *c, p.rc, fore, align, link && c->hover);
        if (shows_focus(*c)) {
            draw_focus_ring(p.dc, p.rc);
        }
        return 0;
    }
    case WM_SETTEXT:
        return set_text_and_repaint(hwnd, wp, lp);
    case WM_MOUSEMOVE:
        if (c && c->def->kind == ControlKind::Hyperlink) {
            set_hover(*c, true);
        }
        return 0;
    case WM_MOUSELEAVE:
        if (c) {
            set_hover(*c, false);
        }
        return 0;
    case WM_SETCURSOR:
        if (c && c->def->kind == ControlKind::Hyperlink) {
            SetCursor(LoadCursorW(nullptr, MAKEINTRESOURCEW(32649))); // IDC_HAND
            return TRUE;
        }
        return DefWindowProcW(hwnd, msg, wp, lp);
    case WM_LBUTTONDOWN:
        if (c && c->def->kind == ControlKind::Hyperlink) {
            // No link target: the click is only an event.
            fire(*c, Event::Clicked);
            return 0;
        }
        drag_form(hwnd);
        return 0;
    default:
        return DefWindowProcW(hwnd, msg, wp, lp);
    }
}

} // namespace ui::detail
