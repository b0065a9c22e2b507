#pragma once

#include "support/window_finder_win.h"

#include <windows.h>

#include <string>
#include <vector>

// Helpers for tests that start a program as a user would and watch it from outside.
namespace testsupport {

// A path from the build (a Unix path under Wine) as Windows sees it.
std::string windows_path(const std::string& path);

// How long a started program may take to show its main window, and to end once
// closed. Waits poll, so these cost nothing on a quiet machine; under Wine on a busy
// one (a build beside the tests) a start took over 20 s.
constexpr DWORD kProgramStartMs = 60000;
constexpr DWORD kProgramExitMs = 30000;

struct Process {
    HANDLE handle = nullptr;
    DWORD id = 0;
    ~Process();
    // Exit code once the process ended within `timeout_ms`; -1 otherwise.
    long wait_exit(DWORD timeout_ms);
};

// Starts `exe` (with `working_dir` as its current directory when given).
bool start_process(const std::string& exe, Process& out, const std::string& working_dir = "");

// Starts `exe` with `args` (each quoted) on its command line.
bool start_process_with_args(const std::string& exe, const std::vector<std::string>& args,
                             Process& out, const std::string& working_dir = "");

// Polls `condition` every 20 ms (processing messages) until true or timed out.
template <typename F> bool wait_until(F condition, DWORD timeout_ms) {
    DWORD start = GetTickCount();
    for (;;) {
        if (condition()) {
            return true;
        }
        if (GetTickCount() - start >= timeout_ms) {
            return false;
        }
        MSG msg;
        while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
            TranslateMessage(&msg);
            DispatchMessageW(&msg);
        }
        Sleep(20);
    }
}

// Saves the screen (the Xvfb root window under Wine) as a PNG named `name` in
// build/screenshots/, and returns the file's path (empty on failure).
std::string save_screenshot(const std::string& name);

} // namespace testsupport
