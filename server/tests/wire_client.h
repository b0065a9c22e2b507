// A small blocking HTTP/1.1 client for the server's tests and its load tool: it
// can pick its source address (to stand for different clients on loopback), send
// arbitrary bytes (slow, partial or pipelined requests) and speak TLS (OpenSSL).
#pragma once

#include <string>

typedef struct ssl_ctx_st SSL_CTX;
typedef struct ssl_st SSL;

namespace wire {

struct Reply {
    int status = 0;
    std::string headers; // the raw header block
    std::string body;
};

// A client TLS context that trusts only `ca_file` (PEM); nullptr on failure.
SSL_CTX* client_tls(const std::string& ca_file);

// "POST path" with a form body, as the client sends it.
std::string post(const std::string& path, const std::string& body);

class Connection {
public:
    Connection() = default;
    ~Connection();
    Connection(const Connection&) = delete;
    Connection& operator=(const Connection&) = delete;

    // Connects from `source` ("" = any) to host:port, then runs the TLS handshake
    // when `tls` is given. Reads and writes give up after `timeout_ms`.
    bool open(const std::string& source, const std::string& host, int port, SSL_CTX* tls = nullptr,
              int timeout_ms = 5000);
    bool send(const std::string& bytes);
    // Reads one answer (its body by Content-Length); false on an error, time-out or end.
    bool read(Reply& reply);
    // True when the server ends the connection within `timeout_ms` (what it sends
    // meanwhile is dropped).
    bool closed_within(int timeout_ms);
    void close();
    // Tells the server nothing more will be sent (plain connections only).
    void shutdown_writes();
    bool is_open() const { return fd_ >= 0; }
    // Hands the socket of a plain connection over to the caller.
    int release() {
        int fd = fd_;
        fd_ = -1;
        return fd;
    }

    // Sends one request and reads its answer.
    bool exchange(const std::string& request, Reply& reply) { return send(request) && read(reply); }

private:
    long receive(char* buf, size_t n);
    int fd_ = -1;
    SSL* ssl_ = nullptr;
    std::string buffered_;
};

} // namespace wire
