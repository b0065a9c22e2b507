// Two figures of the window layer, under Wine:
//  1. one shadow update as a 420 x 370 window moves (the 430 x 380 shadow
//     window moved, its bitmap kept), as the mean over 1,000 moves, and one as
//     it changes size (the bitmap painted afresh);
//  2. the time from the start of Tarnix.exe (a copy as it ships, without debug
//     information, like the other two programs) to its first painted main window
//     (the navigation bar's colour, the page's white and the logo's blue on
//     screen), over several starts, beside a minimal window's, the floor
//     window's (the same first frame under the program's own rules) and those
//     of any other builds named on the command line:
//     ui_bench.exe [starts] [exe...].
//     UI_BENCH_NO_SHADOW=1 skips the shadow figures.
#include "shadow/shadow_win.h"

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

namespace {

double now_ms() {
    static LARGE_INTEGER freq = [] {
        LARGE_INTEGER f;
        QueryPerformanceFrequency(&f);
        return f;
    }();
    LARGE_INTEGER t;
    QueryPerformanceCounter(&t);
    return static_cast<double>(t.QuadPart) * 1000.0 / static_cast<double>(freq.QuadPart);
}

void pump() {
    MSG msg;
    while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
        TranslateMessage(&msg);
        DispatchMessageW(&msg);
    }
}

void shadow_moves() {
    WNDCLASSW wc{};
    wc.lpfnWndProc = DefWindowProcW;
    wc.hInstance = GetModuleHandleW(nullptr);
    wc.lpszClassName = L"ShadowBenchTarget";
    RegisterClassW(&wc);
    HWND target = CreateWindowExW(0, wc.lpszClassName, L"", WS_POPUP | WS_VISIBLE, 100, 100, 420,
                                  370, nullptr, nullptr, wc.hInstance, nullptr);
    shadow_setup(target, 0);
    pump();
    const int moves = 1000;
    double start = now_ms();
    for (int i = 0; i < moves; ++i) {
        // Every call moves the window, so every call is one WM_MOVE and one shadow update.
        SetWindowPos(target, nullptr, 100 + (i % 2 == 0 ? 1 : 0) + i % 50, 100, 0, 0,
                     SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);
    }
    double total = now_ms() - start;
    pump();
    std::printf("shadow update on a move (430x380 shadow): mean %.3f ms over %d moves (total %.0f "
                "ms)\n",
                total / moves, moves, total);

    // A size change repaints: every call below changes the height by one pixel.
    const int resizes = 200;
    start = now_ms();
    for (int i = 0; i < resizes; ++i) {
        SetWindowPos(target, nullptr, 0, 0, 420, 370 + (i % 2 == 0 ? 1 : 0),
                     SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE);
    }
    const double resize = (now_ms() - start) / resizes;
    pump();

    // Where a repaint's time goes: the rings alone into the pixels, and the
    // whole repaint (bitmap, rings, UpdateLayeredWindow) without a move.
    std::vector<uint32_t> pixels(static_cast<size_t>(430) * 380);
    start = now_ms();
    for (int i = 0; i < moves; ++i) {
        shadow_draw_rings(pixels.data(), 430, 380, 5, 0);
    }
    const double rings = (now_ms() - start) / moves;
    RECT r;
    GetWindowRect(target, &r);
    const RECT where{r.left - 5, r.top - 5, r.right + 5, r.bottom + 5};
    start = now_ms();
    for (int i = 0; i < resizes; ++i) {
        shadow_paint(target, where, 5);
    }
    const double paint = (now_ms() - start) / resizes;
    std::printf("shadow update on a size change: mean %.3f ms over %d; of which the rings into "
                "the pixels %.4f ms, a repaint without a move %.3f ms\n",
                resize, resizes, rings, paint);
    DestroyWindow(target);
}

struct Found {
    DWORD pid;
    HWND hwnd;
};

BOOL CALLBACK find_main(HWND w, LPARAM lp) {
    auto* f = reinterpret_cast<Found*>(lp);
    DWORD pid = 0;
    GetWindowThreadProcessId(w, &pid);
    wchar_t cls[64] = {};
    GetClassNameW(w, cls, 64);
    if (pid == f->pid && IsWindowVisible(w) && lstrcmpW(cls, L"TarnixMainWindow") == 0) {
        f->hwnd = w;
        return FALSE;
    }
    return TRUE;
}

