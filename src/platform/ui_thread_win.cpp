#include "platform/ui_thread_win.h"

#include <atomic>
#include <memory>

namespace ui {
namespace {

constexpr UINT kRunTask = WM_APP + 0x100;  // lParam: const std::function<void()>*
constexpr UINT kPostTask = WM_APP + 0x101; // lParam: std::function<void()>* (owned)

// The route: a message-only window on the UI thread that runs the tasks other
// threads hand it. One per process.
struct Route {
    HWND task_window = nullptr;
    DWORD ui_thread_id = 0;
    std::atomic<bool> shutting_down{false};
};

Route& route() {
    static Route r;
    return r;
}

LRESULT CALLBACK task_window_proc(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp) {
    switch (msg) {
    case kRunTask:
        (*reinterpret_cast<const std::function<void()>*>(lp))();
        return 0;
    case kPostTask: {
        std::unique_ptr<std::function<void()>> task(reinterpret_cast<std::function<void()>*>(lp));
        (*task)();
        return 0;
    }
    default:
        return DefWindowProcW(hwnd, msg, wp, lp);
    }
}

} // namespace

void init_ui_thread() {
    if (route().task_window) {
        return;
    }
    route().ui_thread_id = GetCurrentThreadId();
    WNDCLASSW wc{};
    wc.lpfnWndProc = task_window_proc;
    wc.hInstance = GetModuleHandleW(nullptr);
    wc.lpszClassName = L"TarnixUiTasks";
    RegisterClassW(&wc);
    route().task_window = CreateWindowExW(0, wc.lpszClassName, L"", 0, 0, 0, 0, 0, HWND_MESSAGE,
                                          nullptr, wc.hInstance, nullptr);
}

bool on_ui_thread() {
    return route().ui_thread_id == 0 || GetCurrentThreadId() == route().ui_thread_id;
}

void run_on_ui_thread(const std::function<void()>& task) {
    if (on_ui_thread()) {
        task();
        return;
    }
    if (route().shutting_down.load() || !route().task_window) {
        return;
    }
    SendMessageW(route().task_window, kRunTask, 0, reinterpret_cast<LPARAM>(&task));
}

void post_to_ui_thread(std::function<void()> task) {
    if (!route().task_window) {
        return;
    }
    auto* owned = new std::function<void()>(std::move(task));
    if (!PostMessageW(route().task_window, kPostTask, 0, reinterpret_cast<LPARAM>(owned))) {
        delete owned;
    }
}

void begin_shutdown() {
    route().shutting_down.store(true);
}

bool shutting_down() {
    return route().shutting_down.load();
}

} // namespace ui
