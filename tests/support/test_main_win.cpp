// main() of every Windows test executable. A crash must fail the test: under
// Wine a crashing process can otherwise exit 0 or hang on the crash dialog.
#include <windows.h>

#include <gtest/gtest.h>

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
    return RUN_ALL_TESTS();
}
