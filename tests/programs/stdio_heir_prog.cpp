// Ends at once with exit code 5, leaving behind a process of its own that
// inherited its standard output and error and keeps them for the number of
// milliseconds given (default 30000), as Wine's desktop process does with those
// of the first program that opens a window. The test runner must still see this
// program end, and its exit code, when it ends.
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

int main(int argc, char** argv) {
    if (argc > 2 && std::strcmp(argv[1], "heir") == 0) {
        Sleep(static_cast<DWORD>(std::strtoul(argv[2], nullptr, 10)));
        return 0;
    }
    char self[MAX_PATH] = {};
    if (GetModuleFileNameA(nullptr, self, MAX_PATH) == 0) {
        return 2;
    }
    char command[2 * MAX_PATH] = {};
    std::snprintf(command, sizeof command, "\"%s\" heir %s", self, argc > 1 ? argv[1] : "30000");
    STARTUPINFOA si{};
    si.cb = sizeof si;
    si.dwFlags = STARTF_USESTDHANDLES;
    si.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
    si.hStdOutput = GetStdHandle(STD_OUTPUT_HANDLE);
    si.hStdError = GetStdHandle(STD_ERROR_HANDLE);
    PROCESS_INFORMATION pi{};
    if (!CreateProcessA(nullptr, command, nullptr, nullptr, TRUE, 0, nullptr, nullptr, &si, &pi)) {
        return 3;
    }
    CloseHandle(pi.hThread);
    CloseHandle(pi.hProcess);
    std::printf("left a process holding this one's output\n");
    std::fflush(stdout);
    return 5;
}
