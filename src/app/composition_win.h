#pragma once

#include <windows.h>

#include <string>
#include <string_view>

// The main window as the program composes it: the layout of ui/main_window_win.h
// with every feature's handlers bound. The only place that knows all features.

// Builds the main window with its bindings and runs the first part of its
// creation handler, without contacting the server.
HWND create_main_window();

// create_main_window() followed by the handshake start and what its outcome
// asks for: on another client version, the prompt, the update window, and the
// main window destroyed. Returns the main window (null once destroyed or on
// failure). With a publisher key (the one built in, TARNIX_UPDATE_PUBLIC_KEY,
// unless another is given; "" for none) only a newer version than the
// client's own opens the update window, and the update must be signed with it.
HWND load_main_window(const std::string& endpoint);
HWND load_main_window(const std::string& endpoint, std::string_view public_key_hex);