// Milliseconds from CreateProcess to the navigation bar's colour and the page's
// white on screen (and with `logo`, the logo's blue too); -1 on failure.
double one_start(const std::string& exe, bool logo) {
    std::string cmd = "\"" + exe + "\"";
    std::vector<char> buf(cmd.begin(), cmd.end());
    buf.push_back('\0');
    STARTUPINFOA si{};
    si.cb = sizeof(si);
    PROCESS_INFORMATION pi{};
    double start = now_ms();
    if (!CreateProcessA(nullptr, buf.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si,
                        &pi)) {
        return -1;
    }
    double result = -1;
    HDC screen = GetDC(nullptr);
    Found f{pi.dwProcessId, nullptr};
    while (now_ms() - start < 20000) {
        if (!f.hwnd) {
            EnumWindows(find_main, reinterpret_cast<LPARAM>(&f));
        }
        if (f.hwnd) {
            RECT r;
            GetWindowRect(f.hwnd, &r);
            if (GetPixel(screen, r.left + 10, r.top + 50) == RGB(47, 53, 60) &&
                GetPixel(screen, r.left + 10, r.top + 200) == RGB(255, 255, 255) &&
                (!logo || GetPixel(screen, r.left + 120, r.top + 50) == RGB(0, 136, 255))) {
                result = now_ms() - start;
                break;
            }
        }
        Sleep(1);
    }
    ReleaseDC(nullptr, screen);
    if (f.hwnd) {
        PostMessageW(f.hwnd, WM_CLOSE, 0, 0);
    }
    if (WaitForSingleObject(pi.hProcess, 10000) != WAIT_OBJECT_0) {
        TerminateProcess(pi.hProcess, 1);
    }
    CloseHandle(pi.hThread);
    CloseHandle(pi.hProcess);
    return result;
}

double median(std::vector<double> times) {
    if (times.empty()) {
        return -1;
    }
    std::sort(times.begin(), times.end());
    return times[times.size() / 2];
}

void report(const char* what, std::vector<double> times) {
    if (times.empty()) {
        std::printf("%s: no painted main window\n", what);
        return;
    }
    std::sort(times.begin(), times.end());
    double sum = 0;
    for (double t : times) {
        sum += t;
    }
    std::printf("%s, start to first painted window: median %.0f ms, mean %.0f ms, min %.0f, "
                "max %.0f (%zu starts)\n",
                what, median(times), sum / static_cast<double>(times.size()), times.front(),
                times.back(), times.size());
}

// Tarnix.exe, the minimal window and any other builds of the program given
// (say, an earlier one) started in turn, so all see the same load.
void start_up(int runs, const std::vector<std::string>& others) {
    struct Program {
        std::string exe;
        bool logo;
        std::vector<double> times;
    };
    std::vector<Program> programs{{TARNIX_EXE_PATH, true, {}},
                                  {MINIMAL_WINDOW_EXE_PATH, false, {}},
                                  {FLOOR_WINDOW_EXE_PATH, true, {}}};
    for (const std::string& exe : others) {
        programs.push_back({exe, true, {}});
    }
    for (int i = 0; i < runs; ++i) {
        for (Program& p : programs) {
            double t = one_start(p.exe, p.logo);
            if (t >= 0) {
                p.times.push_back(t);
            }
            Sleep(300);
        }
    }
    for (const Program& p : programs) {
        report(p.exe.c_str(), p.times);
    }
    const double tarnix = median(programs[0].times);
    if (tarnix > 0 && median(programs[1].times) > 0 && median(programs[2].times) > 0) {
        std::printf("Tarnix.exe: %.2f times the minimal window, %.2f times the floor window\n",
                    tarnix / median(programs[1].times), tarnix / median(programs[2].times));
    }
}

} // namespace

int main(int argc, char** argv) {
    int runs = argc > 1 ? std::max(1, std::atoi(argv[1])) : 10;
    std::vector<std::string> others(argv + std::min(argc, 2), argv + argc);
    if (!GetEnvironmentVariableA("UI_BENCH_NO_SHADOW", nullptr, 0)) {
        shadow_moves();
    }
    start_up(runs, others);
    return 0;
}
