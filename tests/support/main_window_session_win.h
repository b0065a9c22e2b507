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

} // namespace testsupport
