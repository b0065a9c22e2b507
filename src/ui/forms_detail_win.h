#pragma once

// Inside of the control layer, shared by the builder (forms_win.cpp) and the
// properties (controls_win.cpp). Everything here is touched on the UI thread only.

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

// A PNG or GIF from the program's resources. GDI+ reads the stream lazily, so
// the stream lives exactly as long as the image.
struct Picture {
    IStream* stream = nullptr;
    Gdiplus::Image* image = nullptr;
    unsigned frames = 1;
    std::vector<unsigned> delays_ms; // per frame, for animations
    unsigned frame = 0;
    unsigned loop_count = 0; // 0 = forever
    unsigned loops_done = 0;
    ~Picture();
};

struct Control {
    const ControlDef* def = nullptr;
    HWND form = nullptr;
    HWND hwnd = nullptr; // null for timers
    COLORREF back = kNoColor;
    COLORREF fore = kNoColor;
    bool checked = false;
    bool hover = false;
    bool pressed = false;
    unsigned interval = 0;      // timers
    UINT_PTR timer_id = 0;      // timers: id on the form
    int current_page = 0;       // page containers
    std::vector<HWND> pages;    // page containers
    HWND page_window = nullptr; // the page (or form) whose edit boxes Tab cycles through
    std::unique_ptr<Picture> picture;
    std::vector<std::function<void()>> handlers[5];
};

struct Form {
    const FormDef* def = nullptr;
    HWND hwnd = nullptr;
    HWND tooltip = nullptr;
    std::vector<std::unique_ptr<Control>> controls;
    std::map<std::string, Control*, std::less<>> by_name;
    std::map<UINT_PTR, Control*> timers;
};

Form* form_of(HWND form);
Control* find_control(HWND form, std::string_view name);
Control* control_of_window(HWND window);

// The colour a control's area shows behind text: its own back colour, or the
// nearest ancestor's, or the form's.
COLORREF background_of(HWND window);

void fire(Control& c, Event event);

} // namespace ui::detail
