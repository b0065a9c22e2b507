#include "ui/forms_detail_win.h"

#include <mutex>
#include <unordered_map>

// Which form or control a window is. Kept here rather than as window
// properties: painting asks this several times per control, and a property is
// a round trip to the window server on some systems (about 50 us each under
// Wine, where they made a fifth of the time to the first paint).

namespace ui::detail {

namespace {
struct WindowIndex {
    std::mutex mutex;
    std::unordered_map<HWND, Form*> forms;
    std::unordered_map<HWND, Control*> controls;
};

WindowIndex& window_index() {
    static WindowIndex index;
    return index;
}

template <typename T> T* look_up(std::unordered_map<HWND, T*>& map, HWND window) {
    if (!window) {
        return nullptr;
    }
    std::lock_guard<std::mutex> lock(window_index().mutex);
    auto it = map.find(window);
    return it == map.end() ? nullptr : it->second;
}

} // namespace

void index_form(HWND hwnd, Form* f) {
    std::lock_guard<std::mutex> lock(window_index().mutex);
    window_index().forms[hwnd] = f;
}

void index_control(Control& c) {
    std::lock_guard<std::mutex> lock(window_index().mutex);
    window_index().controls[c.hwnd] = &c;
}

void unindex_form(HWND hwnd, const Form& f) {
    std::lock_guard<std::mutex> lock(window_index().mutex);
    window_index().forms.erase(hwnd);
    for (const auto& c : f.controls) {
        if (c->hwnd) {
            window_index().controls.erase(c->hwnd);
        }
    }
}

Form* form_of(HWND form) {
    return look_up(window_index().forms, form);
}

Control* control_of_window(HWND window) {
    return look_up(window_index().controls, window);
}

} // namespace ui::detail
