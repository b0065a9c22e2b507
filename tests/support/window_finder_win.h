#pragma once

#include <windows.h>

#include <functional>
#include <string>
#include <string_view>
#include <vector>

// The one window finder of the tests and the end-to-end driver: top-level
// windows by process, class and caption, children by text or any test, texts
// read with WM_GETTEXT as a screen reader asks (so across processes too).
namespace testsupport {

std::wstring text_of(HWND window);

struct WindowQuery {
    DWORD pid = 0;                    // whose windows (see other_processes)
    bool other_processes = false;     // true: every process but `pid`
    const wchar_t* cls = nullptr;     // null: any class
    const wchar_t* caption = nullptr; // null: any caption
};

// The visible top-level windows that match, in z-order.
std::vector<HWND> top_level_windows(const WindowQuery& query);
// The first of them, polled for at most `timeout_ms` (0: one look).
HWND wait_top_level(const WindowQuery& query, DWORD timeout_ms);
// The first visible top-level window of `pid` with class `cls` (any when null).
HWND wait_for_window(DWORD pid, const wchar_t* cls, DWORD timeout_ms);

// The first descendant of `parent` (visible ones only when asked) that `match` accepts.
HWND find_child(HWND parent, const std::function<bool(HWND)>& match, bool visible_only = false);
HWND find_child_by_text(HWND parent, std::wstring_view text, bool visible_only = false);

} // namespace testsupport
