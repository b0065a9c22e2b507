#include "ui/main_window_win.h"

#include "app/program_win.h"
#include "../../res/resource.h"

namespace {

constexpr wchar_t kClassName[] = L"TarnixMainWindow";
constexpr int kWidth = 420;
constexpr int kDesignHeight = 370;
constexpr int kHeight = 350;

HWND g_main = nullptr;

LRESULT CALLBACK main_window_proc(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp) {
    switch (msg) {
    case WM_LBUTTONDOWN:
        // A press on the background moves the window, as a caption bar would.
        ReleaseCapture();
        SendMessageW(hwnd, WM_NCLBUTTONDOWN, HTCAPTION, 0);
        return 0;
    case WM_CLOSE:
        end_program(0);
    case WM_DESTROY:
        if (g_main == hwnd) {
            g_main = nullptr;
        }
        untrack_top_level_window(hwnd);
        return 0;
    default:
        return DefWindowProcW(hwnd, msg, wp, lp);
    }
}

void register_class() {
    WNDCLASSEXW wc{};
    wc.cbSize = sizeof(wc);
    wc.lpfnWndProc = main_window_proc;
    wc.hInstance = GetModuleHandleW(nullptr);
    wc.hIcon = LoadIconW(wc.hInstance, MAKEINTRESOURCEW(IDI_TARNIX));
    wc.hCursor = LoadCursorW(nullptr, MAKEINTRESOURCEW(32512)); // IDC_ARROW
    wc.hbrBackground = static_cast<HBRUSH>(GetStockObject(WHITE_BRUSH));
    wc.lpszClassName = kClassName;
    RegisterClassExW(&wc);
}

void center_on_screen(HWND hwnd) {
    RECT r;
    GetWindowRect(hwnd, &r);
    RECT work;
    SystemParametersInfoW(SPI_GETWORKAREA, 0, &work, 0);
    int w = r.right - r.left;
    int h = r.bottom - r.top;
    SetWindowPos(hwnd, nullptr, work.left + (work.right - work.left - w) / 2,
                 work.top + (work.bottom - work.top - h) / 2, 0, 0,
                 SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);
}

// First part of the creation handler: size, initial states, shown.
void on_created(HWND hwnd) {
    SetWindowPos(hwnd, nullptr, 0, 0, kWidth, kHeight, SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE);
    center_on_screen(hwnd);
    ShowWindow(hwnd, SW_SHOW);
    UpdateWindow(hwnd);
}

} // namespace

HWND main_window() { return g_main; }

HWND load_main_window() {
    register_class();
    // Borderless, minimisable from the taskbar, no maximise box.
    g_main = CreateWindowExW(WS_EX_APPWINDOW, kClassName, L"Tarnix",
                             WS_POPUP | WS_SYSMENU | WS_MINIMIZEBOX | WS_CLIPCHILDREN, 50, 50,
                             kWidth, kDesignHeight, nullptr, nullptr, GetModuleHandleW(nullptr),
                             nullptr);
    if (!g_main) {
        return nullptr;
    }
    track_top_level_window(g_main);
    on_created(g_main);
    return g_main;
}
