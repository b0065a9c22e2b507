#pragma once

#include <windows.h>

#include <cstdint>
#include <string>

// Runs the waitable-timer wait of `amount` `unit` (PumpUnit) while dispatching
// every window message that arrives; returns true. A WM_QUIT seen meanwhile is
// posted again so the message loop still ends.
bool pump_delay(int32_t amount, int32_t unit);

// Dispatches the window messages pending for this thread. Returns false when
// a WM_QUIT was met (it is posted again, so the message loop still ends).
bool process_pending_messages();

// Start-up steps 2 to 4: application-wide state, exit routine registered, GDI+ started.
void start_program();

// Ends the program with `exit_code`; the exit routine runs first. From a thread
// other than the UI thread the request is handed to the UI thread.
[[noreturn]] void end_program(int32_t exit_code);

// Releases the application-wide state and stops a running download. Runs once,
// whichever way the program ends.
void exit_routine();

// Adds a step that the exit routine runs after releasing the state (tests use
// it to observe the exit routine from outside the process).
void add_exit_step(void (*step)());

// Top-level windows of the program register here; when the last one is
// destroyed the message loop ends.
void track_top_level_window(HWND window);
void untrack_top_level_window(HWND window);

// Runs the message loop until the program ends; returns the exit code.
int run_message_loop();

// The whole start-up sequence, the message loop and the end of the program.
int run_program();
