#pragma once

#include <windows.h>

// Loads the main window: creates it with its controls, then runs its creation
// handler (which shows it). Returns the window.
HWND load_main_window();

// The main window, or null once it has been destroyed.
HWND main_window();
