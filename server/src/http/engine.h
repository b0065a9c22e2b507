// The HTTP engine: event loops (one thread each, epoll, a listening socket of its
// own on the shared port) that read whole requests within bounds and hand each to
// one handler. The kernel spreads new connections over the loops' sockets
// (SO_REUSEPORT), so a connection wakes one thread, not all of them.
//
// Bounds: connections in all and per client address, request header bytes, body
// bytes, and time. A request must arrive in full within `timeout_seconds` of the
// connection opening or of the previous answer; a connection that sends nothing
// for that long is closed too. The library's own time-out only counts silence, so
// a client trickling one byte a second would otherwise hold its connection forever.
// While an answer is sent, that silence is the library's: a client that reads so
// little that nothing more can be written for `timeout_seconds` loses the
// connection, with a reset, so the rest already queued in the kernel goes too.
//
// The connection limits count connections from their accept until the answer
// that ends them has been sent: a connection the engine is closing no longer
// counts, so a client behind a shared address that opens its next connection at
// once is not refused for the one still closing. Loops accepting at the same
// instant may each admit one connection over a limit.
//
// HTTPS issues session tickets (TLS 1.3, and TLS 1.2 tickets), so a returning
// client resumes its session without a full handshake. The ticket key is this
// process's own, replaced daily, or read from `tls_ticket_key_file` (128 hex
// digits), which instances that share it agree on; that file is read again every
// minute, so replacing it rotates the key. The file is refused (start() fails; a
// later read keeps the key before) when its group or others may read or write it.
// GnuTLS derives the key that encrypts tickets from it anew for every ticket
// lifetime.
#pragma once

#include "base/policy.h"
#include "http/proxy_header.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace server {

// Made from the settings (engine_config and admin_engine_config in configs.h),
// which hold the listeners' own values. The defaults here only make sure that a
// config filled in part is still bounded: one loop on loopback, a few connections,
// small headers and no body.
struct EngineConfig {
    std::string host = "127.0.0.1";
    int port = 0;    // 0: any free port
    int threads = 1; // event loops; 0: one per core
    int timeout_seconds = 10;
    int max_connections = 16;
    int max_per_address = 16;
    size_t max_header_bytes = 4096;
    size_t max_body_bytes = 0;
    int backlog = 16;
    std::string tls_cert_pem; // both empty: plain HTTP
    std::string tls_key_pem;
    std::string tls_ticket_key_file;          // empty: a random key of this process
    int64_t ticket_key_seconds = kDaySeconds; // a random ticket key is replaced this often
    // Proxies in front: a connection from one of these must begin with a PROXY
    // header, whose client is the connection's peer from then on (proxy_gate.h).
    // Empty: every peer is the client.
    std::vector<AddressRange> proxy_from;
};

// One request, as the handler sees it. Its texts are the engine's and stay valid
// while the handler runs: it copies what it keeps.
struct Request {
    Request(std::string_view request_method, std::string_view request_path,
            const std::string& client_text, const std::string& client_bytes)
        : method(request_method), path(request_path), client(client_text),
          client_key(client_bytes) {}

    // CutShort: the body did not arrive in full (within the time-out, or before the
    // client ended its side); the answer is written as the connection closes
    // (plain HTTP only).
    enum class Kind { Normal, BodyTooLarge, HeadersTooLarge, CutShort };
    Kind kind = Kind::Normal;
    std::string_view method;
    std::string_view path;
    // The peer's address (behind a proxy in front, the client's from its header) as
    // text (the log, the exempt list) and as bytes (IPv6: its /64) for limits. An
    // IPv4 client of a dual-stack listener (::ffff:a.b.c.d) is its IPv4 address in
    // both. Described once per connection.
    const std::string& client;
    const std::string& client_key;
    // From the proxy's header: the client reached the proxy over TLS; the connection
    // is the proxy's own (LOCAL), which only its health checks use.
    bool over_tls = false;
    bool proxy_local = false;
    std::string body;
    std::function<std::string(const char*)> header; // "" when absent
};

struct Response {
    int status = 200;
    const char* content_type = ""; // a literal, or a text that outlives the engine
    std::vector<std::pair<std::string, std::string>> headers;
    bool close = false; // end the connection after this answer

    // The body: `body`, or `length` bytes of a file from `offset` (the engine
    // takes `fd` over), or `length` bytes at `data` that outlive the engine.
    std::string body;
    int fd = -1;
    const char* data = nullptr;
    uint64_t offset = 0;
    uint64_t length = 0;
};

using Handler = std::function<Response(const Request&)>;

class Engine {
public:
    explicit Engine(EngineConfig config);
    ~Engine();
    Engine(const Engine&) = delete;
    Engine& operator=(const Engine&) = delete;

    // Binds and listens; false (with a reason in `error`) when it cannot.
    bool listen(std::string& error);
    // The port listened on (after listen).
    int port() const;
    // Serves every request with `handler` until stop().
    bool start(Handler handler, std::string& error);
    // Stops accepting and closes every connection.
    void stop();
    // Stops accepting (new connections are refused), lets the requests under way
    // finish for up to `max_ms`, then stops. Idle kept-alive connections are closed.
    void drain(int max_ms);

    // A new certificate chain and key (PEM) for the handshakes from now on; the
    // connections already open keep theirs. False, with the reason in `error` and
    // the old pair kept, when the pair does not load, does not match or is not
    // valid now. Any thread; only for an engine started with TLS.
    bool replace_certificate(const std::string& cert_pem, const std::string& key_pem,
                             std::string& error);

    // Connections open now. Any thread.
    int64_t open_connections() const;

    struct Impl;

private:
    std::unique_ptr<Impl> impl_;
};

} // namespace server
