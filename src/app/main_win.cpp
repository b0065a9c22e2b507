// Program entry of Tarnix.exe.
#include "app/program_win.h"

#include <windows.h>

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int) {
    return run_program();
}
