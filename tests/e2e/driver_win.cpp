#include "e2e/driver_win.h"

#include "support/files_win.h"
#include "support/process_win.h"
#include "support/window_finder_win.h"
#include "ui/gbk_win.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <stdlib.h>

namespace e2e {

std::string read_file(const std::string& unix_path) {
    return testsupport::read_file(ws(testsupport::windows_path(unix_path)));
}

HWND control(HWND w, const char* utf8_text) {
    HWND c = child_with_text(w, ws(utf8_text));
    EXPECT_NE(c, nullptr) << "no visible control reads " << utf8_text;
    return c;
}

std::string option(std::string_view name) {
    const std::string prefix = "--" + std::string(name) + "=";
    for (int i = 1; i < __argc; ++i) {
        std::string_view arg = __argv[i];
        if (arg.substr(0, prefix.size()) == prefix) {
            return std::string(arg.substr(prefix.size()));
        }
    }
    return {};
}

std::wstring ws(std::string_view utf8_text) {
    return widen(gbk(utf8_text));
}

std::string utf8(std::wstring_view wide) {
    if (wide.empty()) {
        return {};
    }
    int n = WideCharToMultiByte(CP_UTF8, 0, wide.data(), static_cast<int>(wide.size()), nullptr, 0,
                                nullptr, nullptr);
    std::string out(static_cast<size_t>(n), '\0');
    WideCharToMultiByte(CP_UTF8, 0, wide.data(), static_cast<int>(wide.size()), out.data(), n,
                        nullptr, nullptr);
    return out;
}

std::wstring text_of(HWND window) {
    return testsupport::text_of(window);
}

namespace {

std::wstring class_of(HWND window) {
    wchar_t name[128] = {};
    GetClassNameW(window, name, 128);
    return name;
}

} // namespace

HWND wait_top_level(DWORD pid, const wchar_t* cls, const wchar_t* caption, DWORD timeout_ms) {
    testsupport::WindowQuery q;
    q.pid = pid;
    q.cls = cls;
    q.caption = caption;
    return testsupport::wait_top_level(q, timeout_ms);
}

std::vector<HWND> top_levels_not_of(DWORD pid, const wchar_t* cls) {
    testsupport::WindowQuery q;
    q.pid = pid;
    q.other_processes = true;
    q.cls = cls;
    return testsupport::top_level_windows(q);
}

HWND child_with_text(HWND top, std::wstring_view text, bool visible_only) {
    return testsupport::find_child_by_text(top, text, visible_only);
}

HWND wait_child_with_text(HWND top, std::wstring_view text, DWORD timeout_ms) {
    HWND found = nullptr;
    testsupport::wait_until(
        [&] {
            found = child_with_text(top, text);
            return found != nullptr;
        },
        timeout_ms);
    return found;
}

HWND child_at(HWND top, const wchar_t* cls, int x, int y) {
    return testsupport::find_child(
        top,
        [&](HWND w) {
            const POINT p = position_in(top, w);
            return p.x == x && p.y == y && class_of(w) == cls;
        },
        true);
}

POINT position_in(HWND top, HWND window) {
    RECT r{};
    GetWindowRect(window, &r);
    POINT p{r.left, r.top};
    ScreenToClient(top, &p);
    return p;
}

void type_into(HWND edit, std::wstring_view text) {
    DWORD_PTR ignored = 0;
    auto send = [&](UINT msg, WPARAM wp, LPARAM lp) {
        SendMessageTimeoutW(edit, msg, wp, lp, SMTO_ABORTIFHUNG, 5000, &ignored);
    };
    send(EM_SETSEL, 0, -1);
    send(WM_CHAR, VK_BACK, 0);
    for (wchar_t ch : text) {
        send(WM_CHAR, ch, 0);
    }
}

void click(HWND button) {
    // A null window would post to the driver's own queue; the caller has
    // already failed the test when it found no button.
    if (button) {
        PostMessageW(button, BM_CLICK, 0, 0);
    }
}

Box wait_box(DWORD pid, std::wstring_view caption, DWORD timeout_ms) {
    const std::wstring want(caption);
    Box box;
    box.window = wait_top_level(pid, L"#32770", want.c_str(), timeout_ms);
    if (box.window) {
        box.caption = want;
        // The box's text is the static with ID 0xFFFF.
        HWND text = GetDlgItem(box.window, 0xFFFF);
        box.text = text ? text_of(text) : std::wstring();
    }
    return box;
}

HWND any_box(DWORD pid) {
    return wait_top_level(pid, L"#32770", nullptr, 0);
}

bool dismiss(const Box& box) {
    if (!box.window) {
        return false;
    }
    PostMessageW(box.window, WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED),
                 reinterpret_cast<LPARAM>(GetDlgItem(box.window, IDOK)));
    return testsupport::wait_until([&] { return !IsWindow(box.window); }, 5000);
}

namespace {
const DWORD g_start = GetTickCount();
} // namespace

void step(const std::string& what) {
    std::printf("[e2e] %6lu ms  %s\n", static_cast<unsigned long>(GetTickCount() - g_start),
                what.c_str());
    std::fflush(stdout);
}

void screenshot(const std::string& name) {
    const std::string dir = testsupport::windows_path(TARNIX_SCREENSHOT_DIR);
    CreateDirectoryA(dir.c_str(), nullptr);
    CreateDirectoryA((dir + "\\e2e").c_str(), nullptr);
    const std::string saved = testsupport::save_screenshot("e2e\\" + name);
    step(name + (saved.empty() ? " (screenshot failed)" : ""));
}

void pause_ms(DWORD ms) {
    testsupport::wait_until([] { return false; }, ms);
}

} // namespace e2e
