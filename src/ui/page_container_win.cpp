#include "ui/forms_detail_win.h"

#include <algorithm>
#include <cstring>

namespace ui::detail {

// The page container and its pages: plain containers in the form's colour.
LRESULT CALLBACK pages_proc(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp) {
    LRESULT r = 0;
    if (container_message(hwnd, msg, wp, lp, r)) {
        return r;
    }
    switch (msg) {
    case WM_ERASEBKGND:
    case WM_PRINTCLIENT: {
        RECT rc;
        GetClientRect(hwnd, &rc);
        FillRect(reinterpret_cast<HDC>(wp), &rc, brush(background_of(hwnd)));
        return 1;
    }
    default:
        return DefWindowProcW(hwnd, msg, wp, lp);
    }
}

void prepare_pages(Form& f, Control& c) {
    const ControlDef& d = *c.def;
    // As many pages as the table places controls on; only the current one shows.
    int pages = 1;
    for (const ControlDef& other : f.def->controls) {
        if (other.parent && d.name && strcmp(other.parent, d.name) == 0) {
            pages = std::max(pages, other.page + 1);
        }
    }
    RECT area;
    GetClientRect(c.hwnd, &area);
    for (int i = 0; i < pages; ++i) {
        HWND page = CreateWindowExW(
            WS_EX_CONTROLPARENT, kind_row(ControlKind::PageContainer).window_class, L"",
            WS_CHILD | WS_CLIPCHILDREN | WS_CLIPSIBLINGS | (i == 0 ? WS_VISIBLE : 0), 0, 0,
            area.right, area.bottom, c.hwnd, nullptr, GetModuleHandleW(nullptr), nullptr);
        c.pages.push_back(page);
    }
}

} // namespace ui::detail
