// Tarnix whose main window cannot be created: the window class is taken first
// by one whose windows refuse to be created. Everything else is the real program.
#include "app/program_win.h"

#include <windows.h>

int main() {
    WNDCLASSEXW wc{};
    wc.cbSize = sizeof(wc);
    wc.lpfnWndProc = [](HWND hwnd, UINT msg, WPARAM wp, LPARAM lp) -> LRESULT {
        return msg == WM_NCCREATE ? FALSE : DefWindowProcW(hwnd, msg, wp, lp);
    };
    wc.hInstance = GetModuleHandleW(nullptr);
    wc.lpszClassName = L"TarnixMainWindow";
    RegisterClassExW(&wc);
    return run_program();
}
