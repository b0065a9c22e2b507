#include "platform/message_loop_win.h"

#include "platform/handles_win.h"
#include "platform/pump_delay.h"

#include <algorithm>

namespace {
// The mark of a top-level window of the program: the windows carry it, so no
// list is kept beside them.
constexpr wchar_t kTopLevelProp[] = L"TarnixTopLevel";

BOOL CALLBACK find_marked(HWND window, LPARAM found) {
    if (GetPropW(window, kTopLevelProp)) {
        *reinterpret_cast<bool*>(found) = true;
        return FALSE;
    }
    return TRUE;
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
    SetPropW(window, kTopLevelProp, reinterpret_cast<HANDLE>(1));
}

void untrack_top_level_window(HWND window) {
    if (!RemovePropW(window, kTopLevelProp)) {
        return;
    }
    bool another = false;
    EnumThreadWindows(GetCurrentThreadId(), find_marked, reinterpret_cast<LPARAM>(&another));
    if (!another) {
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
