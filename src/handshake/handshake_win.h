#pragma once

#include <string>

// The start-up handshake with the account server: a worker thread tests the
// connection and fetches the status record while the UI thread waits in
// message-pumping slices, then applies the result to the main window.

enum class HandshakeOutcome {
    Connected,  // sign-in page shown, announcement and version filled
    Failed,     // "连接服务器失败" shown on the connecting page
    NewVersion, // the server names another client version: the update flow is the caller's
};

// The last steps of the main window's creation handler: sets the endpoint,
// starts the worker and runs the status step. Runs once per program run.
HandshakeOutcome handshake_start();

// Test seam: the endpoint the next handshake uses instead of the built-in one.
void set_endpoint_override(std::string url);
