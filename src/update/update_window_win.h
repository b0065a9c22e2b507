#pragma once

#include <windows.h>

#include <cstdint>
#include <optional>
#include <string>

// The update window: shows the server's update description, downloads the new
// program file into the current directory with a progress bar, and starts it.

// Loads the update window (no owner, not modal), runs its opening steps and
// shows it. Call it while the main window still exists: the local file takes
// the main window's caption as its name. It counts as a top-level window of
// the program: when it is destroyed and no other remains, the program ends
// with exit code 0. After the finished file is started, `end_program` ends the
// program with exit code 0. Returns the window (null on failure).
HWND open_update_window(void (*end_program)(int32_t exit_code));

// The open update window, or null.
HWND update_window();

// The download task's event handler (the size and end events; any thread;
// returns 0).
int32_t update_event_handler(int32_t kind, int32_t item, int32_t value, int32_t extra,
                             int32_t task);

// One tick of the progress timer "时钟1" (UI thread).
void update_progress_tick();

// Seams for tests: how the finished file is started (default: the shell with
// the file's default action) and where the tick reads the bytes received
// (default: the download object). Null restores the default.
void set_update_shell_start(void (*start)(const std::string& gbk_path));
void set_update_bytes_source(uint32_t (*bytes_received)());

// Seam for tests: the publisher's key as 128 hex digits ("" for none) in
// place of the one built in (TARNIX_UPDATE_PUBLIC_KEY); nullopt restores it.
void set_update_public_key(std::optional<std::string> hex);
