#pragma once

#include <winsock2.h>
#include <windows.h>

#include <atomic>
#include <cstddef>
#include <deque>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <utility>
#include <vector>

// A scripted HTTP peer for tests: listens on 127.0.0.1 (ephemeral port) inside
// the test process, on a thread of its own. Each connection carries one request:
// the responder records its exact bytes, then plays back the next scripted
// answer byte for byte and closes the connection.
namespace testsupport {

// One request as it arrived on the wire.
struct ReceivedRequest {
    std::string raw;  // exactly the bytes received: head and body
    std::string head; // request line and header lines, ending in "\r\n\r\n"
    std::string body; // the Content-Length bytes after the head (fewer if the peer stopped)

    std::string request_line() const;
    // Header lines in the order sent, without the request line.
    std::vector<std::string> header_lines() const;
    // Trimmed value of the first header named `name` (any letter case); "" when none.
    std::string header(std::string_view name) const;
    bool has_header(std::string_view name) const;
    // The form fields of the body in order, values as sent (not decoded).
    std::vector<std::pair<std::string, std::string>> form() const;
    // Value of the first form field named `name`; nullopt when there is none.
    std::optional<std::string> field(std::string_view name) const;
};

// What the responder does with one connection.
struct ScriptedAnswer {
    std::string bytes;     // written back exactly as they are
    unsigned delay_ms = 0; // wait after the request arrived, before answering
    // Write only this many bytes of the answer, then end the connection (with a
    // reset instead of a normal close when `reset` is set).
    std::optional<size_t> drop_after;
    bool reset = false;
    // Read the request and never answer: the connection stays open until the
    // responder stops.
    bool never_answer = false;
    // When set, the answer's bytes are computed from the request (replaces `bytes`).
    std::function<std::string(const ReceivedRequest&)> compute;
};

// "HTTP/1.1 <status> <reason>" with Content-Length, "Connection: close", the
// extra header lines (each ending in "\r\n") and the body.
std::string http_response(int status, std::string_view body, std::string_view extra_headers = "");
// A 200 answer carrying `body`.
ScriptedAnswer answer_with_body(std::string_view body);

class Responder {
public:
    // Starts listening at once; check ok().
    Responder();
    ~Responder();
    Responder(const Responder&) = delete;
    Responder& operator=(const Responder&) = delete;

    bool ok() const { return port_ != 0; }
    unsigned short port() const { return port_; }
    // "http://127.0.0.1:PORT/tx-client.asp"
    std::string url() const;
    // "http://127.0.0.1:PORT" + path
    std::string url_for(std::string_view path) const;

    // Queues the answer for the next connection not yet answered.
    void script(ScriptedAnswer answer);
    // Queues an answer made of exactly these bytes.
    void script_bytes(std::string bytes);
    void answer_with_body(std::string_view body);
    // Answers connections the queue does not cover (without one: a 500 answer).
    void set_default(std::function<ScriptedAnswer(const ReceivedRequest&)> handler);
    // Called on the responder thread with every request, before it is answered.
    // The client is then blocked waiting for the answer: when the client is the
    // UI thread, the observer must not wait for it (ui::run_on_ui_thread, or
    // SendMessage such as GetWindowTextW on one of its windows, would stall until
    // the client's receive time-out). Reading window state that needs no message
    // (IsWindowEnabled, IsWindowVisible, GetWindowLongPtrW) is safe.
    void on_request(std::function<void(const ReceivedRequest&)> observer);

    std::vector<ReceivedRequest> requests() const;
    size_t request_count() const;
    // Polls until `count` requests arrived or `timeout_ms` passed.
    bool wait_for_requests(size_t count, unsigned timeout_ms) const;

    // Stops the thread and closes every connection (also done by the destructor).
    void stop();

private:
    void run();
    void serve(SOCKET client);
    bool read_request(SOCKET client, ReceivedRequest& request);
    ScriptedAnswer next_answer(const ReceivedRequest& request);

    bool winsock_ = false;
    SOCKET listener_ = INVALID_SOCKET;
    unsigned short port_ = 0;
    std::atomic<bool> stopping_{false};
    std::thread thread_;
    mutable std::mutex mutex_;
    std::deque<ScriptedAnswer> script_;
    std::function<ScriptedAnswer(const ReceivedRequest&)> default_;
    std::function<void(const ReceivedRequest&)> observer_;
    std::vector<ReceivedRequest> requests_;
    std::vector<SOCKET> held_; // connections that are never answered
};

} // namespace testsupport
