#include "wire_client.h"

#include <openssl/err.h>
#include <openssl/ssl.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>

namespace wire {

SSL_CTX* client_tls(const std::string& ca_file) {
    SSL_CTX* ctx = SSL_CTX_new(TLS_client_method());
    if (!ctx)
        return nullptr;
    SSL_CTX_set_verify(ctx, SSL_VERIFY_PEER, nullptr);
    if (SSL_CTX_load_verify_locations(ctx, ca_file.c_str(), nullptr) != 1) {
        SSL_CTX_free(ctx);
        return nullptr;
    }
    return ctx;
}

std::string post(const std::string& path, const std::string& body) {
    return "POST " + path +
           " HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Type: application/x-www-form-urlencoded\r\n"
           "Content-Length: " +
           std::to_string(body.size()) + "\r\n\r\n" + body;
}

Connection::~Connection() {
    close();
}

void Connection::close() {
    if (ssl_) {
        SSL_free(ssl_);
        ssl_ = nullptr;
    }
    if (fd_ >= 0) {
        ::close(fd_);
        fd_ = -1;
    }
    buffered_.clear();
}

void Connection::shutdown_writes() {
    if (fd_ >= 0)
        ::shutdown(fd_, SHUT_WR);
}

bool Connection::open(const std::string& source, const std::string& host, int port, SSL_CTX* tls,
                      int timeout_ms) {
    close();
    fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd_ < 0)
        return false;
    timeval tv{timeout_ms / 1000, (timeout_ms % 1000) * 1000};
    setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    setsockopt(fd_, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
    int on = 1;
    setsockopt(fd_, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    if (!source.empty()) {
        // The port is picked at connect, for this destination: bind alone would look
        // for one free of every connection of the address, TIME_WAIT ones too, which
        // after a few thousand connections a second costs more than the request.
        setsockopt(fd_, IPPROTO_IP, IP_BIND_ADDRESS_NO_PORT, &on, sizeof on);
        sockaddr_in from{};
        from.sin_family = AF_INET;
        if (inet_pton(AF_INET, source.c_str(), &from.sin_addr) != 1 ||
            ::bind(fd_, reinterpret_cast<sockaddr*>(&from), sizeof from) != 0) {
            close();
            return false;
        }
    }
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(static_cast<uint16_t>(port));
    if (inet_pton(AF_INET, host.c_str(), &to.sin_addr) != 1 ||
        ::connect(fd_, reinterpret_cast<sockaddr*>(&to), sizeof to) != 0) {
        close();
        return false;
    }
    if (tls) {
        ssl_ = SSL_new(tls);
        SSL_set_fd(ssl_, fd_);
        SSL_set1_host(ssl_, host.c_str());
        if (SSL_connect(ssl_) != 1) {
            ERR_clear_error();
            close();
            return false;
        }
    }
    return true;
}

bool Connection::send(const std::string& bytes) {
    size_t done = 0;
    while (done < bytes.size()) {
        long n = ssl_ ? SSL_write(ssl_, bytes.data() + done, static_cast<int>(bytes.size() - done))
                      : ::send(fd_, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
        if (n <= 0)
            return false;
        done += static_cast<size_t>(n);
    }
    return true;
}

long Connection::receive(char* buf, size_t n) {
    if (fd_ < 0)
        return -1;
    return ssl_ ? SSL_read(ssl_, buf, static_cast<int>(n)) : ::recv(fd_, buf, n, 0);
}

bool Connection::read(Reply& reply) {
    reply = Reply();
    char buf[16384];
    size_t end;
    while ((end = buffered_.find("\r\n\r\n")) == std::string::npos) {
        long n = receive(buf, sizeof buf);
        if (n <= 0)
            return false;
        buffered_.append(buf, static_cast<size_t>(n));
    }
    reply.headers = buffered_.substr(0, end + 2);
    if (reply.headers.compare(0, 5, "HTTP/") != 0 || reply.headers.size() < 12)
        return false;
    reply.status = std::atoi(reply.headers.c_str() + 9);
    size_t length = 0;
    for (size_t at = 0; (at = reply.headers.find("\r\n", at)) != std::string::npos;) {
        at += 2;
        if (strncasecmp(reply.headers.c_str() + at, "Content-Length:", 15) == 0)
            length = std::strtoul(reply.headers.c_str() + at + 15, nullptr, 10);
    }
    buffered_.erase(0, end + 4);
    while (buffered_.size() < length) {
        long n = receive(buf, sizeof buf);
        if (n <= 0)
            return false;
        buffered_.append(buf, static_cast<size_t>(n));
    }
    reply.body = buffered_.substr(0, length);
    buffered_.erase(0, length);
    return true;
}

bool Connection::closed_within(int timeout_ms) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    char buf[4096];
    while (std::chrono::steady_clock::now() < deadline) {
        pollfd p{fd_, POLLIN, 0};
        int left = static_cast<int>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                        deadline - std::chrono::steady_clock::now())
                                        .count());
        if (::poll(&p, 1, left > 0 ? left : 0) <= 0)
            return false;
        long n = ::recv(fd_, buf, sizeof buf, 0); // raw bytes: TLS records are not decoded
        if (n <= 0)
            return true;
    }
    return false;
}

} // namespace wire
