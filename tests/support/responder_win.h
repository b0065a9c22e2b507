#pragma once

#include <winsock2.h>
#include <windows.h>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <utility>
#include <vector>

// The tests' loopback HTTP server: listens on 127.0.0.1 (ephemeral port) inside
// the test process and serves each connection on a thread of its own. Each
// connection carries one request: the server records its exact bytes, answers
// it and closes the connection. Answers are either scripted, byte for byte, or
// parts of one blob (for downloads); both can misbehave on purpose.
namespace testsupport {

// One request as it arrived on the wire.
struct ReceivedRequest {
    std::string raw;  // exactly the bytes received: head and body
    std::string head; // request line and header lines, ending in "\r\n\r\n"
    std::string body; // the Content-Length bytes after the head (fewer if the peer stopped)

    std::string request_line() const;
    // The path of the request line.
    std::string path() const;
    // Header lines in the order sent, without the request line.
    std::vector<std::string> header_lines() const;
    // Trimmed value of the first header named `name` (any letter case); "" when none.
    std::string header(std::string_view name) const;
    bool has_header(std::string_view name) const;
    // The Cookie header without the account server's device and install cookies
    // (tx_device_*, tx_install): the tests against the reference server leave those
    // in the shared prefix, where the system sends them to every port of the host.
    // "" for none.
    std::string own_cookies() const;
    // The form fields of the body in order, values as sent (not decoded).
    std::vector<std::pair<std::string, std::string>> form() const;
    // Value of the first form field named `name`; nullopt when there is none.
    std::optional<std::string> field(std::string_view name) const;
};

// What the server does with one connection.
struct ScriptedAnswer {
    std::string bytes;     // written back exactly as they are
    unsigned delay_ms = 0; // wait after the request arrived, before answering
    // Write only this many bytes of the answer, then end the connection (with a
    // reset instead of a normal close when `reset` is set).
    std::optional<size_t> drop_after;
    bool reset = false;
    // Read the request and never answer: the connection stays open until the
    // server stops.
    bool never_answer = false;
    // Pause after every 64 KiB written, to keep a download running.
    unsigned chunk_delay_ms = 0;
    // When set, the answer's bytes are computed from the request (replaces `bytes`).
    std::function<std::string(const ReceivedRequest&)> compute;
};

// How a blob is served: at any path, honouring "Range: bytes=a-b" / "bytes=a-"
// (206 with Content-Range) unless ranges are off, naming the blob's revision
// with an ETag (or Last-Modified), honouring If-Range, with a signature at any
// path ending in ".sig".
struct BlobOptions {
    bool ranges = true;
    // Answers that cover byte `drop_at` (>= 0) are cut (connection reset) right
    // before that byte, `drop_times` times in all (-1 = every time).
    int64_t drop_at = -1;
    int drop_times = 0;
    // Every answer sends only this many body bytes of what it announces (-1 = all).
    int64_t short_body = -1;
    // Every answer is this status with an HTML body (0 = serve the blob).
    int error_status = 0;
    // Pause after every 64 KiB of body sent, to keep a download running.
    unsigned chunk_delay_ms = 0;
    // How answers name the blob's revision.
    enum class Validator { etag, last_modified, none };
    Validator validator = Validator::etag;
    // Another revision of the same file: served from the `revise_at`-th request
    // of the file on (counted from 0; -1 never); with `keep_revising`, every
    // request from then on serves the revision the previous one did not.
    std::string revised_blob;
    int revise_at = -1;
    bool keep_revising = false;
    // An If-Range naming another revision gets the whole file (200), unless off.
    bool honour_if_range = true;
    // The body served at any path ending in ".sig" (none: 404).
    std::optional<std::string> signature;
};

// A request of a blob's signature: its path ends in ".sig".
bool is_signature_request(const ReceivedRequest& request);

// "HTTP/1.1 <status> <reason>" with Content-Length, "Connection: close", the
// extra header lines (each ending in "\r\n") and the body.
std::string http_response(int status, std::string_view body, std::string_view extra_headers = "");
// A 200 answer carrying `body`.
ScriptedAnswer answer_with_body(std::string_view body);

class Responder {
public:
    // Starts listening at once; check ok(). Answers come from the script.
    Responder();
    // Serves `blob` at every path.
    explicit Responder(std::string blob, BlobOptions options = {});
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
    // Hands `task` to the UI thread (posted: the server never waits for it) when
    // a request with exactly this body arrives, before it is answered.
    void post_on_request(std::string body, void (*task)());

    std::vector<ReceivedRequest> requests() const;
    size_t request_count() const;
    // Polls until `count` requests arrived or `timeout_ms` passed.
    bool wait_for_requests(size_t count, unsigned timeout_ms) const;

    // Of a blob: the requests of the file (not of its signature), their Range
    // and If-Range headers in arrival order ("" for none), and the requests of
    // the signature.
    int file_requests() const;
    std::vector<std::string> ranges_asked() const;
    std::vector<std::string> if_ranges_asked() const;
    int signature_requests() const;

    // Ends every connection and waits for their threads (also done by the
    // destructor): no thread outlives the server.
    void stop();

private:
    void run();
    void serve(SOCKET client);
    bool read_request(SOCKET client, ReceivedRequest& request);
    ScriptedAnswer next_answer(const ReceivedRequest& request, int file_index);
    ScriptedAnswer blob_answer(const ReceivedRequest& request, int file_index);
    std::vector<std::string> file_headers(std::string_view name) const;

    bool winsock_ = false;
    SOCKET listener_ = INVALID_SOCKET;
    unsigned short port_ = 0;
    std::atomic<bool> stopping_{false};
    std::thread thread_;
    mutable std::mutex mutex_;
    std::deque<ScriptedAnswer> script_;
    std::function<ScriptedAnswer(const ReceivedRequest&)> default_;
    std::string post_body_;
    void (*post_task_)() = nullptr;
    std::vector<ReceivedRequest> requests_;
    std::vector<std::thread> connections_;
    std::vector<SOCKET> open_;
    std::vector<SOCKET> held_; // connections that are never answered
    std::optional<std::string> blob_;
    BlobOptions blob_options_;
    int drops_done_ = 0;
};

// A port on 127.0.0.1 on which nothing listens (connections are refused).
int refused_port();

// `size` bytes of a fixed pseudo-random pattern.
std::string make_blob(size_t size, uint32_t seed = 1);

} // namespace testsupport
