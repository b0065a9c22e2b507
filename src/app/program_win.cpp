#include "app/program_win.h"

#include "app/app_state.h"
#include "app/pump_delay.h"
#include "ui/main_window_win.h"
#include "ui/ui_thread_win.h"
#include "update/downloader_win.h"

#include <commctrl.h>

#include <objidl.h>
#include <gdiplus.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <vector>

namespace {
std::vector<HWND> g_top_level_windows;
std::atomic<bool> g_exit_routine_ran{false};
std::vector<void (*)()> g_exit_steps;

// The program's state lives in a heap object that the exit routine releases
// explicitly, so the release order is ours and not the C runtime's.
AppState* g_state = nullptr;

void exit_routine_at_exit() {
    exit_routine();
}
} // namespace

AppState& app() {
    if (!g_state) {
        g_state = new AppState();
    }
    return *g_state;
}

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

void start_program() {
    // The program file an update renamed aside while it ran.
    remove_replaced_program();
    app().download = new Downloader();
    std::atexit(exit_routine_at_exit);
    if (app().gdiplus_token == 0) {
        Gdiplus::GdiplusStartupInput input; // version 1, no callback, nothing suppressed
        ULONG_PTR token = 0;
        Gdiplus::GdiplusStartup(&token, &input, nullptr);
        app().gdiplus_token = token;
    }
}

void exit_routine() {
    if (g_exit_routine_ran.exchange(true)) {
        return;
    }
    // No control may be touched from another thread from here on.
    ui::begin_shutdown();
    if (!g_state) {
        return;
    }
    AppState& s = *g_state;
    // The download first: its threads may still read the state released below.
    if (s.download) {
        s.download->stop_task();
        delete s.download;
        s.download = nullptr;
    }
    s.download_params = DownloadTaskParams{};
    s.endpoint_url.clear();
    s.status_record.clear();
    s.stored_verification_code.clear();
    s.update_download_url.clear();
    s.local_update_file_path.clear();
    for (auto step : g_exit_steps) {
        step();
    }
}

void add_exit_step(void (*step)()) {
    g_exit_steps.push_back(step);
}

void end_program(int32_t exit_code) {
    if (!ui::on_ui_thread()) {
        // Hand the request to the UI thread and never return to the caller.
        ui::post_to_ui_thread([exit_code] { end_program(exit_code); });
        for (;;) {
            Sleep(INFINITE);
        }
    }
    exit_routine();
    ExitProcess(static_cast<UINT>(exit_code));
}

void track_top_level_window(HWND window) {
    g_top_level_windows.push_back(window);
}

void untrack_top_level_window(HWND window) {
    auto it = std::find(g_top_level_windows.begin(), g_top_level_windows.end(), window);
    if (it == g_top_level_windows.end()) {
        return;
    }
    g_top_level_windows.erase(it);
    if (g_top_level_windows.empty()) {
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

int run_program() {
    // 1. Runtime: common controls and the route by which threads reach the UI.
    INITCOMMONCONTROLSEX icc{sizeof(icc), ICC_STANDARD_CLASSES | ICC_PROGRESS_CLASS |
                                              ICC_BAR_CLASSES | ICC_TAB_CLASSES};
    InitCommonControlsEx(&icc);
    ui::init_ui_thread();
    // 2 to 4. Application-wide state, exit routine, GDI+.
    start_program();
    // 5. The main window; its creation handler runs while it loads.
    load_main_window();
    // 6. Until end_program is called or the last window is gone.
    end_program(run_message_loop());
}
