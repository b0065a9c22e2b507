#pragma once

#include <windows.h>

#include <cstdint>
#include <optional>

// The first visible top-level window of process `pid`, in z-order. One window
// is examined per pass and the thread's pending messages are processed between
// passes, so the UI stays responsive while the search runs. Gives up with null
// once `limit_ms` milliseconds have passed (left out or -1: 31536000 ms; 0:
// null at once, before any window is looked at), and at once when a WM_QUIT
// arrives (it is left for the message loop).
HWND find_process_window(DWORD pid, std::optional<int32_t> limit_ms = std::nullopt);
