#pragma once

#include "platform/handles_win.h"

#include <mutex>
#include <optional>
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

// The Internet handle and the connection to one server, which any number of
// requests (from several threads at once) can share; each request gets the
// connection's time-outs. Requests are opened and closed on it one at a time:
// WinInet under Wine links them into the connection without a lock of its own,
// and two threads at once broke that list (a crash, or a close that never
// returned).
class InternetConnection {
public:
    // `proxy` is the WinInet proxy list ("" connects directly; none at all
    // takes the system's settings). False, with nothing held, when a handle
    // cannot be opened.
    bool open(const std::string& agent, const std::optional<std::string>& proxy,
              const std::string& host, INTERNET_PORT port, const InternetTimeouts& timeouts);
    void close();

    HINTERNET handle() const { return connection_.get(); }
    const InternetTimeouts& timeouts() const { return timeouts_; }
    std::mutex& requests_lock() const { return requests_lock_; }

private:
    mutable std::mutex requests_lock_;
    InternetHandle internet_;
    InternetHandle connection_;
    InternetTimeouts timeouts_{};
};

class InternetRequest {
public:
    // Opens the three handles (see InternetConnection::open). False, with
    // nothing held, when a handle cannot be opened.
    bool open(const std::string& agent, const std::optional<std::string>& proxy,
              const std::string& host, INTERNET_PORT port, const char* verb,
              const std::string& path, DWORD flags, const InternetTimeouts& timeouts);

    // Opens the request on a connection the caller keeps open longer than this
    // request.
    bool open(const InternetConnection& connection, const char* verb, const std::string& path,
              DWORD flags);

    HINTERNET handle() const { return request_.get(); }

    // Sends the request with `headers` (CRLF-separated lines) and `body`. False
    // when the exchange failed (refused, timed out, reset, closed before an
    // answer, a status outside 100 to 599): then there is no answer to read.
    bool send(const std::string& headers, const char* body, DWORD body_size);

    // The answer's status code (0 before an answer).
    DWORD status() const;

    // A response header as text ("" when absent or too long for 5000 bytes).
    std::string query_text(DWORD what) const;

    // Closes the request (the own connection with it).
    void close();

    InternetRequest() = default;
    InternetRequest(const InternetRequest&) = delete;
    InternetRequest& operator=(const InternetRequest&) = delete;
    ~InternetRequest() { close(); }

private:
    void close_request();

    InternetConnection own_;          // only for the first open(); closed after the request
    std::mutex* opened_on_ = nullptr; // the lock of the connection the request is on
    InternetHandle request_;
};

} // namespace platform
