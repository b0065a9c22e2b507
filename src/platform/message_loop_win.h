#pragma once

#include <windows.h>

#include <cstdint>

// The UI thread's message handling: the loop, the waits that keep dispatching
// messages, and the program's top-level windows.

// Runs the waitable-timer wait of `amount` `unit` (PumpUnit) while dispatching
// every window message that arrives; returns true. The wait lasts its whole
// time even when a WM_QUIT arrives meanwhile; the quit is posted again at the
// end, so the message loop still ends.
bool pump_delay(int32_t amount, int32_t unit);

// Dispatches the window messages pending for this thread. Returns false when
// a WM_QUIT was met (it is posted again, so the message loop still ends).
bool process_pending_messages();

// Top-level windows of the program are marked here (a window property, on the
// UI thread); when the last marked one is destroyed the message loop ends.
void track_top_level_window(HWND window);
void untrack_top_level_window(HWND window);

// Runs the message loop until the program ends; returns the exit code.
int run_message_loop();
