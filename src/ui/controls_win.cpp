#include "ui/controls_win.h"

#include "platform/secret_text.h"
#include "ui/forms_detail_win.h"
#include "ui/gbk_win.h"
#include "platform/ui_thread_win.h"

#include <commctrl.h>

namespace ui {

using detail::Control;
using detail::find_control;

namespace {

// Runs `f` on the UI thread and hands back its result (the default value when
// the UI thread no longer takes tasks).
template <typename R, typename F> R on_ui(F&& f) {
    R result{};
    run_on_ui_thread([&] { result = f(); });
    return result;
}

template <typename F> void on_ui_do(F&& f) {
    run_on_ui_thread([&] { f(); });
}

// Bounds are kept in design units and shown at the form's DPI (forms_win.h).
void move_to(Control& c, const Bounds& b) {
    c.design = b;
    detail::place(c);
}

LONG_PTR style_of(HWND hwnd) {
    return GetWindowLongPtrW(hwnd, GWL_STYLE);
}

} // namespace

HWND control(HWND form, std::string_view name) {
    return on_ui<HWND>([&]() -> HWND {
        Control* c = find_control(form, name);
        return c ? c->hwnd : nullptr;
    });
}

bool has_control(HWND form, std::string_view name) {
    return on_ui<bool>([&] {
        detail::Form* f = detail::form_of(form);
        return f && f->by_name.find(name) != f->by_name.end();
    });
}

Bounds bounds(HWND form, std::string_view name) {
    return on_ui<Bounds>([&]() -> Bounds {
        Control* c = find_control(form, name);
        return c && c->hwnd ? c->design : Bounds{};
    });
}

void set_bounds(HWND form, std::string_view name, const Bounds& b) {
    on_ui_do([&] {
        if (Control* c = find_control(form, name); c && c->hwnd) {
            move_to(*c, b);
        }
    });
}

int left(HWND form, std::string_view name) {
    return bounds(form, name).left;
}

void set_left(HWND form, std::string_view name, int left) {
    on_ui_do([&] {
        if (Control* c = find_control(form, name); c && c->hwnd) {
            Bounds b = c->design;
            b.left = left;
            move_to(*c, b);
        }
    });
}

int width(HWND form, std::string_view name) {
    return bounds(form, name).width;
}

void set_width(HWND form, std::string_view name, int width) {
    on_ui_do([&] {
        if (Control* c = find_control(form, name); c && c->hwnd) {
            Bounds b = c->design;
            b.width = width;
            move_to(*c, b);
        }
    });
}

bool visible(HWND form, std::string_view name) {
    // The control's own flag: a control on a page not shown is still "visible".
    return on_ui<bool>([&] {
        Control* c = find_control(form, name);
        return c && c->hwnd && (style_of(c->hwnd) & WS_VISIBLE) != 0;
    });
}

void set_visible(HWND form, std::string_view name, bool visible) {
    on_ui_do([&] {
        if (Control* c = find_control(form, name); c && c->hwnd) {
            ShowWindow(c->hwnd, visible ? SW_SHOWNA : SW_HIDE);
        }
    });
}

bool disabled(HWND form, std::string_view name) {
    return on_ui<bool>([&] {
        Control* c = find_control(form, name);
        return c && c->hwnd && (style_of(c->hwnd) & WS_DISABLED) != 0;
    });
}

void set_disabled(HWND form, std::string_view name, bool disabled) {
    on_ui_do([&] {
        if (Control* c = find_control(form, name); c && c->hwnd) {
            EnableWindow(c->hwnd, !disabled);
        }
    });
}

COLORREF back_color(HWND form, std::string_view name) {
    return on_ui<COLORREF>([&]() -> COLORREF {
        Control* c = find_control(form, name);
        if (!c) {
            return kNoColor;
        }
        return c->hwnd ? detail::background_of(c->hwnd) : c->back;
    });
}

void set_back_color(HWND form, std::string_view name, COLORREF color) {
    on_ui_do([&] {
        if (Control* c = find_control(form, name)) {
            c->back = color;
            if (c->hwnd) {
                InvalidateRect(c->hwnd, nullptr, TRUE);
            }
        }
    });
}

std::string text(HWND form, std::string_view name) {
    return on_ui<std::string>([&]() -> std::string {
        Control* c = find_control(form, name);
        if (!c || !c->hwnd) {
            return {};
        }
        int n = GetWindowTextLengthW(c->hwnd);
        std::wstring w(static_cast<size_t>(n) + 1, L'\0');
        n = GetWindowTextW(c->hwnd, w.data(), n + 1);
        w.resize(static_cast<size_t>(n > 0 ? n : 0));
        std::string gbk_text = narrow(w);
        // The text may be a password read for a request.
        wipe_bytes(w.data(), w.size() * sizeof(wchar_t));
        return gbk_text;
    });
}

void set_text(HWND form, std::string_view name, std::string_view gbk_text) {
    on_ui_do([&] {
        if (Control* c = find_control(form, name); c && c->hwnd) {
            SetWindowTextW(c->hwnd, widen(gbk_text).c_str());
        }
    });
}

bool checked(HWND form, std::string_view name) {
    return on_ui<bool>([&] {
        Control* c = find_control(form, name);
        return c && c->checked;
    });
}

void set_checked(HWND form, std::string_view name, bool checked) {
    on_ui_do([&] {
        if (Control* c = find_control(form, name)) {
            c->checked = checked;
            if (c->hwnd) {
                InvalidateRect(c->hwnd, nullptr, FALSE);
            }
        }
    });
}

unsigned interval(HWND form, std::string_view name) {
    return on_ui<unsigned>([&] {
        Control* c = find_control(form, name);
        return c ? c->interval : 0u;
    });
}

void set_interval(HWND form, std::string_view name, unsigned ms) {
    on_ui_do([&] {
        Control* c = find_control(form, name);
        if (!c || c->def->kind != ControlKind::Timer) {
            return;
        }
        c->interval = ms;
        if (ms == 0) {
            KillTimer(form, c->timer_id);
        } else {
            SetTimer(form, c->timer_id, ms, nullptr);
        }
    });
}

int page(HWND form, std::string_view name) {
    return on_ui<int>([&] {
        Control* c = find_control(form, name);
        return c ? c->current_page : 0;
    });
}

void set_page(HWND form, std::string_view name, int page) {
    on_ui_do([&] {
        Control* c = find_control(form, name);
        if (!c || page < 0 || static_cast<size_t>(page) >= c->pages.size()) {
            return;
        }
        HWND shown = c->pages[static_cast<size_t>(page)];
        HWND focus = GetFocus();
        for (HWND p : c->pages) {
            if (p != shown && focus && (p == focus || IsChild(p, focus))) {
                // Focus never stays in a page the user cannot see.
                SetFocus(form);
            }
        }
        c->current_page = page;
        ShowWindow(shown, SW_SHOWNA);
        for (HWND p : c->pages) {
            if (p != shown) {
                ShowWindow(p, SW_HIDE);
            }
        }
    });
}

int progress(HWND form, std::string_view name) {
    return on_ui<int>([&] {
        Control* c = find_control(form, name);
        return c && c->hwnd ? static_cast<int>(SendMessageW(c->hwnd, PBM_GETPOS, 0, 0)) : 0;
    });
}

void set_progress(HWND form, std::string_view name, int position) {
    on_ui_do([&] {
        if (Control* c = find_control(form, name); c && c->hwnd) {
            SendMessageW(c->hwnd, PBM_SETPOS, static_cast<WPARAM>(position), 0);
        }
    });
}

void set_window_state(HWND form, int state) {
    on_ui_do([&] {
        if (!IsWindow(form)) {
            return;
        }
        if (state == 2) {
            ShowWindow(form, SW_MINIMIZE);
        } else if (state == 0) {
            ShowWindow(form, SW_RESTORE);
        }
    });
}

} // namespace ui
