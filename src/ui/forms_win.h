#pragma once

#include <windows.h>

#include <functional>
#include <string_view>
#include <vector>

// Forms built from data. A form (a top-level window) is described by a FormDef:
// its caption, size, a table of controls and a table of event bindings. One
// builder turns it into real windows; from then on its controls are reached by
// form + name through the properties of controls_win.h.
namespace ui {

// "No colour": the control keeps the default of its kind (or its parent's).
inline constexpr COLORREF kNoColor = CLR_INVALID;

enum class ControlKind {
    PictureBox,       // colour fill, optional PNG or animated GIF; clips its children
    TransparentLabel, // text over its parent's background
    Label,            // text on its own background (white unless given)
    Edit,             // single line, password, or multi-line read-only
    SuperButton,      // flat owner-drawn button, optionally a checkbox
    Hyperlink,        // link-styled text; a click opens nothing
    Timer,            // no window: a SetTimer id on the form
    PageContainer,    // pages switched only by the program, no headers
    ProgressBar,      // range 0..1000
};

enum ControlFlags : unsigned {
    kHidden = 1u << 0,
    kDisabled = 1u << 1,
    kPassword = 1u << 2,     // edit: a dot per character
    kMultiLine = 1u << 3,    // edit: several lines, vertical scroll
    kReadOnly = 1u << 4,     // edit
    kCheckBox = 1u << 5,     // super button: keeps a checked state
    kActionButton = 1u << 6, // super button: Enter in an edit box of its page presses it
    kCentered = 1u << 7,     // label: text centred horizontally
    kRightAligned = 1u << 8, // label: text against the right edge
};

struct FontDef {
    const char* face = nullptr; // UTF-8; null: the default UI font
    int height = -12;           // pixels at 96 DPI (negative: character height)
    int weight = 400;
};

// Colours and font of a control. Buttons use all three colour pairs; other
// kinds only the normal pair.
struct Look {
    COLORREF fore = kNoColor;
    COLORREF back = kNoColor;
    COLORREF hover_fore = kNoColor;
    COLORREF hover_back = kNoColor;
    COLORREF focus_fore = kNoColor;
    COLORREF focus_back = kNoColor;
    FontDef font{};
};

// One row of a form's control table.
struct ControlDef {
    const char* name; // UTF-8, as in the layout tables
    ControlKind kind;
    const char* parent; // name of the parent control; null: the form itself
    int page;           // page of the parent page container; -1 otherwise
    int left, top, width, height;
    const char* text = nullptr;    // UTF-8 caption or initial content
    const Look* look = nullptr;    // null: the defaults of the kind
    unsigned flags = 0;            // ControlFlags
    int limit = 0;                 // edit: most GBK bytes the user can enter; 0 = none
    int tab = -1;                  // edit: tab order within its page
    const char* tooltip = nullptr; // UTF-8
    int image = 0;                 // picture box: resource id of its picture (res/resource.h)
};

enum class Event { Clicked, GainsFocus, LosesFocus, Tick, Changed };

// One row of a form's event-binding table.
struct Binding {
    const char* control; // UTF-8 name
    Event event;
    std::function<void()> handler;
};

struct FormDef {
    const wchar_t* class_name; // window class (tests find the form by it)
    const char* caption;       // UTF-8
    int width, height;         // design size
    COLORREF back = RGB(255, 255, 255);
    std::vector<ControlDef> controls{};
    std::vector<Binding> bindings{};
    // Runs on WM_CLOSE; null: the window is destroyed.
    void (*on_close)(HWND form) = nullptr;
    // Runs on WM_DESTROY, before the controls go.
    void (*on_destroy)(HWND form) = nullptr;
    // The controls on the pages after the first of each page container (and
    // their children), and the other controls' keyboard, screen-reader and
    // tooltip hooks, are left to create_deferred_controls, which runs by
    // itself as soon as one of those controls is looked up: the form shows
    // sooner.
    bool defer_hidden_pages = false;
};

// Creates the form hidden at its design size, with every control of the table,
// binds its events and registers it as a top-level window of the program. The
// FormDef must outlive the window. Returns null on failure.
// Every length of a FormDef (sizes, positions, font heights) is designed at
// 96 DPI: the form is built at the DPI of its display and follows WM_DPICHANGED.
// The properties of controls_win.h read and set bounds in the same design units.
HWND build_form(const FormDef& def);

// The description the form was built from (null once it is gone).
const FormDef* form_def(HWND form);

// The DPI the form's lengths are shown at.
int form_dpi(HWND form);

// Gives the form a client area of width x height (design units).
void set_form_size(HWND form, int width, int height);

// Shows the form without any repainting, then paints it once, the form drawing
// all its visible controls itself; they stay visible throughout and are left
// with nothing to paint. Under some systems a child window's own first paint
// costs far more than drawing it (about 2 ms each under Wine, half of the time
// to the first paint).
void show_form(HWND form);

// Creates the controls that build_form deferred (see FormDef::defer_hidden_pages);
// nothing when there are none.
void create_deferred_controls(HWND form);

// Adds a handler at run time, after the ones of the binding table.
void bind_event(HWND form, std::string_view name, Event event, std::function<void()> handler);

// Runs the `event` handlers bound to control `name` of `form`, as a user's
// action would (a click on a disabled or hidden button does nothing).
void fire_event(HWND form, std::string_view name, Event event);

// Binds, for every edit box of `form` whose parent is a picture box, the
// handlers that colour that underline frame: `focused` while the box has the
// keyboard focus, `unfocused` otherwise.
void bind_underline_focus(HWND form, COLORREF focused, COLORREF unfocused);

// Centres a top-level window in the work area.
void center_on_screen(HWND window);

} // namespace ui
