#pragma once

#include <windows.h>

#include <string>
#include <string_view>

// The control layer. A control is addressed by its form (the top-level window
// that holds it) and its name, exactly as in the layout tables ("按钮_登录";
// names are UTF-8 in the source). Controls are changed only through these
// properties. Every function may be called from any thread: a call made on
// another thread is carried out on the UI thread (ui::run_on_ui_thread) and
// waits for it. Texts are GBK byte strings.
namespace ui {

// Position in the parent and size, in design units (96 DPI; see forms_win.h).
struct Bounds {
    int left = 0;
    int top = 0;
    int width = 0;
    int height = 0;
};

// A name that matches no control of an existing form is a mistake: debug builds
// stop, release builds report it with OutputDebugStringW and do nothing.

// The child window of a control (null for timers and unknown names). Tests use
// it to send messages as a user's input would.
HWND control(HWND form, std::string_view name);

// Whether `form` has a control named `name` (never reported as a mistake).
bool has_control(HWND form, std::string_view name);

Bounds bounds(HWND form, std::string_view name);
void set_bounds(HWND form, std::string_view name, const Bounds& b);
int left(HWND form, std::string_view name);
void set_left(HWND form, std::string_view name, int left);
int width(HWND form, std::string_view name);
void set_width(HWND form, std::string_view name, int width);

bool visible(HWND form, std::string_view name);
void set_visible(HWND form, std::string_view name, bool visible);

bool disabled(HWND form, std::string_view name);
void set_disabled(HWND form, std::string_view name, bool disabled);

COLORREF back_color(HWND form, std::string_view name);
void set_back_color(HWND form, std::string_view name, COLORREF color);

// Caption of a label or button, content of an edit box.
std::string text(HWND form, std::string_view name);
void set_text(HWND form, std::string_view name, std::string_view gbk_text);

bool checked(HWND form, std::string_view name);
void set_checked(HWND form, std::string_view name, bool checked);

// Timer interval in milliseconds; 0 = stopped.
unsigned interval(HWND form, std::string_view name);
void set_interval(HWND form, std::string_view name, unsigned ms);

// Current page of a page container.
int page(HWND form, std::string_view name);
void set_page(HWND form, std::string_view name, int page);

// Position of a progress bar.
int progress(HWND form, std::string_view name);
void set_progress(HWND form, std::string_view name, int position);

// The form window's position state: 2 = minimised (the only state set).
void set_window_state(HWND form, int state);

} // namespace ui
