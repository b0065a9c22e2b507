#pragma once

#include "ui/forms_win.h"
#include "ui/main_names.h"

#include <windows.h>

#include <string_view>
#include <vector>

// The main window: its layout table, its navigation and the announcement
// scroll. The features' event handlers are bound by the caller.

// The main window's design width: where the announcement enters from, whatever
// size the window has at the moment (a minimised window is only a strip).
inline constexpr int kMainWindowWidth = 420;

// Builds the main window with its layout, the navigation bindings and
// `feature_bindings`, then runs the first part of its creation handler
// (420 x 350, navigation disabled and unchecked, slider hidden, shown on the
// connecting page and painted, then the shadow) without contacting the server. `on_close` runs on
// WM_CLOSE. The bindings are taken from the first call: one main window
// description per run. Returns the window (null on failure).
HWND build_main_window(std::vector<ui::Binding> feature_bindings, void (*on_close)(HWND));

// The main window, or null once it has been destroyed. Its controls are reached
// with the ui:: properties: ui::set_text(main_window(), main_names::kConnectionState, ...).
HWND main_window();

// The navigation action of the home, sign-up or password buttons (the sign-up
// link runs the sign-up button's action): page, slider, check marks. Any thread.
void run_navigation_action(std::string_view button);

// One step of the announcement scroll (a tick of the announcement timer). Any thread.
void announcement_scroll_step();
