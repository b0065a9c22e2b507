#include "ui/accessible_win.h"

#include <algorithm>

namespace ui::detail {

// Double buffering: every control paints into a memory bitmap first.
BufferedPaint::BufferedPaint(HWND h, HDC print_dc, bool own_buffer)
    : hwnd(h), printing(print_dc != nullptr) {
    window_dc = printing ? print_dc : BeginPaint(hwnd, &ps);
    GetClientRect(hwnd, &rc);
    if (printing && !own_buffer && GetObjectType(print_dc) == OBJ_MEMDC) {
        dc = print_dc;
        return;
    }
    dc = CreateCompatibleDC(window_dc);
    bmp.reset(CreateCompatibleBitmap(window_dc, std::max<LONG>(rc.right, 1),
                                     std::max<LONG>(rc.bottom, 1)));
    old = SelectObject(dc, bmp.get());
}

BufferedPaint::~BufferedPaint() {
    if (dc == window_dc) {
        return;
    }
    BitBlt(window_dc, 0, 0, rc.right, rc.bottom, dc, 0, 0, SRCCOPY);
    SelectObject(dc, old);
    bmp.reset();
    DeleteDC(dc);
    if (!printing) {
        EndPaint(hwnd, &ps);
    }
}

// Paints what `window` shows behind its children: its colour, and its picture.
void paint_own_background(HWND window, HDC dc, int dx, int dy) {
    RECT rc;
    GetClientRect(window, &rc);
    OffsetRect(&rc, dx, dy);
    FillRect(dc, &rc, brush(background_of(window)));
    Control* c = control_of_window(window);
    if (c && c->picture) {
        draw_picture(*c->picture, dc, dx, dy, dpi_of(*c));
    }
}

// A transparent control shows its parent's background through.
void paint_parent_background(HWND child, HDC dc) {
    HWND parent = GetParent(child);
    POINT origin{0, 0};
    MapWindowPoints(child, parent, &origin, 1);
    paint_own_background(parent, dc, -origin.x, -origin.y);
}

std::wstring window_text(HWND hwnd) {
    int n = GetWindowTextLengthW(hwnd);
    std::wstring s(static_cast<size_t>(n) + 1, L'\0');
    n = GetWindowTextW(hwnd, s.data(), n + 1);
    s.resize(static_cast<size_t>(std::max(n, 0)));
    return s;
}

void draw_text(HDC dc, const Control& c, RECT rc, COLORREF color, UINT align, bool underline) {
    HFONT font = font_of(c);
    if (underline) {
        font = underlined_font(font);
    }
    HGDIOBJ old = SelectObject(dc, font);
    SetBkMode(dc, TRANSPARENT);
    SetTextColor(dc, color);
    std::wstring text = window_text(c.hwnd);
    DrawTextW(dc, text.c_str(), static_cast<int>(text.size()), &rc,
              align | DT_SINGLELINE | DT_VCENTER | DT_NOPREFIX);
    SelectObject(dc, old);
}

LRESULT set_text_and_repaint(HWND hwnd, WPARAM wp, LPARAM lp) {
    LRESULT res = DefWindowProcW(hwnd, WM_SETTEXT, wp, lp);
    InvalidateRect(hwnd, nullptr, FALSE);
    return res;
}

void set_hover(Control& c, bool hover) {
    if (c.hover == hover) {
        return;
    }
    c.hover = hover;
    if (hover) {
        TRACKMOUSEEVENT t{sizeof(t), TME_LEAVE, c.hwnd, 0};
        TrackMouseEvent(&t);
    }
    InvalidateRect(c.hwnd, nullptr, FALSE);
}

void drag_form(HWND any) {
    HWND root = GetAncestor(any, GA_ROOT);
    ReleaseCapture();
    SendMessageW(root, WM_NCLBUTTONDOWN, HTCAPTION, 0);
}

bool container_message(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp, LRESULT& result) {
    switch (msg) {
    case WM_COMMAND: {
        Control* c = control_of_window(reinterpret_cast<HWND>(lp));
        if (!c || c->def->kind != ControlKind::Edit) {
            return false;
        }
        switch (HIWORD(wp)) {
        case EN_SETFOCUS:
            fire(*c, Event::GainsFocus);
            break;
        case EN_KILLFOCUS:
            fire(*c, Event::LosesFocus);
            break;
        case EN_CHANGE:
            fire(*c, Event::Changed);
            break;
        default:
            break;
        }
        result = 0;
        return true;
    }
    case WM_CTLCOLOREDIT:
    case WM_CTLCOLORSTATIC: {
        HWND child = reinterpret_cast<HWND>(lp);
        Control* c = control_of_window(child);
        if (!c) {
            return false;
        }
        HDC dc = reinterpret_cast<HDC>(wp);
        COLORREF back = or_default(c->back, kWhite);
        COLORREF fore = IsWindowEnabled(child) ? or_default(c->fore, kBlack) : kGreyText;
        if (high_contrast()) {
            contrast_colours(*c, IsWindowEnabled(child) != FALSE, false, fore, back);
        }
        SetTextColor(dc, fore);
        SetBkColor(dc, back);
        result = reinterpret_cast<LRESULT>(brush(back));
        return true;
    }
    case WM_LBUTTONDOWN:
        // Pressing on a passive area moves the window, as a caption bar would.
        drag_form(hwnd);
        result = 0;
        return true;
    default:
        return false;
    }
}

} // namespace ui::detail
