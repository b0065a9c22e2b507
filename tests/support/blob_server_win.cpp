#include <winsock2.h>
#include <ws2tcpip.h>

#include "support/blob_server_win.h"

#include <algorithm>
#include <cctype>
#include <cstdlib>

namespace testsupport {
namespace {

struct ConnectionArg {
    BlobServer* server;
    SOCKET socket;
};

bool send_all(SOCKET s, const char* data, size_t size) {
    while (size > 0) {
        int n = send(s, data, static_cast<int>(std::min<size_t>(size, 64 * 1024)), 0);
        if (n <= 0) {
            return false;
        }
        data += n;
        size -= static_cast<size_t>(n);
    }
    return true;
}

std::string lower(std::string s) {
    for (char& c : s) {
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    }
    return s;
}

// Value of header `name` (lower case) in a request head; empty when absent.
std::string header_value(const std::string& head, const std::string& name) {
    std::string low = lower(head);
    size_t pos = low.find("\r\n" + name + ":");
    if (pos == std::string::npos) {
        return std::string();
    }
    pos += name.size() + 3;
    size_t end = head.find("\r\n", pos);
    std::string v = head.substr(pos, end - pos);
    while (!v.empty() && v.front() == ' ') {
        v.erase(v.begin());
    }
    return v;
}

// "bytes=a-b" or "bytes=a-" within a blob of `size`; false when not satisfiable here.
bool parse_range(const std::string& v, int64_t size, int64_t& first, int64_t& last) {
    if (v.compare(0, 6, "bytes=") != 0) {
        return false;
    }
    char* end = nullptr;
    first = std::strtoll(v.c_str() + 6, &end, 10);
    if (!end || *end != '-') {
        return false;
    }
    ++end;
    last = *end ? std::strtoll(end, nullptr, 10) : size - 1;
    last = std::min(last, size - 1);
    return first >= 0 && first <= last;
}

// Waits until `s` can be read (or accepted from): false once `stopping` is
// set or after `limit_ms`. Polled, because closing or shutting down a socket
// does not end a blocked call on it under Wine.
bool wait_readable(SOCKET s, const std::atomic<bool>& stopping, DWORD limit_ms = INFINITE) {
    const DWORD start = GetTickCount();
    while (!stopping.load()) {
        fd_set set;
        FD_ZERO(&set);
        FD_SET(s, &set);
        timeval tv{0, 50 * 1000};
        int r = select(0, &set, nullptr, nullptr, &tv);
        if (r != 0) {
            return r > 0;
        }
        if (limit_ms != INFINITE && GetTickCount() - start >= limit_ms) {
            return false;
        }
    }
    return false;
}

void close_gracefully(SOCKET s, const std::atomic<bool>& stopping) {
    shutdown(s, SD_SEND);
    char buf[512];
    while (wait_readable(s, stopping, 2000) && recv(s, buf, sizeof(buf), 0) > 0) {
    }
    closesocket(s);
}

} // namespace

std::string make_blob(size_t size, uint32_t seed) {
    std::string out(size, '\0');
    uint32_t x = seed * 2654435761u + 1;
    for (size_t i = 0; i < size; ++i) {
        x ^= x << 13;
        x ^= x >> 17;
        x ^= x << 5;
        out[i] = static_cast<char>(x & 0xFF);
    }
    return out;
}

int refused_port() {
    WSADATA wsa;
    WSAStartup(MAKEWORD(2, 2), &wsa);
    SOCKET s = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(s, reinterpret_cast<sockaddr*>(&addr), sizeof(addr));
    int len = sizeof(addr);
    getsockname(s, reinterpret_cast<sockaddr*>(&addr), &len);
    closesocket(s);
    WSACleanup();
    return ntohs(addr.sin_port);
}

BlobServer::BlobServer(std::string blob, BlobServerOptions options)
    : blob_(std::move(blob)), options_(options) {
    WSADATA wsa;
    wsa_started_ = WSAStartup(MAKEWORD(2, 2), &wsa) == 0;
    SOCKET s = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    if (s == INVALID_SOCKET) {
        return;
    }
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    int len = sizeof(addr);
    if (bind(s, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) != 0 || listen(s, 64) != 0 ||
        getsockname(s, reinterpret_cast<sockaddr*>(&addr), &len) != 0) {
        closesocket(s);
        return;
    }
    port_ = ntohs(addr.sin_port);
    listener_ = static_cast<uintptr_t>(s);
    accept_thread_ = CreateThread(nullptr, 0, accept_main, this, 0, nullptr);
}

BlobServer::~BlobServer() {
    stopping_.store(true);
    if (accept_thread_) {
        WaitForSingleObject(accept_thread_, INFINITE);
        CloseHandle(accept_thread_);
    }
    if (listener_ != INVALID_SOCKET_VALUE) {
        closesocket(static_cast<SOCKET>(listener_));
    }
    // No new connection comes now. End those still served (a blocked recv or
    // send returns at once) and wait for every thread: none may outlive `this`.
    std::vector<HANDLE> threads;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        for (uintptr_t s : open_sockets_) {
            shutdown(static_cast<SOCKET>(s), SD_BOTH);
        }
        threads.swap(connection_threads_);
    }
    for (HANDLE th : threads) {
        WaitForSingleObject(th, INFINITE);
        CloseHandle(th);
    }
    if (wsa_started_) {
        WSACleanup();
    }
}

