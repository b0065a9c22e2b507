// The HTTP engine: an event-driven listener (epoll and a pool of threads) that
// reads whole requests within bounds and hands each to one handler.
//
// Bounds: connections in all and per client address, request header bytes, body
// bytes, and time. A request must arrive in full within `timeout_seconds` of the
// connection opening or of the previous answer; a connection that sends nothing
// for that long is closed too. The library's own time-out only counts silence, so
// a client trickling one byte a second would otherwise hold its connection forever.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <utility>
#include <vector>

namespace server {

struct EngineConfig {
    std::string host = "127.0.0.1";
    int port = 8866; // 0: any free port
    int threads = 4;
    int timeout_seconds = 10;
    int max_connections = 1024;
    int max_per_address = 64;
    size_t max_header_bytes = 16 * 1024;
    size_t max_body_bytes = 64 * 1024;
    int backlog = 1024;
    std::string tls_cert_pem; // both empty: plain HTTP
    std::string tls_key_pem;
};

struct Request {
    // CutShort: the body did not arrive in full (within the time-out, or before the
    // client ended its side); the answer is written as the connection closes
    // (plain HTTP only).
    enum class Kind { Normal, BodyTooLarge, HeadersTooLarge, CutShort };
    Kind kind = Kind::Normal;
    std::string method;
    std::string path;
    std::string client;     // the peer's address as text, for the log
    std::string client_key; // the peer's address as bytes (IPv6: its /64), for limits
    std::string body;
    std::function<std::string(const char*)> header; // "" when absent
};

struct Response {
    int status = 200;
    std::string content_type;
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

    struct Impl;

private:
    std::unique_ptr<Impl> impl_;
};

} // namespace server
