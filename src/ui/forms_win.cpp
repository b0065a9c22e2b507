#include "ui/forms_win.h"

#include "platform/message_loop_win.h"
#include "platform/ui_thread_win.h"
#include "ui/accessible_win.h"
#include "ui/controls_win.h"
#include "ui/forms_detail_win.h"
#include "ui/gbk_win.h"
#include "../../res/resource.h"

#include <commctrl.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>

namespace ui {
namespace detail {

void register_control_classes();

namespace {

constexpr DWORD kFormStyle = WS_POPUP | WS_SYSMENU | WS_MINIMIZEBOX | WS_CLIPCHILDREN;
constexpr DWORD kFormExStyle = WS_EX_APPWINDOW | WS_EX_CONTROLPARENT;

// The window comes to a display of another scale (or the scale changed): the
// form takes the size and place the system suggests, and every control its
// design bounds and fonts at the new DPI.
void rescale_form(Form& f, int dpi, const RECT& suggested) {
    f.dpi = dpi;
    SetWindowPos(f.hwnd, nullptr, suggested.left, suggested.top, suggested.right - suggested.left,
                 suggested.bottom - suggested.top, SWP_NOZORDER | SWP_NOACTIVATE);
    for (auto& c : f.controls) {
        if (!c->hwnd) {
            continue;
        }
        place(*c);
        if (c->def->kind == ControlKind::Edit) {
            apply_edit_font(*c);
        } else if (c->def->kind == ControlKind::ProgressBar) {
            SendMessageW(c->hwnd, WM_SETFONT, reinterpret_cast<WPARAM>(font_of(*c)), FALSE);
        }
    }
    RedrawWindow(f.hwnd, nullptr, nullptr, RDW_INVALIDATE | RDW_ERASE | RDW_ALLCHILDREN);
}

LRESULT CALLBACK form_proc(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp) {
    LRESULT r = 0;
    if (container_message(hwnd, msg, wp, lp, r)) {
        return r;
    }
    Form* f = form_of(hwnd);
    switch (msg) {
    case WM_ERASEBKGND: {
        RECT rc;
        GetClientRect(hwnd, &rc);
        FillRect(reinterpret_cast<HDC>(wp), &rc, brush(background_of(hwnd)));
        return 1;
    }
    case WM_PAINT:
        if (f && f->first_frame) {
            paint_first_frame(*f);
            return 0;
        }
        return DefWindowProcW(hwnd, msg, wp, lp);
    case WM_KEYDOWN:
        return form_key(hwnd, wp) ? 0 : DefWindowProcW(hwnd, msg, wp, lp);
    case WM_SETTINGCHANGE:
        contrast_changed(hwnd);
        return DefWindowProcW(hwnd, msg, wp, lp);
    case WM_TIMER: {
        if (!f) {
            return 0;
        }
        auto it = f->timers.find(wp);
        if (it != f->timers.end()) {
            fire(*it->second, Event::Tick);
        }
        return 0;
    }
    case WM_DPICHANGED:
        if (f) {
            rescale_form(*f, LOWORD(wp), *reinterpret_cast<const RECT*>(lp));
        }
        return 0;
    case WM_CLOSE:
        if (f && f->def->on_close) {
            f->def->on_close(hwnd);
        } else {
            DestroyWindow(hwnd);
        }
        return 0;
    case WM_DESTROY:
        if (f) {
            for (auto& t : f->timers) {
                KillTimer(hwnd, t.first);
            }
            if (f->def->on_destroy) {
                f->def->on_destroy(hwnd);
            }
        }
        untrack_top_level_window(hwnd);
        return 0;
    case WM_NCDESTROY:
        if (f) {
            unindex_form(hwnd, *f);
        }
        delete f;
        return DefWindowProcW(hwnd, msg, wp, lp);
    default:
        return DefWindowProcW(hwnd, msg, wp, lp);
    }
}

// The common controls (tooltips, progress bars, and the subclassing every
// control's keyboard and screen-reader hooks use), loaded and registered on
// first need: under Wine loading them took longer than the whole first paint.
void load_common_controls() {
    static const bool loaded = [] {
        INITCOMMONCONTROLSEX icc{sizeof(icc), ICC_STANDARD_CLASSES | ICC_PROGRESS_CLASS |
                                                  ICC_BAR_CLASSES | ICC_TAB_CLASSES};
        return InitCommonControlsEx(&icc) != FALSE;
    }();
    static_cast<void>(loaded);
}

void add_tooltip(Form& f, Control& c) {
    load_common_controls();
    if (!f.tooltip) {
        f.tooltip = CreateWindowExW(WS_EX_TOPMOST, TOOLTIPS_CLASSW, nullptr,
                                    WS_POPUP | TTS_ALWAYSTIP | TTS_NOPREFIX, CW_USEDEFAULT,
                                    CW_USEDEFAULT, CW_USEDEFAULT, CW_USEDEFAULT, f.hwnd, nullptr,
                                    GetModuleHandleW(nullptr), nullptr);
    }
    std::wstring tip = widen(gbk(c.def->tooltip));
    TOOLINFOW ti{};
    ti.cbSize = TTTOOLINFOW_V2_SIZE;
    ti.uFlags = TTF_IDISHWND | TTF_SUBCLASS;
    ti.hwnd = f.hwnd;
    ti.uId = reinterpret_cast<UINT_PTR>(c.hwnd);
    ti.lpszText = tip.data();
    SendMessageW(f.tooltip, TTM_ADDTOOLW, 0, reinterpret_cast<LPARAM>(&ti));
}

// What a control needs once input can reach it: the screen reader's object,
// the keyboard, its tooltip.
void attach_hooks(Form& f, Control& c) {
    load_common_controls();
    make_accessible(c);
    make_keyboard_reachable(c);
    if (c.def->tooltip) {
        add_tooltip(f, c);
    }
}

bool create_control(Form& f, Control& c) {
    const ControlDef& d = *c.def;
    HWND parent = f.hwnd;
    // The page (or the form) this control belongs to, for Tab and Enter: the
    // page it is placed on, or its parent's.
    HWND page_window = f.hwnd;
    if (d.parent) {
        Control* p = find_control(f.hwnd, d.parent);
        if (!p || !p->hwnd) {
            return false;
        }
        parent = p->hwnd;
        page_window = p->page_window;
        if (p->def->kind == ControlKind::PageContainer) {
            if (d.page < 0 || static_cast<size_t>(d.page) >= p->pages.size()) {
                return false;
            }
            parent = p->pages[static_cast<size_t>(d.page)];
            page_window = parent;
        }
    }
    if (d.look) {
        c.back = d.look->back;
        c.fore = d.look->fore;
    }
    c.design = {d.left, d.top, d.width, d.height};
    std::wstring text = d.text ? widen(gbk(d.text)) : std::wstring();
    DWORD style = WS_CHILD | WS_CLIPSIBLINGS | ((d.flags & kHidden) ? 0 : WS_VISIBLE) |
                  ((d.flags & kDisabled) ? WS_DISABLED : 0);
    const KindRow& row = kind_row(d.kind);
    if (!row.window_class) {
        c.timer_id = kFirstFormTimer + f.timers.size();
        f.timers[c.timer_id] = &c;
        return true;
    }
    if (row.style) {
        style |= row.style(d);
    }
    if (!row.proc) {
        load_common_controls(); // a system class
    }
    // Made in place: moving it there afterwards costs each control a round of
    // position messages.
    const RECT r = placed_bounds(c);
    c.hwnd = CreateWindowExW(row.ex_style, row.window_class, text.c_str(), style, r.left, r.top,
                             r.right - r.left, r.bottom - r.top, parent, nullptr,
                             GetModuleHandleW(nullptr), nullptr);
    if (!c.hwnd) {
        return false;
    }
    index_control(c);
    c.page_window = page_window;
    if (row.prepare) {
        row.prepare(f, c);
    }
    if (f.building && f.def->defer_hidden_pages) {
        f.has_deferred = true; // after the first paint, as the hidden pages
    } else {
        attach_hooks(f, c);
    }
    return true;
}

// On a page after the first of a page container, or inside a control that is.
bool on_hidden_page(const Form& f, const ControlDef& d) {
    if (!d.parent) {
        return false;
    }
    auto parent = f.by_name.find(d.parent);
    if (parent == f.by_name.end()) {
        return false;
    }
    const Control& p = *parent->second;
    return p.deferred || (p.def->kind == ControlKind::PageContainer && d.page > 0);
}

} // namespace

void register_class(const wchar_t* name, WNDPROC proc, LPCWSTR cursor, HICON icon,
                    HICON small_icon) {
    WNDCLASSEXW existing{};
    existing.cbSize = sizeof(existing);
    HINSTANCE inst = GetModuleHandleW(nullptr);
    if (GetClassInfoExW(inst, name, &existing)) {
        return;
    }
    WNDCLASSEXW wc{};
    wc.cbSize = sizeof(wc);
    wc.lpfnWndProc = proc;
    wc.hInstance = inst;
    wc.hIcon = icon;
    wc.hIconSm = small_icon;
    wc.hCursor = LoadCursorW(nullptr, cursor);
    wc.lpszClassName = name;
    RegisterClassExW(&wc);
}

Control* find_control(HWND form, std::string_view name) {
    Form* f = form_of(form);
    if (!f) {
        return nullptr; // the form is gone: nothing left to change
    }
    auto it = f->by_name.find(name);
    if (it == f->by_name.end()) {
        report_unknown_control(*f, name);
        return nullptr;
    }
    if (it->second->deferred && !f->building) {
        create_deferred_controls(form);
        it = f->by_name.find(name); // gone if it could not be created
        return it == f->by_name.end() ? nullptr : it->second;
    }
    return it->second;
}

void report_unknown_control(const Form& f, std::string_view name) {
    // A misspelt name would otherwise do nothing, silently.
    const std::wstring message = L"Tarnix: form \"" +
                                 widen(gbk(f.def->caption ? f.def->caption : "")) +
                                 L"\" has no control \"" + widen(gbk(name)) + L"\"\n";
    OutputDebugStringW(message.c_str());
#ifndef NDEBUG
    std::abort();
#endif
}

int dpi_of(const Control& c) {
    const Form* f = form_of(c.form);
    return f ? f->dpi : kDesignDpi;
}

int scaled(const Control& c, int design) {
    return scale_to(design, dpi_of(c));
}

RECT placed_bounds(const Control& c) {
    // Edges are scaled, not sizes: controls that meet in the design still meet.
    const int dpi = dpi_of(c);
    return {scale_to(c.design.left, dpi), scale_to(c.design.top, dpi),
            scale_to(c.design.left + c.design.width, dpi),
            scale_to(c.design.top + c.design.height, dpi)};
}

void place(const Control& c) {
    if (!c.hwnd) {
        return;
    }
    const RECT r = placed_bounds(c);
    SetWindowPos(c.hwnd, nullptr, r.left, r.top, r.right - r.left, r.bottom - r.top,
                 SWP_NOZORDER | SWP_NOACTIVATE);
    for (HWND page : c.pages) {
        SetWindowPos(page, nullptr, 0, 0, r.right - r.left, r.bottom - r.top,
                     SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE);
    }
}

COLORREF background_of(HWND window) {
    if (high_contrast()) {
        return contrast_background(window);
    }
    for (HWND w = window; w; w = GetParent(w)) {
        if (Control* c = control_of_window(w)) {
            if (c->back != kNoColor && c->def->kind != ControlKind::TransparentLabel) {
                return c->back;
            }
        }
        if (Form* f = form_of(w)) {
            return f->def->back;
        }
    }
    return kWhite;
}

void fire(Control& c, Event event) {
    // Handlers are copied: one may rebind or destroy the form.
    std::vector<std::function<void()>> handlers = c.handlers[static_cast<int>(event)];
    for (auto& h : handlers) {
        try {
            if (h) {
                h();
            }
        } catch (...) {
            // No exception may leave a window procedure.
        }
    }
}

} // namespace detail

using namespace detail;

HWND build_form(const FormDef& def) {
    register_control_classes();
    // Both sizes from the icon file: given the large one alone, the system
    // scales it down itself, which took longer than loading the small one.
    HINSTANCE inst = GetModuleHandleW(nullptr);
    HICON icon = LoadIconW(inst, MAKEINTRESOURCEW(IDI_TARNIX));
    auto* small_icon = static_cast<HICON>(LoadImageW(inst, MAKEINTRESOURCEW(IDI_TARNIX), IMAGE_ICON,
                                                     GetSystemMetrics(SM_CXSMICON),
                                                     GetSystemMetrics(SM_CYSMICON), LR_SHARED));
    register_class(def.class_name, form_proc, MAKEINTRESOURCEW(32512), icon, small_icon);
    // Borderless, minimisable from the taskbar, no maximise box.
    HWND hwnd = CreateWindowExW(kFormExStyle, def.class_name,
                                widen(gbk(def.caption ? def.caption : "")).c_str(), kFormStyle, 50,
                                50, def.width, def.height, nullptr, nullptr,
                                GetModuleHandleW(nullptr), nullptr);
    if (!hwnd) {
        return nullptr;
    }
    auto* f = new Form();
    f->def = &def;
    f->hwnd = hwnd;
    f->dpi = window_dpi(hwnd);
    f->building = true;
    index_form(hwnd, f);
    set_form_size(hwnd, def.width, def.height);
    for (const ControlDef& d : def.controls) {
        auto c = std::make_unique<Control>();
        c->def = &d;
        c->form = hwnd;
        Control* raw = c.get();
        f->controls.push_back(std::move(c));
        if (def.defer_hidden_pages && on_hidden_page(*f, d)) {
            raw->deferred = true;
            f->has_deferred = true;
            f->by_name[d.name] = raw;
        } else if (create_control(*f, *raw)) {
            f->by_name[d.name] = raw;
        } else {
            OutputDebugStringW(L"Tarnix: a control of the layout table could not be created\n");
        }
    }
    for (const Binding& b : def.bindings) {
        bind_event(hwnd, b.control, b.event, b.handler);
    }
    f->building = false;
    track_top_level_window(hwnd);
    return hwnd;
}

void create_deferred_controls(HWND form) {
    Form* f = form_of(form);
    if (!f || !f->has_deferred) {
        return;
    }
    f->has_deferred = false;
    for (auto& c : f->controls) {
        if (!c->deferred) {
            if (c->hwnd) {
                attach_hooks(*f, *c); // built before the first paint, without them
            }
            continue;
        }
        c->deferred = false;
        if (!create_control(*f, *c)) {
            f->by_name.erase(c->def->name);
            OutputDebugStringW(L"Tarnix: a control of the layout table could not be created\n");
        }
    }
}

void bind_event(HWND form, std::string_view name, Event event, std::function<void()> handler) {
    run_on_ui_thread([&] {
        if (Control* c = find_control(form, name)) {
            c->handlers[static_cast<int>(event)].push_back(std::move(handler));
        }
    });
}

void fire_event(HWND form, std::string_view name, Event event) {
    run_on_ui_thread([&] {
        Control* c = find_control(form, name);
        if (!c) {
            return;
        }
        if (event == Event::Clicked && c->hwnd) {
            button_click(*c);
        } else {
            fire(*c, event);
        }
    });
}

void bind_underline_focus(HWND form, COLORREF focused, COLORREF unfocused) {
    Form* f = form_of(form);
    if (!f) {
        return;
    }
    const std::vector<ControlDef>& controls = f->def->controls;
    for (const ControlDef& d : controls) {
        if (d.kind != ControlKind::Edit || !d.parent) {
            continue;
        }
        auto frame = std::find_if(controls.begin(), controls.end(), [&](const ControlDef& p) {
            return strcmp(p.name, d.parent) == 0 && p.kind == ControlKind::PictureBox;
        });
        if (frame == controls.end()) {
            continue;
        }
        std::string frame_name = frame->name;
        bind_event(form, d.name, Event::GainsFocus,
                   [form, frame_name, focused] { set_back_color(form, frame_name, focused); });
        bind_event(form, d.name, Event::LosesFocus,
                   [form, frame_name, unfocused] { set_back_color(form, frame_name, unfocused); });
    }
}

const FormDef* form_def(HWND form) {
    const Form* f = form_of(form);
    return f ? f->def : nullptr;
}

int form_dpi(HWND form) {
    const Form* f = form_of(form);
    return f ? f->dpi : kDesignDpi;
}

void set_form_size(HWND form, int width, int height) {
    run_on_ui_thread([&] {
        if (const Form* f = form_of(form)) {
            const SIZE size =
                window_size_for_client(scale_to(width, f->dpi), scale_to(height, f->dpi),
                                       kFormStyle, kFormExStyle, f->dpi);
            SetWindowPos(form, nullptr, 0, 0, size.cx, size.cy,
                         SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE);
        }
    });
}

void center_on_screen(HWND window) {
    RECT r;
    GetWindowRect(window, &r);
    RECT work;
    SystemParametersInfoW(SPI_GETWORKAREA, 0, &work, 0);
    int w = r.right - r.left;
    int h = r.bottom - r.top;
    SetWindowPos(window, nullptr, work.left + (work.right - work.left - w) / 2,
                 work.top + (work.bottom - work.top - h) / 2, 0, 0,
                 SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);
}

} // namespace ui
