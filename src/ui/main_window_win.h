#pragma once

#include <windows.h>

#include <string_view>

// Loads the main window: creates it with its controls, then runs its creation
// handler (which shows it). Returns the window.
HWND load_main_window();

// The main window, or null once it has been destroyed. Its controls are reached
// with the ui:: properties: ui::set_text(main_window(), "标签_连接状态", ...).
HWND main_window();

// Builds the main window and runs the first part of its creation handler
// (shadow, 420 x 350, navigation disabled and unchecked, slider hidden, shown
// on the connecting page) without contacting the server. load_main_window()
// is this followed by the handshake start.
HWND create_main_window();

// The navigation action of "按钮_A", "按钮_B" or "按钮_D" ("按钮_注册" runs the
// "按钮_B" action): page, slider, check marks. Any thread.
void run_navigation_action(std::string_view button);

// One step of the announcement scroll (a tick of "时钟_公告移动"). Any thread.
void announcement_scroll_step();
