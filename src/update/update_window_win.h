#pragma once

#include <windows.h>

#include <cstdint>
#include <string_view>

// The update window: shows the server's update description, downloads the new
// program file into the current directory with a progress bar, and starts it.

// Loads the update window (no owner, not modal), runs its opening steps and
// shows it. Call it while the main window still exists: the local file takes
// the main window's caption as its name. It counts as a top-level window of
// the program: when it is destroyed and no other remains, the program ends
// with exit code 0. After the finished file is started, `end_program` ends the
// program with exit code 0. The new file must be signed with the publisher's
// key (128 hex digits, X then Y; "" takes updates unsigned): the one built in
// (TARNIX_UPDATE_PUBLIC_KEY) unless another is given; with a text that is not
// a key no update is taken. Returns the window (null on failure).
HWND open_update_window(void (*end_program)(int32_t exit_code));
HWND open_update_window(void (*end_program)(int32_t exit_code), std::string_view public_key_hex);

// The open update window, or null.
HWND update_window();

// The download task's event handler (the size and end events; any thread;
// returns 0).
int32_t update_event_handler(int32_t kind, int32_t item, int32_t value, int32_t extra,
                             int32_t task);
