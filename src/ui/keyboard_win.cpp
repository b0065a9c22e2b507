#include "ui/accessible_win.h"

#include <commctrl.h>

#include <algorithm>
#include <tuple>

// The keyboard: one Tab cycle per form across edit boxes, buttons and links,
// Ctrl+Tab through the navigation buttons, and a focus ring once keys are in use.
namespace ui::detail {

namespace {

bool reachable(const Control& c) {
    const ControlKind k = c.def->kind;
    return c.hwnd &&
           (k == ControlKind::Edit || k == ControlKind::SuperButton || k == ControlKind::Hyperlink);
}

bool usable(HWND h) {
    return IsWindowVisible(h) && IsWindowEnabled(h);
}

void show_focus_cues(HWND form) {
    if (Form* f = form_of(form); f && !f->focus_cues) {
        f->focus_cues = true;
        if (Control* c = control_of_window(GetFocus())) {
            InvalidateRect(c->hwnd, nullptr, FALSE);
        }
    }
}

void focus(Control& c) {
    SetFocus(c.hwnd);
    if (c.def->kind == ControlKind::Edit) {
        SendMessageW(c.hwnd, EM_SETSEL, 0, -1);
    }
}

// The entry after (or before) entry `at` of a ring of `count` entries; from
// outside the ring (`at` == `count`), the first (or the last).
size_t ring_step(size_t count, size_t at, bool backwards) {
    if (at >= count) {
        return backwards ? count - 1 : 0;
    }
    return backwards ? (at + count - 1) % count : (at + 1) % count;
}

// From `from` (null: from outside the cycle) to the next stop.
void tab(HWND form, const Control* from, bool backwards) {
    show_focus_cues(form);
    std::vector<Control*> ring = tab_ring(form);
    if (ring.empty()) {
        return;
    }
    auto it = std::find(ring.begin(), ring.end(), from);
    focus(*ring[ring_step(ring.size(), static_cast<size_t>(it - ring.begin()), backwards)]);
}

// The navigation buttons: the check-box buttons outside the pages.
std::vector<Control*> navigation(Form& f) {
    std::vector<Control*> nav;
    for (auto& c : f.controls) {
        if (c->hwnd && c->def->kind == ControlKind::SuperButton && (c->def->flags & kCheckBox) &&
            c->page_window == f.hwnd) {
            nav.push_back(c.get());
        }
    }
    return nav;
}

// Ctrl+Tab: presses the navigation button after (or before) the checked one,
// while navigation is enabled. The focus follows onto the new page when the
// page it was on went away.
void switch_page(HWND form, bool backwards) {
    Form* f = form_of(form);
    if (!f) {
        return;
    }
    std::vector<Control*> nav = navigation(*f);
    if (nav.empty() ||
        std::any_of(nav.begin(), nav.end(), [](const Control* c) { return !usable(c->hwnd); })) {
        return;
    }
    auto checked =
        std::find_if(nav.begin(), nav.end(), [](const Control* c) { return c->checked; });
    const size_t next =
        ring_step(nav.size(), static_cast<size_t>(checked - nav.begin()), backwards);
    show_focus_cues(form);
    button_click(*nav[next]);
    HWND now = GetFocus();
    if (!now || !IsWindowVisible(now) || now == form) {
        tab(form, nullptr, false);
    }
}

bool tab_key(HWND form, const Control* from) {
    const bool shift = GetKeyState(VK_SHIFT) < 0;
    if (GetKeyState(VK_CONTROL) < 0) {
        switch_page(form, shift);
    } else {
        tab(form, from, shift);
    }
    return true;
}

LRESULT CALLBACK keyboard_subclass(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp, UINT_PTR id,
                                   DWORD_PTR ref) {
    auto* c = reinterpret_cast<Control*>(ref);
    const bool link = c->def->kind == ControlKind::Hyperlink;
    switch (msg) {
    case WM_KEYDOWN:
        if (wp == VK_TAB) {
            tab_key(c->form, c);
            return 0;
        }
        if (link && (wp == VK_SPACE || wp == VK_RETURN)) {
            SendMessageW(hwnd, BM_CLICK, 0, 0);
            return 0;
        }
        break;
    case WM_CHAR:
        if (wp == L'\t') {
            return 0;
        }
        break;
    case BM_CLICK:
        if (link) {
            // As a click: nothing while hidden or disabled.
            if (usable(hwnd)) {
                fire(*c, Event::Clicked);
            }
            return 0;
        }
        break;
    case WM_SETFOCUS:
    case WM_KILLFOCUS:
        if (link) {
            InvalidateRect(hwnd, nullptr, FALSE);
        }
        break;
    case WM_NCDESTROY:
        RemoveWindowSubclass(hwnd, keyboard_subclass, id);
        break;
    default:
        break;
    }
    return DefSubclassProc(hwnd, msg, wp, lp);
}

} // namespace

void make_keyboard_reachable(Control& c) {
    if (reachable(c)) {
        SetWindowSubclass(c.hwnd, keyboard_subclass, 0, reinterpret_cast<DWORD_PTR>(&c));
    }
}

bool form_key(HWND form, WPARAM key) {
    return key == VK_TAB && tab_key(form, nullptr);
}

std::vector<Control*> tab_ring(HWND form) {
    std::vector<Control*> ring;
    Form* f = form_of(form);
    if (!f) {
        return ring;
    }
    // Sort keys: group, then tab order (edit boxes), or rows from the bottom up
    // and left to right (outside the pages), then the table's order.
    using Key = std::tuple<int, int, int, size_t>;
    std::vector<std::pair<Key, Control*>> stops;
    for (size_t i = 0; i < f->controls.size(); ++i) {
        Control& c = *f->controls[i];
        if (!reachable(c) || !usable(c.hwnd)) {
            continue;
        }
        const bool in_page = c.page_window != form;
        const bool edit = c.def->kind == ControlKind::Edit;
        int a = 0;
        int b = 0;
        if (edit) {
            a = c.def->tab;
        } else if (!in_page) {
            RECT r;
            GetWindowRect(c.hwnd, &r);
            MapWindowPoints(nullptr, form, reinterpret_cast<POINT*>(&r), 2);
            a = -r.top;
            b = r.left;
        }
        stops.push_back({Key{(in_page ? 0 : 2) + (edit ? 0 : 1), a, b, i}, &c});
    }
    std::sort(stops.begin(), stops.end(),
              [](const auto& x, const auto& y) { return x.first < y.first; });
    for (auto& s : stops) {
        ring.push_back(s.second);
    }
    return ring;
}

bool shows_focus(const Control& c) {
    const Form* f = form_of(c.form);
    return f && f->focus_cues && GetFocus() == c.hwnd;
}

void draw_focus_ring(HDC dc, RECT rc) {
    InflateRect(&rc, -2, -2);
    if (rc.right - rc.left < 4 || rc.bottom - rc.top < 4) {
        InflateRect(&rc, 1, 1);
    }
    // DrawFocusRect inverts, so it shows on dark and light colours alike.
    SetTextColor(dc, RGB(0, 0, 0));
    SetBkColor(dc, RGB(255, 255, 255));
    DrawFocusRect(dc, &rc);
}

} // namespace ui::detail
