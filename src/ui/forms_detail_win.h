#pragma once

// Inside of the control layer, shared by the builder (forms_win.cpp), the
// table of control kinds (control_kinds_win.cpp), one file per kind's window
// procedure, and the properties (controls_win.cpp). Everything here is touched
// on the UI thread only.

#include "platform/handles_win.h"
#include "ui/controls_win.h"
#include "platform/dpi_win.h"
#include "ui/forms_win.h"

#include <objidl.h>

#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

namespace Gdiplus {
class Image;
}

namespace ui::detail {

// A picture's first frame at one size: a bitmap made with the artwork, kept
// as a 32-bit top-down DIB section with premultiplied alpha (null if absent).
struct FirstFrame {
    platform::GdiObject bitmap;
    const void* bits = nullptr;
    int width = 0;
    int height = 0;
};

// A GIF's frames as GDI+ decodes them. GDI+ reads the stream lazily, so the
// stream lives exactly as long as the image.
struct Animation {
    IStream* stream = nullptr;
    Gdiplus::Image* image = nullptr;
    unsigned frames = 1;
    std::vector<unsigned> delays_ms; // per frame
    unsigned loop_count = 0;         // 0 = forever
    ~Animation();
};

// A picture from the program's resources. Its first frame is drawn from the
// bitmaps; an animation's other frames once GDI+ has decoded them, which it
// does after the window's first paint. The variants at twice the size are
// loaded when a display scale above 100 % first needs them.
struct Picture {
    int resource = 0;
    FirstFrame first;
    FirstFrame first_large;
    bool first_large_loaded = false;
    std::unique_ptr<Animation> animation; // null for a still picture, or until decoded
    std::unique_ptr<Animation> animation_large;
    bool animation_large_loaded = false;
    unsigned frame = 0;
    unsigned loops_done = 0;
};

struct Control {
    const ControlDef* def = nullptr;
    HWND form = nullptr;
    HWND hwnd = nullptr; // null for timers
    Bounds design{};     // position and size at 96 DPI, in the parent
    COLORREF back = kNoColor;
    COLORREF fore = kNoColor;
    bool checked = false;
    bool hover = false;
    bool pressed = false;
    unsigned interval = 0;      // timers
    UINT_PTR timer_id = 0;      // timers: id on the form
    int current_page = 0;       // page containers
    std::vector<HWND> pages;    // page containers
    HWND page_window = nullptr; // the page (or form) the control belongs to (Tab, Enter)
    std::unique_ptr<Picture> picture;
    std::vector<std::function<void()>> handlers[5];
    bool deferred = false; // not created yet (FormDef::defer_hidden_pages)
};

struct Form {
    const FormDef* def = nullptr;
    HWND hwnd = nullptr;
    HWND tooltip = nullptr;
    int dpi = kDesignDpi; // the DPI its lengths are shown at
    std::vector<std::unique_ptr<Control>> controls;
    std::map<std::string, Control*, std::less<>> by_name;
    std::map<UINT_PTR, Control*> timers;
    bool focus_cues = false;   // a key moved the focus: the focused control shows it
    bool building = false;     // inside build_form
    bool has_deferred = false; // controls left to create_deferred_controls
    bool first_frame = false;  // show_form is painting: the form draws its controls
};

inline constexpr UINT_PTR kAnimationTimer = 1;
inline constexpr UINT_PTR kFirstFormTimer = 100;
inline constexpr COLORREF kWhite = RGB(255, 255, 255);
inline constexpr COLORREF kBlack = RGB(0, 0, 0);
inline constexpr COLORREF kGreyText = RGB(160, 160, 160);

// One row of the table of control kinds: the window class a kind is made of
// (null: no window, a timer), its procedure (null: a system class), the styles
// it adds, and what it sets up once its window exists.
struct KindRow {
    ControlKind kind;
    const wchar_t* window_class;
    WNDPROC proc;
    DWORD ex_style;
    DWORD (*style)(const ControlDef& def);         // null: none added
    void (*prepare)(Form& form, Control& control); // null: nothing
};
const KindRow& kind_row(ControlKind kind);
void register_class(const wchar_t* name, WNDPROC proc, LPCWSTR cursor = MAKEINTRESOURCEW(32512),
                    HICON icon = nullptr, HICON small_icon = nullptr);

// GDI objects (gdi_cache_win.cpp): fonts and brushes live for the whole run, a
// handful of each, shared by every form.
HFONT cached_font(const std::wstring& face, int height, int weight, BYTE charset);
// Fonts are designed at 96 DPI and made for `dpi`.
HFONT font_of(const FontDef& def, int dpi);
HFONT font_of(const Control& c);
bool font_installed(const wchar_t* face);
HBRUSH brush(COLORREF color);
// An underlined twin of `font`.
HFONT underlined_font(HFONT font);
COLORREF or_default(COLORREF c, COLORREF fallback);

// Painting shared by the kinds (paint_win.cpp).
struct BufferedPaint {
    HWND hwnd;
    bool printing;
    PAINTSTRUCT ps{};
    HDC window_dc = nullptr;
    HDC dc = nullptr;
    platform::GdiObject bmp;
    HGDIOBJ old = nullptr;
    RECT rc{};
    // With `print_dc` (WM_PRINTCLIENT), into that DC instead of the window;
    // straight into it if it is a memory DC (a buffer already, as the first
    // frame's is), unless `own_buffer`.
    explicit BufferedPaint(HWND h, HDC print_dc = nullptr, bool own_buffer = false);
    ~BufferedPaint();
    BufferedPaint(const BufferedPaint&) = delete;
    BufferedPaint& operator=(const BufferedPaint&) = delete;
};
// The DC a WM_PAINT or WM_PRINTCLIENT paints into: null for the window's own.
inline HDC print_target(UINT msg, WPARAM wp) {
    return msg == WM_PRINTCLIENT ? reinterpret_cast<HDC>(wp) : nullptr;
}
void paint_own_background(HWND window, HDC dc, int dx, int dy);
void paint_parent_background(HWND child, HDC dc);
std::wstring window_text(HWND hwnd);
void draw_text(HDC dc, const Control& c, RECT rc, COLORREF color, UINT align,
               bool underline = false);
void drag_form(HWND any);
// WM_SETTEXT of a control that paints its own text.
LRESULT set_text_and_repaint(HWND hwnd, WPARAM wp, LPARAM lp);
// The pointer entered (true; asks for the leave notice) or left the control.
void set_hover(Control& c, bool hover);
// The form's first frame, its controls drawn into it (first_frame_win.cpp).
void paint_first_frame(Form& f);
// Messages every container (form, picture box, page) answers alike: edit
// notifications become events, edit and static colours, dragging.
bool container_message(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp, LRESULT& result);

// The kinds (one file each).
LRESULT CALLBACK picture_proc(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp);
void prepare_picture(Form& f, Control& c);
// Draws the picture at its size scaled to `dpi`, with high-quality interpolation.
void draw_picture(Picture& pic, HDC dc, int x, int y, int dpi);
LRESULT CALLBACK label_proc(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp);
LRESULT CALLBACK button_proc(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp);
// A click as the user makes it: nothing on a disabled or hidden button.
void button_click(Control& c);
DWORD edit_style(const ControlDef& def);
void prepare_edit(Form& f, Control& c);
// The edit box's font and margins for its form's DPI.
void apply_edit_font(Control& c);
LRESULT CALLBACK pages_proc(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp);
void prepare_pages(Form& f, Control& c);

// The form or control a window of ours is, or null (window_index_win.cpp).
Form* form_of(HWND form);
Control* control_of_window(HWND window);
void index_form(HWND hwnd, Form* f);
void index_control(Control& c);
// The form's window is going: neither it nor its controls are found any more.
void unindex_form(HWND hwnd, const Form& f);
// The control `name` of `form`; null when the form is gone, and also when it has
// no such control, which is reported as a mistake (report_unknown_control).
Control* find_control(HWND form, std::string_view name);
// Debug builds stop; release builds say so with OutputDebugStringW.
void report_unknown_control(const Form& f, std::string_view name);

// The DPI of the control's form; a length of the design in pixels there.
int dpi_of(const Control& c);
int scaled(const Control& c, int design);
// The control's design bounds at its form's DPI, in its parent; place() moves
// its window there.
RECT placed_bounds(const Control& c);
void place(const Control& c);

// The colour a control's area shows behind text: its own back colour, or the
// nearest ancestor's, or the form's.
COLORREF background_of(HWND window);

void fire(Control& c, Event event);

} // namespace ui::detail
