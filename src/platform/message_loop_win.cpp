#include "platform/message_loop_win.h"

#include "platform/handles_win.h"
#include "platform/pump_delay.h"

#include <algorithm>
#include <vector>

namespace {
// Touched on the UI thread only.
std::vector<HWND>& top_level_windows() {
    static std::vector<HWND> windows;
    return windows;
}
} // namespace

bool process_pending_messages() {
    MSG msg;
    while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
        if (msg.message == WM_QUIT) {
            PostQuitMessage(static_cast<int>(msg.wParam));
            return false;
        }
        TranslateMessage(&msg);
        DispatchMessageW(&msg);
    }
    return true;
}

bool pump_delay(int32_t amount, int32_t unit) {
    const int64_t due = pump_due_time(amount, unit);
    // A positive due time is an absolute time, long past: no wait.
    const ULONGLONG wait_ms = due < 0 ? static_cast<ULONGLONG>(-(due / 10000)) : 0;
    const ULONGLONG deadline = GetTickCount64() + wait_ms;
    // The clock bounds the wait as well, so a timer that cannot be had never
    // turns the delay into an immediate return (and its callers into a spin).
    platform::UniqueHandle timer(CreateWaitableTimerA(nullptr, FALSE, nullptr));
    LARGE_INTEGER due_time;
    due_time.QuadPart = due;
    if (timer && !SetWaitableTimer(timer.get(), &due_time, 0, nullptr, nullptr, FALSE)) {
        timer.reset();
    }
    HANDLE handle = timer.get();
    // A WM_QUIT met meanwhile is held back and posted again at the end: posted
    // at once it would wake every wait at once.
    bool quit = false;
    WPARAM quit_code = 0;
    for (;;) {
        const ULONGLONG now = GetTickCount64();
        if (now >= deadline) {
            break;
        }
        const DWORD slice = static_cast<DWORD>(std::min<ULONGLONG>(deadline - now, 0x7FFFFFFF));
        const DWORD r = MsgWaitForMultipleObjects(handle ? 1 : 0, handle ? &handle : nullptr, FALSE,
                                                  slice, 0xFF);
        if ((handle && r == WAIT_OBJECT_0) || r == WAIT_FAILED) {
            break;
        }
        MSG msg;
        while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
            if (msg.message == WM_QUIT) {
                quit = true;
                quit_code = msg.wParam;
                continue;
            }
            TranslateMessage(&msg);
            DispatchMessageW(&msg);
        }
    }
    if (quit) {
        PostQuitMessage(static_cast<int>(quit_code));
    }
    return true;
}

void track_top_level_window(HWND window) {
    top_level_windows().push_back(window);
}

void untrack_top_level_window(HWND window) {
    std::vector<HWND>& windows = top_level_windows();
    auto it = std::find(windows.begin(), windows.end(), window);
    if (it == windows.end()) {
        return;
    }
    windows.erase(it);
    if (windows.empty()) {
        PostQuitMessage(0);
    }
}

int run_message_loop() {
    MSG msg;
    while (GetMessageW(&msg, nullptr, 0, 0) > 0) {
        TranslateMessage(&msg);
        DispatchMessageW(&msg);
    }
    return static_cast<int>(msg.wParam);
}
