// Tarnix as a user starts it, but pointed at a test's server: the endpoint is
// the first argument. Everything else is the real program.
#include "app/program_win.h"

#include <windows.h>

#include <cstdlib>
#include <string>

int main(int argc, char** argv) {
    // Second argument: a file the exit routine's run is reported to.
    if (argc > 2) {
        static std::string marker = argv[2];
        add_exit_step([] {
            HANDLE f = CreateFileA(marker.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                   FILE_ATTRIBUTE_NORMAL, nullptr);
            if (f != INVALID_HANDLE_VALUE) {
                CloseHandle(f);
            }
        });
    }
    return argc > 1 ? run_program(argv[1]) : run_program();
}