std::string BlobServer::url(const std::string& path) const {
    return "http://127.0.0.1:" + std::to_string(port_) + path;
}

std::vector<std::string> BlobServer::ranges_asked() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return ranges_;
}

std::vector<std::string> BlobServer::if_ranges_asked() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return if_ranges_;
}

DWORD WINAPI BlobServer::accept_main(LPVOID self) {
    auto* server = static_cast<BlobServer*>(self);
    for (;;) {
        if (!wait_readable(static_cast<SOCKET>(server->listener_), server->stopping_)) {
            if (server->stopping_.load()) {
                return 0;
            }
            continue;
        }
        SOCKET c = accept(static_cast<SOCKET>(server->listener_), nullptr, nullptr);
        if (c == INVALID_SOCKET) {
            if (server->stopping_.load()) {
                return 0;
            }
            continue;
        }
        std::lock_guard<std::mutex> lock(server->mutex_);
        auto* arg = new ConnectionArg{server, c};
        HANDLE th = server->stopping_.load()
                        ? nullptr
                        : CreateThread(nullptr, 0, connection_main, arg, 0, nullptr);
        if (th) {
            server->connection_threads_.push_back(th);
            server->open_sockets_.push_back(static_cast<uintptr_t>(c));
        } else {
            closesocket(c);
            delete arg;
        }
    }
}

DWORD WINAPI BlobServer::connection_main(LPVOID p) {
    auto* arg = static_cast<ConnectionArg*>(p);
    BlobServer* server = arg->server;
    SOCKET s = arg->socket;
    delete arg;
    bool reset = server->serve(static_cast<uintptr_t>(s));
    {
        // Off the list before the handle is freed: the number may be reused.
        std::lock_guard<std::mutex> lock(server->mutex_);
        auto& open = server->open_sockets_;
        open.erase(std::remove(open.begin(), open.end(), static_cast<uintptr_t>(s)), open.end());
    }
    if (reset) {
        // Abortive close: the client sees the connection reset mid-body.
        linger l{1, 0};
        setsockopt(s, SOL_SOCKET, SO_LINGER, reinterpret_cast<const char*>(&l), sizeof(l));
        closesocket(s);
    } else {
        close_gracefully(s, server->stopping_);
    }
    return 0;
}

