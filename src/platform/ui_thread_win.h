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
// once. The UI thread never waits for a thread that may call this (the
// downloader's stop does not wait for its task), so the two never wait for
// each other. After shutdown has begun, a call from another thread returns
// without running the task: the program is ending.
void run_on_ui_thread(const std::function<void()>& task);

// Queues `task` for the UI thread and returns at once.
void post_to_ui_thread(std::function<void()> task);

// Marks the start of shutdown (called by the exit routine).
void begin_shutdown();
bool shutting_down();

} // namespace ui
