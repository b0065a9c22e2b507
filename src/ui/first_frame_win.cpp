#include "ui/forms_detail_win.h"

#include <vector>

namespace ui::detail {

namespace {

// A window of the form's table (a control, or a page of a page container) and
// its parent, in the order they were made.
struct Made {
    HWND window;
    HWND parent;
};

// The table's windows with their parents, from the form's own records: asking
// the window manager for each window's children and siblings is a round trip
// each under Wine, which cost the first frame about 4 of its 9 ms.
std::vector<Made> windows_made(const Form& f) {
    std::vector<Made> made;
    for (const auto& c : f.controls) {
        if (c->hwnd) {
            made.push_back({c->hwnd, GetParent(c->hwnd)});
            for (HWND page : c->pages) {
                made.push_back({page, c->hwnd});
            }
        }
    }
    return made;
}

void print_children(const std::vector<Made>& made, HWND parent, HWND form, HDC dc);

// Draws `window` (WM_PRINTCLIENT) where it lies in the form, clipped to it and
// to its parents, then its visible children.
void print_tree(const std::vector<Made>& made, HWND window, HWND form, HDC dc) {
    RECT r;
    GetClientRect(window, &r);
    MapWindowPoints(window, form, reinterpret_cast<POINT*>(&r), 2);
    const int saved = SaveDC(dc);
    IntersectClipRect(dc, r.left, r.top, r.right, r.bottom);
    SetViewportOrgEx(dc, r.left, r.top, nullptr);
    SendMessageW(window, WM_PRINTCLIENT, reinterpret_cast<WPARAM>(dc), PRF_CLIENT);
    SetViewportOrgEx(dc, 0, 0, nullptr);
    print_children(made, window, form, dc);
    RestoreDC(dc, saved);
}

// The bottom of the z-order first: a child window is made below the siblings
// made before it, so that is the last made first.
void print_children(const std::vector<Made>& made, HWND parent, HWND form, HDC dc) {
    for (auto it = made.rbegin(); it != made.rend(); ++it) {
        if (it->parent == parent && (GetWindowLongPtrW(it->window, GWL_STYLE) & WS_VISIBLE)) {
            print_tree(made, it->window, form, dc);
        }
    }
}

} // namespace

void paint_first_frame(Form& f) {
    PAINTSTRUCT ps;
    BeginPaint(f.hwnd, &ps);
    // A DC over the children too: the form draws them, they do not paint.
    HDC whole = GetDCEx(f.hwnd, nullptr, DCX_CACHE | DCX_CLIPSIBLINGS);
    {
        BufferedPaint p(f.hwnd, whole);
        FillRect(p.dc, &p.rc, brush(background_of(f.hwnd)));
        print_children(windows_made(f), f.hwnd, f.hwnd, p.dc);
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