bool BlobServer::serve(uintptr_t raw) {
    SOCKET s = static_cast<SOCKET>(raw);
    std::string head;
    char buf[4096];
    while (head.find("\r\n\r\n") == std::string::npos) {
        if (!wait_readable(s, stopping_)) {
            return false;
        }
        int n = recv(s, buf, sizeof(buf), 0);
        if (n <= 0) {
            return false;
        }
        head.append(buf, static_cast<size_t>(n));
    }
    const std::string request_line = head.substr(0, head.find("\r\n"));
    const size_t path_end = request_line.rfind(' ');
    const std::string path = request_line.substr(0, path_end);
    if (path.size() >= 4 && path.compare(path.size() - 4, 4, ".sig") == 0) {
        signature_requests_.fetch_add(1);
        std::string answer = options_.signature
                                 ? "HTTP/1.1 200 OK\r\nContent-Type: application/octet-stream\r\n"
                                   "Content-Length: " +
                                       std::to_string(options_.signature->size()) +
                                       "\r\nConnection: close\r\n\r\n" + *options_.signature
                                 : "HTTP/1.1 404 Not Found\r\nContent-Length: 0\r\n"
                                   "Connection: close\r\n\r\n";
        send_all(s, answer.data(), answer.size());
        return false;
    }
    const int index = requests_.fetch_add(1);
    std::string range = header_value(head, "range");
    std::string if_range = header_value(head, "if-range");
    {
        std::lock_guard<std::mutex> lock(mutex_);
        ranges_.push_back(range);
        if_ranges_.push_back(if_range);
    }

    if (options_.error_status != 0) {
        std::string body = "<html><head><title>Not Found</title></head><body><h1>" +
                           std::to_string(options_.error_status) + "</h1></body></html>";
        std::string answer =
            "HTTP/1.1 " + std::to_string(options_.error_status) +
            " Error\r\nContent-Type: text/html\r\nContent-Length: " + std::to_string(body.size()) +
            "\r\nConnection: close\r\n\r\n" + body;
        send_all(s, answer.data(), answer.size());
        return false;
    }

    // The revision this request sees, and how answers name it.
    int revision = 0;
    if (options_.revise_at >= 0 && index >= options_.revise_at) {
        revision = options_.keep_revising ? (index - options_.revise_at + 1) % 2 : 1;
    }
    const std::string& blob = revision == 0 ? blob_ : options_.revised_blob;
    std::string validator_header;
    std::string validator;
    if (options_.validator == BlobServerOptions::Validator::etag) {
        validator = "\"rev-" + std::to_string(revision) + "\"";
        validator_header = "ETag: " + validator + "\r\n";
    } else if (options_.validator == BlobServerOptions::Validator::last_modified) {
        validator =
            revision == 0 ? "Tue, 01 Dec 2026 10:00:00 GMT" : "Wed, 02 Dec 2026 10:00:00 GMT";
        validator_header = "Last-Modified: " + validator + "\r\n";
    }
    const int64_t size = static_cast<int64_t>(blob.size());

    int64_t first = 0;
    int64_t last = size - 1;
    bool partial = options_.ranges && !range.empty() && parse_range(range, size, first, last);
    if (partial && options_.honour_if_range && !if_range.empty() && if_range != validator) {
        partial = false; // another revision: the whole current file
    }
    if (!partial) {
        first = 0;
        last = size - 1;
    }
    int64_t length = last - first + 1;
    std::string answer = partial ? "HTTP/1.1 206 Partial Content\r\n" : "HTTP/1.1 200 OK\r\n";
    answer +=
        "Content-Type: application/octet-stream\r\nContent-Length: " + std::to_string(length) +
        "\r\n" + validator_header;
    if (partial) {
        answer += "Content-Range: bytes " + std::to_string(first) + "-" + std::to_string(last) +
                  "/" + std::to_string(size) + "\r\n";
    }
    if (options_.ranges) {
        answer += "Accept-Ranges: bytes\r\n";
    }
    answer += "Connection: close\r\n\r\n";

    int64_t send_length = length;
    bool drop = false;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (options_.drop_at >= first && options_.drop_at <= last &&
            (options_.drop_times < 0 || drops_done_ < options_.drop_times)) {
            ++drops_done_;
            drop = true;
            send_length = options_.drop_at - first; // cut right before that byte
        }
    }
    if (options_.short_body >= 0) {
        send_length = std::min(send_length, options_.short_body);
    }
    if (send_all(s, answer.data(), answer.size()) && size > 0) {
        const char* data = blob.data() + first;
        int64_t left = send_length;
        while (left > 0 && !stopping_.load()) {
            size_t n = static_cast<size_t>(std::min<int64_t>(left, 64 * 1024));
            if (!send_all(s, data, n)) {
                break;
            }
            data += n;
            left -= static_cast<int64_t>(n);
            if (options_.chunk_delay_ms) {
                Sleep(options_.chunk_delay_ms);
            }
        }
    }
    return drop;
}

} // namespace testsupport
