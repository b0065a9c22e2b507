#include "platform/message_loop_win.h"
#include "platform/window_finder_win.h"

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

namespace {

// The WM_QUIT left for the message loop, if any (removed), or -1.
int take_pending_quit() {
    MSG msg;
    return PeekMessageW(&msg, nullptr, WM_QUIT, WM_QUIT, PM_REMOVE) ? static_cast<int>(msg.wParam)
                                                                    : -1;
}

ULONGLONG thread_cpu_ms() {
    FILETIME created, exited, kernel, user;
    GetThreadTimes(GetCurrentThread(), &created, &exited, &kernel, &user);
    auto ms = [](const FILETIME& t) {
        return ((static_cast<ULONGLONG>(t.dwHighDateTime) << 32) | t.dwLowDateTime) / 10000;
    };
    return ms(kernel) + ms(user);
}

} // namespace

// A quit asked for while the delay runs (the last window destroyed during the
// handshake) neither cuts the delay short, which made its callers spin, nor
// gets lost.
TEST(PumpDelay, PendingQuitWaitsTheWholeDelayAndIsKept) {
    PostQuitMessage(7);
    const ULONGLONG cpu = thread_cpu_ms();
    DWORD start = GetTickCount();
    for (int i = 0; i < 3; ++i) {
        EXPECT_TRUE(pump_delay(100, 0));
    }
    EXPECT_GE(GetTickCount() - start, 280u);
    EXPECT_LT(thread_cpu_ms() - cpu, 150u);
    EXPECT_EQ(take_pending_quit(), 7);
}

// The window search gives up at once when the program is ending, instead of
// polling until its limit, and leaves the quit for the message loop.
TEST(WindowFinder, GivesUpWhenTheProgramIsEnding) {
    PostQuitMessage(3);
    DWORD start = GetTickCount();
    EXPECT_EQ(find_process_window(GetCurrentProcessId() + 4096, 3000), nullptr);
    EXPECT_LT(GetTickCount() - start, 1000u);
    EXPECT_EQ(take_pending_quit(), 3);
}
