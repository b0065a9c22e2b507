#pragma once

#include <windows.h>

#include <functional>

// The one route by which other threads change controls: every change asked for
// on another thread is carried out on the UI thread.
namespace ui {

// Called once on the UI thread before any window exists.
void init_ui_thread();

bool on_ui_thread();

// Runs `task` on the UI thread and waits for it. On the UI thread it runs at
// once. After shutdown has begun, a call from another thread returns without
// running the task (the UI thread may be waiting for that very thread).
void run_on_ui_thread(const std::function<void()>& task);

// Queues `task` for the UI thread and returns at once.
void post_to_ui_thread(std::function<void()> task);

// Marks the start of shutdown (called by the exit routine).
void begin_shutdown();
bool shutting_down();

// Waits on the UI thread for `handle` for at most `timeout_ms`, while carrying
// out tasks that other threads hand to it (so a worker blocked in
// run_on_ui_thread can finish). Returns true when the handle was signalled.
bool wait_handle_serving_ui_tasks(HANDLE handle, DWORD timeout_ms);

} // namespace ui
