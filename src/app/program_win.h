#pragma once

#include "build_config.h"
#include "platform/message_loop_win.h"

#include <windows.h>

#include <cstdint>
#include <string>

// Application-wide state created, exit routine registered, GDI+ started: the
// start-up sequence before the main window.
void start_program();

// Start-up clean-up: removes "<this program>.old", the program file that an
// update renamed aside while it was running, and "<this program>.part", a
// download that a crash interrupted.
void remove_replaced_program();

// Ends the program with `exit_code`; the exit routine runs first. From a thread
// other than the UI thread the request is handed to the UI thread.
[[noreturn]] void end_program(int32_t exit_code);

// Releases the application-wide state and stops a running download. Runs once,
// whichever way the program ends.
void exit_routine();

// Adds a step that the exit routine runs after releasing the state (tests use
// it to observe the exit routine from outside the process).
void add_exit_step(void (*step)());

// The whole start-up sequence, the message loop and the end of the program,
// with the account server at `endpoint` (tests point it elsewhere).
int run_program(const std::string& endpoint = TARNIX_ENDPOINT_URL);
