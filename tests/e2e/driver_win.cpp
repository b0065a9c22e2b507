#include "e2e/driver_win.h"

#include "support/process_win.h"
#include "ui/gbk_win.h"

#include <cstdio>
#include <stdlib.h>

namespace e2e {

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
    // The text may change between asking its length and reading it: a text
    // that fills the buffer may have been cut, so read again with more room.
    for (int attempt = 0; attempt < 5; ++attempt) {
        DWORD_PTR length = 0;
        if (!SendMessageTimeoutW(window, WM_GETTEXTLENGTH, 0, 0, SMTO_ABORTIFHUNG, 2000, &length)) {
            return {};
        }
        std::wstring buf(length + 2, L'\0');
        DWORD_PTR got = 0;
        if (!SendMessageTimeoutW(window, WM_GETTEXT, buf.size(),
                                 reinterpret_cast<LPARAM>(buf.data()), SMTO_ABORTIFHUNG, 2000,
                                 &got)) {
            return {};
        }
        const size_t n = wcsnlen(buf.c_str(), buf.size());
        if (n + 1 < buf.size()) {
            buf.resize(n);
            return buf;
        }
    }
    return {};
}

namespace {

DWORD process_of(HWND window) {
    DWORD pid = 0;
    GetWindowThreadProcessId(window, &pid);
    return pid;
}

std::wstring class_of(HWND window) {
    wchar_t name[128] = {};
    GetClassNameW(window, name, 128);
    return name;
}

struct TopSearch {
    DWORD pid;
    bool want_pid; // match `pid` (true) or every other process (false)
    const wchar_t* cls;
    const wchar_t* caption;
    std::vector<HWND> found;
};

BOOL CALLBACK top_proc(HWND hwnd, LPARAM lp) {
    auto* s = reinterpret_cast<TopSearch*>(lp);
    if ((process_of(hwnd) == s->pid) != s->want_pid || !IsWindowVisible(hwnd)) {
        return TRUE;
    }
    if (s->cls && class_of(hwnd) != s->cls) {
        return TRUE;
    }
    if (s->caption && text_of(hwnd) != s->caption) {
        return TRUE;
    }
    s->found.push_back(hwnd);
    return TRUE;
}

struct ChildSearch {
    std::wstring_view text;
    const wchar_t* cls;
    bool visible_only;
    bool by_position;
    HWND top;
    POINT at;
    HWND found;
};

BOOL CALLBACK child_proc(HWND hwnd, LPARAM lp) {
    auto* s = reinterpret_cast<ChildSearch*>(lp);
    if (s->visible_only && !IsWindowVisible(hwnd)) {
        return TRUE;
    }
    if (s->by_position) {
        POINT p = position_in(s->top, hwnd);
        if (p.x != s->at.x || p.y != s->at.y || class_of(hwnd) != s->cls) {
            return TRUE;
        }
    } else if (text_of(hwnd) != s->text) {
        return TRUE;
    }
    s->found = hwnd;
    return FALSE;
}

} // namespace

HWND wait_top_level(DWORD pid, const wchar_t* cls, const wchar_t* caption, DWORD timeout_ms) {
    HWND found = nullptr;
    testsupport::wait_until(
        [&] {
            TopSearch s{pid, true, cls, caption, {}};
            EnumWindows(top_proc, reinterpret_cast<LPARAM>(&s));
            found = s.found.empty() ? nullptr : s.found.front();
            return found != nullptr;
        },
        timeout_ms);
    return found;
}

std::vector<HWND> top_levels_not_of(DWORD pid, const wchar_t* cls) {
    TopSearch s{pid, false, cls, nullptr, {}};
    EnumWindows(top_proc, reinterpret_cast<LPARAM>(&s));
    return s.found;
}

HWND child_with_text(HWND top, std::wstring_view text, bool visible_only) {
    ChildSearch s{text, nullptr, visible_only, false, top, {}, nullptr};
    EnumChildWindows(top, child_proc, reinterpret_cast<LPARAM>(&s));
    return s.found;
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
    ChildSearch s{{}, cls, true, true, top, {x, y}, nullptr};
    EnumChildWindows(top, child_proc, reinterpret_cast<LPARAM>(&s));
    return s.found;
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
    TopSearch s{pid, true, L"#32770", nullptr, {}};
    EnumWindows(top_proc, reinterpret_cast<LPARAM>(&s));
    return s.found.empty() ? nullptr : s.found.front();
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
