#pragma once

#include "platform/handles_win.h"

#include <string>

// One HTTP request over WinInet, the way every part of the program makes one:
// the Internet handle, the connection and the request, closed in the reverse
// order, with the time-outs set where they take effect.
namespace platform {

struct InternetTimeouts {
    DWORD connect_ms;
    DWORD send_ms;
    DWORD receive_ms;
};

// Sets the time-outs on `handle` (a request handle: WinInet under Wine ignores
// those of the Internet handle); a zero keeps WinInet's own.
void set_timeouts(HINTERNET handle, const InternetTimeouts& timeouts);

class InternetRequest {
public:
    // Opens the three handles. `proxy` is the WinInet proxy list ("" connects
    // directly). The time-outs are set on the request handle: WinInet under Wine
    // ignores those of the Internet handle. False, with nothing held, when a
    // handle cannot be opened.
    bool open(const std::string& agent, const std::string& proxy, const std::string& host,
              INTERNET_PORT port, const char* verb, const std::string& path, DWORD flags,
              const InternetTimeouts& timeouts);

    HINTERNET handle() const { return request_.get(); }

    // Sends the request with `headers` (CRLF-separated lines) and `body`. False
    // when the exchange failed (refused, timed out, reset, closed before an
    // answer, a status outside 100 to 599): then there is no answer to read.
    bool send(const std::string& headers, const char* body, DWORD body_size);

    // A response header as text ("" when absent or too long for 5000 bytes).
    std::string query_text(DWORD what) const;

private:
    InternetHandle internet_;
    InternetHandle connection_;
    InternetHandle request_;
};

} // namespace platform
