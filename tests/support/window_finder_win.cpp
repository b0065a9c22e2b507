#include "support/window_finder_win.h"

#include "support/process_win.h"

namespace testsupport {

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

struct TopSearch {
    const WindowQuery* query;
    std::vector<HWND> found;
};

BOOL CALLBACK top_proc(HWND hwnd, LPARAM lp) {
    auto* s = reinterpret_cast<TopSearch*>(lp);
    const WindowQuery& q = *s->query;
    DWORD pid = 0;
    GetWindowThreadProcessId(hwnd, &pid);
    if ((pid == q.pid) == q.other_processes || !IsWindowVisible(hwnd)) {
        return TRUE;
    }
    if (q.cls) {
        wchar_t name[128] = {};
        GetClassNameW(hwnd, name, 128);
        if (lstrcmpW(name, q.cls) != 0) {
            return TRUE;
        }
    }
    if (q.caption && text_of(hwnd) != q.caption) {
        return TRUE;
    }
    s->found.push_back(hwnd);
    return TRUE;
}

struct ChildSearch {
    const std::function<bool(HWND)>* match;
    bool visible_only;
    HWND found;
};

BOOL CALLBACK child_proc(HWND hwnd, LPARAM lp) {
    auto* s = reinterpret_cast<ChildSearch*>(lp);
    if ((s->visible_only && !IsWindowVisible(hwnd)) || !(*s->match)(hwnd)) {
        return TRUE;
    }
    s->found = hwnd;
    return FALSE;
}

} // namespace

std::vector<HWND> top_level_windows(const WindowQuery& query) {
    TopSearch s{&query, {}};
    EnumWindows(top_proc, reinterpret_cast<LPARAM>(&s));
    return s.found;
}

HWND wait_top_level(const WindowQuery& query, DWORD timeout_ms) {
    HWND found = nullptr;
    wait_until(
        [&] {
            const std::vector<HWND> all = top_level_windows(query);
            found = all.empty() ? nullptr : all.front();
            return found != nullptr;
        },
        timeout_ms);
    return found;
}

HWND wait_for_window(DWORD pid, const wchar_t* cls, DWORD timeout_ms) {
    WindowQuery q;
    q.pid = pid;
    q.cls = cls && *cls ? cls : nullptr;
    return wait_top_level(q, timeout_ms);
}

HWND find_child(HWND parent, const std::function<bool(HWND)>& match, bool visible_only) {
    ChildSearch s{&match, visible_only, nullptr};
    EnumChildWindows(parent, child_proc, reinterpret_cast<LPARAM>(&s));
    return s.found;
}

HWND find_child_by_text(HWND parent, std::wstring_view text, bool visible_only) {
    return find_child(
        parent, [&](HWND w) { return text_of(w) == text; }, visible_only);
}

} // namespace testsupport
