#include "app/program_win.h"

#include "app/app_state.h"
#include "app/composition_win.h"
#include "platform/ui_thread_win.h"
#include "update/download_file_win.h"
#include "update/downloader_win.h"
#include "update/update_state.h"

#include <objidl.h>
#include <gdiplus.h>

#include <atomic>
#include <cstdlib>
#include <vector>

namespace {
// The exit routine's own state: whether it ran, and the steps added to it.
struct ExitRoutine {
    std::atomic<bool> ran{false};
    std::vector<void (*)()> steps;
};

ExitRoutine& exit_state() {
    static ExitRoutine e;
    return e;
}

void exit_routine_at_exit() {
    exit_routine();
}

} // namespace

void remove_replaced_program() {
    std::vector<wchar_t> path(32768);
    DWORD n = GetModuleFileNameW(nullptr, path.data(), static_cast<DWORD>(path.size()));
    if (n == 0 || n >= path.size()) {
        return;
    }
    part_file::remove_leftovers(std::wstring(path.data(), n));
}

void start_program() {
    // The program file an update renamed aside while it ran.
    remove_replaced_program();
    update_state().download = new Downloader();
    std::atexit(exit_routine_at_exit);
    if (app().gdiplus_token == 0) {
        Gdiplus::GdiplusStartupInput input; // version 1, no callback, nothing suppressed
        ULONG_PTR token = 0;
        Gdiplus::GdiplusStartup(&token, &input, nullptr);
        app().gdiplus_token = token;
    }
}

void exit_routine() {
    if (exit_state().ran.exchange(true)) {
        return;
    }
    // No control may be touched from another thread from here on.
    ui::begin_shutdown();
    // The download first: once stopped it no longer places its file, and its
    // threads read only their own copies of what the steps below release.
    UpdateState& u = update_state();
    if (u.download) {
        u.download->stop_task();
        delete u.download;
        u.download = nullptr;
    }
    u.download_params = DownloadTaskParams{};
    u.update_download_url.clear();
    u.local_update_file_path.clear();
    if (!app_state_created()) {
        return;
    }
    AppState& s = app();
    s.endpoint_url.clear();
    s.status_record.clear();
    s.stored_verification_code.clear();
    for (auto step : exit_state().steps) {
        step();
    }
}

void add_exit_step(void (*step)()) {
    exit_state().steps.push_back(step);
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

int run_program(const std::string& endpoint) {
    // The route by which threads reach the UI, before any window. (The common
    // controls are loaded when a form first needs them.)
    ui::init_ui_thread();
    // State, exit routine and GDI+ before the first window paints.
    start_program();
    // The main window; its creation handler (and the handshake) runs while it loads.
    if (!load_main_window(endpoint)) {
        // No window to close: nothing would ever end the message loop.
        end_program(1);
    }
    // Until end_program is called or the last window is gone.
    end_program(run_message_loop());
}
