#pragma once

#include "handshake/handshake_outcome.h"

#include <string>

// The start-up handshake with the account server: a worker thread tests the
// connection and fetches the status record while the UI thread waits in
// message-pumping slices, then applies the result to the main window.

// The last steps of the main window's creation handler: sets the endpoint,
// starts the worker and runs the status step. The worker only talks to the
// server: it touches neither the application-wide texts nor a control, so the
// exit routine may run at any moment of the wait. `only_forward` (a publisher
// key is built in): only a newer version than the client's own is a new
// version (handshake_outcome.h); the reason another one is not goes to
// OutputDebugString.
HandshakeOutcome handshake_start(const std::string& endpoint, bool only_forward);
