#include "support/process_win.h"

#include <objidl.h>
#include <gdiplus.h>

#include <cstdio>
#include <vector>

namespace testsupport {

std::string windows_path(const std::string& path) {
    if (path.empty() || path[0] != '/') {
        return path;
    }
    std::string out = "Z:" + path;
    for (char& c : out) {
        if (c == '/') {
            c = '\\';
        }
    }
    return out;
}

Process::~Process() {
    if (handle) {
        if (WaitForSingleObject(handle, 0) == WAIT_TIMEOUT) {
            TerminateProcess(handle, 99);
        }
        CloseHandle(handle);
    }
}

long Process::wait_exit(DWORD timeout_ms) {
    if (!handle || WaitForSingleObject(handle, timeout_ms) != WAIT_OBJECT_0) {
        return -1;
    }
    DWORD code = 0;
    GetExitCodeProcess(handle, &code);
    return static_cast<long>(code);
}

bool start_process(const std::string& exe, Process& out, const std::string& working_dir) {
    return start_process_with_args(exe, {}, out, working_dir);
}

bool start_process_with_args(const std::string& exe, const std::vector<std::string>& args,
                             Process& out, const std::string& working_dir) {
    std::string cmd = "\"" + windows_path(exe) + "\"";
    for (const auto& a : args) {
        cmd += " \"" + a + "\"";
    }
    std::vector<char> buf(cmd.begin(), cmd.end());
    buf.push_back('\0');
    STARTUPINFOA si{};
    si.cb = sizeof(si);
    PROCESS_INFORMATION pi{};
    std::string wd = windows_path(working_dir);
    if (!CreateProcessA(nullptr, buf.data(), nullptr, nullptr, FALSE, 0, nullptr,
                        wd.empty() ? nullptr : wd.c_str(), &si, &pi)) {
        // The callers only assert; the reason belongs in the test's output.
        const DWORD error = GetLastError();
        std::fprintf(stderr, "cannot start %s: error %lu\n", cmd.c_str(), error);
        return false;
    }
    CloseHandle(pi.hThread);
    out.handle = pi.hProcess;
    out.id = pi.dwProcessId;
    return true;
}

std::string save_screenshot(const std::string& name) {
    std::string dir = windows_path(TARNIX_SCREENSHOT_DIR);
    CreateDirectoryA(dir.c_str(), nullptr);
    std::string path = dir + "\\" + name + ".png";

    Gdiplus::GdiplusStartupInput input;
    ULONG_PTR token = 0;
    Gdiplus::GdiplusStartup(&token, &input, nullptr);
    int w = GetSystemMetrics(SM_CXSCREEN);
    int h = GetSystemMetrics(SM_CYSCREEN);
    HDC screen = GetDC(nullptr);
    HDC mem = CreateCompatibleDC(screen);
    HBITMAP bmp = CreateCompatibleBitmap(screen, w, h);
    HGDIOBJ old = SelectObject(mem, bmp);
    BitBlt(mem, 0, 0, w, h, screen, 0, 0, SRCCOPY | CAPTUREBLT);
    SelectObject(mem, old);
    bool ok = false;
    {
        Gdiplus::Bitmap image(bmp, nullptr);
        // The PNG encoder's class id.
        CLSID png{0x557cf406, 0x1a04, 0x11d3, {0x9a, 0x73, 0x00, 0x00, 0xf8, 0x1e, 0xf3, 0x2e}};
        std::wstring wpath(path.begin(), path.end());
        ok = image.Save(wpath.c_str(), &png, nullptr) == Gdiplus::Ok;
    }
    DeleteObject(bmp);
    DeleteDC(mem);
    ReleaseDC(nullptr, screen);
    Gdiplus::GdiplusShutdown(token);
    return ok ? path : std::string();
}

} // namespace testsupport
