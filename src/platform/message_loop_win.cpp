#include "platform/message_loop_win.h"

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
    LARGE_INTEGER due;
    due.QuadPart = pump_due_time(amount, unit);
    HANDLE timer = CreateWaitableTimerA(nullptr, FALSE, nullptr);
    if (!timer) {
        return true;
    }
    SetWaitableTimer(timer, &due, 0, nullptr, nullptr, FALSE);
    for (;;) {
        DWORD r = MsgWaitForMultipleObjects(1, &timer, FALSE, INFINITE, 0xFF);
        if (r == WAIT_OBJECT_0) {
            break;
        }
        if (r == WAIT_FAILED || !process_pending_messages()) {
            break; // the program is ending
        }
    }
    CloseHandle(timer);
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
