#pragma once

#include "support/responder_win.h"

#include <windows.h>

#include <map>
#include <string>
#include <string_view>
#include <vector>

// The main window as a user meets it, in the test process: a scripted responder
// plays the account server, the handshake is pointed at it and answered
// ("ConnectionOk", then a status record of version 1.001), and the window is
// loaded, which runs the handshake. Afterwards the navigation and the sign-in
// button are enabled and the sign-in page shows; every further request the
// window sends goes to `server`.
namespace testsupport {

struct MainWindowSession {
    Responder server;
    HWND window = nullptr;

    // The handshake's two requests.
    static constexpr size_t kHandshakeRequests = 2;

    // Loads the window; false when the responder or the window did not start.
    bool start();

    // Requests after the handshake's.
    std::vector<ReceivedRequest> account_requests() const;
};

// Reads controls without the UI thread's help. An observer that runs while the
// UI thread is blocked inside a request (a responder callback) cannot use the
// ui:: property functions: they hand their work to the UI thread and would wait
// for it until the request ended. Window handles are looked up beforehand, on
// the UI thread; enabled state and window text are read directly.
class ControlProbe {
public:
    ControlProbe(HWND form, const std::vector<std::string>& names);
    bool disabled(std::string_view name) const;
    std::string text(std::string_view name) const; // GBK

private:
    HWND handle(std::string_view name) const;
    std::map<std::string, HWND, std::less<>> handles_;
};

} // namespace testsupport
