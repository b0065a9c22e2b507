#include "app/program_win.h"
#include "support/process_win.h"

#include <gtest/gtest.h>

namespace {

constexpr UINT kPing = WM_APP + 7;
int g_pings = 0;

LRESULT CALLBACK ping_proc(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp) {
    if (msg == kPing) {
        ++g_pings;
        return 0;
    }
    return DefWindowProcW(hwnd, msg, wp, lp);
}

} // namespace

// The delay keeps the window alive: a message posted during the wait is handled
// before the delay returns, and the wait lasts about as long as asked.
TEST(PumpDelay, WaitsAndDispatchesMessages) {
    WNDCLASSW wc{};
    wc.lpfnWndProc = ping_proc;
    wc.hInstance = GetModuleHandleW(nullptr);
    wc.lpszClassName = L"PumpDelayTest";
    RegisterClassW(&wc);
    HWND w = CreateWindowExW(0, wc.lpszClassName, L"", 0, 0, 0, 0, 0, nullptr, nullptr,
                             wc.hInstance, nullptr);
    ASSERT_NE(w, nullptr);
    HANDLE poster = CreateThread(
        nullptr, 0,
        [](LPVOID p) -> DWORD {
            Sleep(150);
            PostMessageW(static_cast<HWND>(p), kPing, 0, 0);
            return 0;
        },
        w, 0, nullptr);
    DWORD start = GetTickCount();
    EXPECT_TRUE(pump_delay(500, 0));
    DWORD elapsed = GetTickCount() - start;
    EXPECT_GE(elapsed, 480u);
    EXPECT_LT(elapsed, 1500u);
    EXPECT_EQ(g_pings, 1);
    WaitForSingleObject(poster, INFINITE);
    CloseHandle(poster);
    DestroyWindow(w);
}

// Started as a user starts it: the main window appears 420 x 350, centred, and
// closing it ends the process with exit code 0.
TEST(Program, StartsCentredAndClosesWithExitCodeZero) {
    testsupport::Process p;
    ASSERT_TRUE(testsupport::start_process(TARNIX_EXE_PATH, p));
    HWND w = testsupport::wait_for_window(p.id, L"TarnixMainWindow", 20000);
    ASSERT_NE(w, nullptr);
    RECT r;
    GetWindowRect(w, &r);
    EXPECT_EQ(r.right - r.left, 420);
    EXPECT_EQ(r.bottom - r.top, 350);
    RECT work;
    SystemParametersInfoW(SPI_GETWORKAREA, 0, &work, 0);
    EXPECT_NEAR((r.left + r.right) / 2, (work.left + work.right) / 2, 1);
    EXPECT_NEAR((r.top + r.bottom) / 2, (work.top + work.bottom) / 2, 1);
    testsupport::save_screenshot("app_start");
    PostMessageW(w, WM_CLOSE, 0, 0);
    EXPECT_EQ(p.wait_exit(15000), 0);
}
