// Stands in for a program file in update tests: when started it writes
// "<its own path>.ran" holding its current directory, then stays alive for the
// number of milliseconds given as its first argument (default none).
#include <windows.h>

#include <cstdlib>

int main(int argc, char** argv) {
    wchar_t path[MAX_PATH + 8] = {};
    DWORD n = GetModuleFileNameW(nullptr, path, MAX_PATH);
    if (n == 0 || n >= MAX_PATH) {
        return 2;
    }
    lstrcatW(path, L".ran");
    HANDLE f =
        CreateFileW(path, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (f == INVALID_HANDLE_VALUE) {
        return 3;
    }
    char dir[MAX_PATH] = {};
    DWORD len = GetCurrentDirectoryA(MAX_PATH, dir);
    DWORD written = 0;
    WriteFile(f, dir, len, &written, nullptr);
    CloseHandle(f);
    long stay = argc > 1 ? std::strtol(argv[1], nullptr, 10) : 0;
    if (stay > 0) {
        Sleep(static_cast<DWORD>(stay));
    }
    return 0;
}
