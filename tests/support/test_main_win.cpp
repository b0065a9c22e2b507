// main() of every Windows test executable. A crash must fail the test: under
// Wine a crashing process can otherwise exit 0 or hang on the crash dialog.
#include <windows.h>

#include <gtest/gtest.h>

#include <cstdio>

#include "platform/ui_thread_win.h"

namespace {
LONG WINAPI die_on_crash(EXCEPTION_POINTERS*) {
    TerminateProcess(GetCurrentProcess(), 3);
    return EXCEPTION_EXECUTE_HANDLER;
}
} // namespace

int main(int argc, char** argv) {
    SetUnhandledExceptionFilter(die_on_crash);
    SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOGPFAULTERRORBOX);
    ui::init_ui_thread();
    testing::InitGoogleTest(&argc, argv);
    const int result = RUN_ALL_TESTS();
    // Ended here, once the results are out, without the process's orderly exit: under
    // Wine on a busy machine that exit at times never ends ("wine client error: sendmsg:
    // Socket operation on non-socket" after the last test passed, then a hang until
    // CTest's time-out). Nothing of a test is left for it to do.
    std::fflush(stdout);
    std::fflush(stderr);
    TerminateProcess(GetCurrentProcess(), static_cast<UINT>(result));
    return result;
}
