#include "platform/window_finder_win.h"

#include "platform/message_loop_win.h"

namespace {
// The default limit of the window search: 31536000 milliseconds (8 h 45 min 36 s).
constexpr DWORD kDefaultSearchLimitMs = 31536000;
} // namespace

HWND find_process_window(DWORD pid, std::optional<int32_t> limit_ms) {
    const DWORD limit =
        (!limit_ms || *limit_ms == -1) ? kDefaultSearchLimitMs : static_cast<DWORD>(*limit_ms);
    const DWORD start = GetTickCount();
    HWND previous = nullptr;
    for (;;) {
        if (GetTickCount() - start >= limit) {
            return nullptr;
        }
        // Null after the last window, so the pass after that starts at the top again.
        previous = FindWindowExW(nullptr, previous, nullptr, nullptr);
        DWORD owner_pid = 0;
        if (previous && IsWindow(previous) == TRUE && IsWindowVisible(previous) &&
            GetWindowThreadProcessId(previous, &owner_pid) != 0 && owner_pid == pid) {
            return previous;
        }
        if (!process_pending_messages()) {
            return nullptr; // the program is ending: nothing left to own a box
        }
    }
}
