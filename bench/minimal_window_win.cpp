// The floor for start-up: the least a Win32 program does to show a painted
// window like the main window (same class name, size and the two colours
// ui_bench looks for), with nothing else: register, create, show, paint.
#include <windows.h>

namespace {

LRESULT CALLBACK window_proc(HWND w, UINT message, WPARAM wp, LPARAM lp) {
    switch (message) {
    case WM_PAINT: {
        PAINTSTRUCT ps;
        HDC dc = BeginPaint(w, &ps);
        RECT top{0, 0, 420, 130};
        RECT rest{0, 130, 420, 350};
        HBRUSH dark = CreateSolidBrush(RGB(47, 53, 60));
        FillRect(dc, &top, dark);
        DeleteObject(dark);
        FillRect(dc, &rest, static_cast<HBRUSH>(GetStockObject(WHITE_BRUSH)));
        EndPaint(w, &ps);
        return 0;
    }
    case WM_DESTROY:
        PostQuitMessage(0);
        return 0;
    default:
        return DefWindowProcW(w, message, wp, lp);
    }
}

} // namespace

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, PWSTR, int show) {
    WNDCLASSW wc{};
    wc.lpfnWndProc = window_proc;
    wc.hInstance = instance;
    wc.hCursor = LoadCursorA(nullptr, IDC_ARROW);
    wc.lpszClassName = L"TarnixMainWindow";
    RegisterClassW(&wc);
    const int x = (GetSystemMetrics(SM_CXSCREEN) - 420) / 2;
    const int y = (GetSystemMetrics(SM_CYSCREEN) - 350) / 2;
    HWND w = CreateWindowExW(0, wc.lpszClassName, L"Tarnix", WS_POPUP, x, y, 420, 350, nullptr,
                             nullptr, instance, nullptr);
    ShowWindow(w, show);
    UpdateWindow(w);
    MSG m;
    while (GetMessageW(&m, nullptr, 0, 0) > 0) {
        TranslateMessage(&m);
        DispatchMessageW(&m);
    }
    return 0;
}
