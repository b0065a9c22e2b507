#include "ui/forms_detail_win.h"

namespace ui::detail {

namespace {

// Draws `window` (WM_PRINTCLIENT) where it lies in the form, clipped to it and
// to its parents, then its visible children, the bottom of the z-order first.
void print_tree(HWND window, HWND form, HDC dc) {
    RECT r;
    GetClientRect(window, &r);
    MapWindowPoints(window, form, reinterpret_cast<POINT*>(&r), 2);
    const int saved = SaveDC(dc);
    IntersectClipRect(dc, r.left, r.top, r.right, r.bottom);
    SetViewportOrgEx(dc, r.left, r.top, nullptr);
    SendMessageW(window, WM_PRINTCLIENT, reinterpret_cast<WPARAM>(dc), PRF_CLIENT);
    SetViewportOrgEx(dc, 0, 0, nullptr);
    print_children(window, form, dc);
    RestoreDC(dc, saved);
}

} // namespace

void print_children(HWND parent, HWND form, HDC dc) {
    for (HWND child = GetWindow(GetWindow(parent, GW_CHILD), GW_HWNDLAST); child;
         child = GetWindow(child, GW_HWNDPREV)) {
        if (GetWindowLongPtrW(child, GWL_STYLE) & WS_VISIBLE) {
            print_tree(child, form, dc);
        }
    }
}

void paint_first_frame(Form& f) {
    PAINTSTRUCT ps;
    BeginPaint(f.hwnd, &ps);
    // A DC over the children too: the form draws them, they do not paint.
    HDC whole = GetDCEx(f.hwnd, nullptr, DCX_CACHE | DCX_CLIPSIBLINGS);
    {
        BufferedPaint p(f.hwnd, whole);
        FillRect(p.dc, &p.rc, brush(background_of(f.hwnd)));
        print_children(f.hwnd, f.hwnd, p.dc);
    }
    ReleaseDC(f.hwnd, whole);
    EndPaint(f.hwnd, &ps);
}

} // namespace ui::detail

namespace ui {

void show_form(HWND form) {
    detail::Form* f = detail::form_of(form);
    if (!f) {
        ShowWindow(form, SW_SHOW);
        UpdateWindow(form);
        return;
    }
    // Shown without any repainting, the controls included (they stay visible
    // throughout, with nothing to paint); then the form alone paints, and
    // draws them.
    f->first_frame = true;
    SetWindowPos(form, nullptr, 0, 0, 0, 0,
                 SWP_SHOWWINDOW | SWP_NOREDRAW | SWP_NOMOVE | SWP_NOSIZE | SWP_NOZORDER);
    RedrawWindow(form, nullptr, nullptr, RDW_INVALIDATE | RDW_UPDATENOW | RDW_NOCHILDREN);
    f->first_frame = false;
}

} // namespace ui
