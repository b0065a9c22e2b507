#include "engine.h"

#include <microhttpd.h>

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <exception>
#include <mutex>
#include <thread>
#include <unordered_map>

namespace server {

namespace {

int64_t now_ms() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

// One request while it is being read.
struct Pending {
    std::string body;
    bool too_large = false;
    bool answered = false;
    std::string url;
    std::string method;
};

// The peer as text for the log and as bytes for per-address limits; an IPv6
// client controls a whole /64, so that is what it counts as.
void describe_peer(const sockaddr* sa, std::string& text, std::string& key) {
    char buf[INET6_ADDRSTRLEN] = "?";
    if (sa && sa->sa_family == AF_INET) {
        const auto* in = reinterpret_cast<const sockaddr_in*>(sa);
        inet_ntop(AF_INET, &in->sin_addr, buf, sizeof buf);
        key.assign(reinterpret_cast<const char*>(&in->sin_addr), 4);
    } else if (sa && sa->sa_family == AF_INET6) {
        const auto* in6 = reinterpret_cast<const sockaddr_in6*>(sa);
        inet_ntop(AF_INET6, &in6->sin6_addr, buf, sizeof buf);
        key.assign(reinterpret_cast<const char*>(&in6->sin6_addr), 8);
    }
    text = buf;
}

} // namespace

struct Engine::Impl {
    EngineConfig config;
    Handler handler;
    MHD_Daemon* daemon = nullptr;
    int listen_fd = -1;
    bool ipv6 = false;
    int port = 0;

    // Every open connection with the time by which its request must have arrived
    // (0 while an answer is being sent).
    struct Tracked {
        int fd;
        int64_t deadline;
    };
    std::mutex mutex;
    std::condition_variable wake;
    bool stopping = false;
    std::unordered_map<MHD_Connection*, Tracked> connections;
    std::thread watchdog;

    int64_t next_deadline() const { return now_ms() + config.timeout_seconds * 1000LL; }

    void set_deadline(MHD_Connection* c, int64_t deadline) {
        std::lock_guard<std::mutex> lock(mutex);
        auto it = connections.find(c);
        if (it != connections.end())
            it->second.deadline = deadline;
    }

    // Shuts down the reading side (without closing: the descriptor stays the
    // engine's) of every connection past its deadline; the engine then sees the
    // end and closes it, and a request cut short can still be answered. Again
    // at every period until it is gone: a byte that arrived just before the cut
    // is read instead of the end, and the engine then waits for the next byte,
    // which a client that keeps sending always provides.
    void watch() {
        const auto period = std::chrono::milliseconds(
            config.timeout_seconds >= 4 ? 1000 : 250 * config.timeout_seconds);
        std::unique_lock<std::mutex> lock(mutex);
        while (!stopping) {
            wake.wait_for(lock, period);
            const int64_t now = now_ms();
            for (auto& entry : connections) {
                Tracked& t = entry.second;
                if (t.deadline != 0 && t.deadline <= now)
                    ::shutdown(t.fd, SHUT_RD);
            }
        }
    }

    Response respond(MHD_Connection* c, const char* url, const char* method, Pending& pending,
                     Request::Kind kind) {
        pending.answered = true;
        Request req;
        req.kind = kind;
        req.method = method ? method : "";
        req.path = url ? url : "";
        const MHD_ConnectionInfo* info =
            MHD_get_connection_info(c, MHD_CONNECTION_INFO_CLIENT_ADDRESS);
        describe_peer(info ? info->client_addr : nullptr, req.client, req.client_key);
        req.body = std::move(pending.body);
        req.header = [c](const char* name) {
            const char* v = MHD_lookup_connection_value(c, MHD_HEADER_KIND, name);
            return std::string(v ? v : "");
        };
        try {
            return handler(req);
        } catch (const std::exception&) {
            Response res;
            res.status = 500;
            res.close = true;
            return res;
        }
    }

    // Writes a short text answer straight to the socket the library is closing.
    void answer_cut_short(MHD_Connection* c, Pending& pending) {
        const MHD_ConnectionInfo* info =
            MHD_get_connection_info(c, MHD_CONNECTION_INFO_CONNECTION_FD);
        if (!info)
            return;
        Response res = respond(c, pending.url.c_str(), pending.method.c_str(), pending,
                               Request::Kind::CutShort);
        if (res.fd >= 0)
            ::close(res.fd);
        const char* reason = MHD_get_reason_phrase_for(static_cast<unsigned>(res.status));
        std::string raw = "HTTP/1.1 " + std::to_string(res.status) + " " + reason +
                          "\r\nConnection: close\r\nContent-Type: " + res.content_type +
                          "\r\nContent-Length: " + std::to_string(res.body.size()) + "\r\n\r\n" +
                          res.body;
        ::send(info->connect_fd, raw.data(), raw.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
    }

    void answer(MHD_Connection* c, const char* url, const char* method, Pending& pending,
                Request::Kind kind) {
        Response res = respond(c, url, method, pending, kind);
        MHD_Response* r = nullptr;
        if (res.fd >= 0 && res.length > 0) {
            r = MHD_create_response_from_fd_at_offset64(res.length, res.fd, res.offset);
        } else {
            if (res.fd >= 0)
                ::close(res.fd);
            if (res.data)
                r = MHD_create_response_from_buffer(static_cast<size_t>(res.length),
                                                    const_cast<char*>(res.data + res.offset),
                                                    MHD_RESPMEM_PERSISTENT);
            else
                r = MHD_create_response_from_buffer(res.body.size(), res.body.data(),
                                                    MHD_RESPMEM_MUST_COPY);
        }
        if (!r)
            return; // out of memory: the connection is closed without an answer
        if (!res.content_type.empty())
            MHD_add_response_header(r, MHD_HTTP_HEADER_CONTENT_TYPE, res.content_type.c_str());
        for (const auto& h : res.headers)
            MHD_add_response_header(r, h.first.c_str(), h.second.c_str());
        if (res.close)
            MHD_add_response_header(r, MHD_HTTP_HEADER_CONNECTION, "close");
        set_deadline(c, 0);
        MHD_queue_response(c, static_cast<unsigned>(res.status), r);
        MHD_destroy_response(r);
    }
};

namespace {

MHD_Result on_request(void* cls, MHD_Connection* c, const char* url, const char* method,
                      const char*, const char* upload_data, size_t* upload_size, void** state) {
    auto* impl = static_cast<Engine::Impl*>(cls);
    auto* pending = static_cast<Pending*>(*state);
    if (!pending) {
        pending = new Pending;
        pending->url = url ? url : "";
        pending->method = method ? method : "";
        *state = pending;
        const MHD_ConnectionInfo* info =
            MHD_get_connection_info(c, MHD_CONNECTION_INFO_REQUEST_HEADER_SIZE);
        if (info && info->header_size > impl->config.max_header_bytes) {
            impl->answer(c, url, method, *pending, Request::Kind::HeadersTooLarge);
            return MHD_YES;
        }
        // A declared length over the limit is refused before any of the body is read.
        const char* length = MHD_lookup_connection_value(c, MHD_HEADER_KIND, "Content-Length");
        if (length && (std::strlen(length) > 15 ||
                       std::strtoull(length, nullptr, 10) > impl->config.max_body_bytes)) {
            impl->answer(c, url, method, *pending, Request::Kind::BodyTooLarge);
        }
        return MHD_YES;
    }
    if (*upload_size != 0) {
        if (!pending->answered && !pending->too_large) {
            if (pending->body.size() + *upload_size > impl->config.max_body_bytes) {
                // A body without a declared length: read to its end, keep none of it.
                pending->too_large = true;
                std::string().swap(pending->body);
            } else {
                pending->body.append(upload_data, *upload_size);
            }
        }
        *upload_size = 0;
        return MHD_YES;
    }
    if (!pending->answered)
        impl->answer(c, url, method, *pending,
                     pending->too_large ? Request::Kind::BodyTooLarge : Request::Kind::Normal);
    return MHD_YES;
}

void on_completed(void* cls, MHD_Connection* c, void** state, MHD_RequestTerminationCode toe) {
    auto* impl = static_cast<Engine::Impl*>(cls);
    auto* pending = static_cast<Pending*>(*state);
    *state = nullptr;
    // A body that did not arrive in full (the client stopped sending, or ended its
    // side early): the library only closes the connection, but the client can
    // still read why.
    if (pending && !pending->answered && impl->config.tls_cert_pem.empty() &&
        toe != MHD_REQUEST_TERMINATED_COMPLETED_OK && toe != MHD_REQUEST_TERMINATED_DAEMON_SHUTDOWN)
        impl->answer_cut_short(c, *pending);
    delete pending;
    // The next request (or the end of a kept-alive connection) has the full time again.
    impl->set_deadline(c, impl->next_deadline());
}

void on_connection(void* cls, MHD_Connection* c, void**, MHD_ConnectionNotificationCode code) {
    auto* impl = static_cast<Engine::Impl*>(cls);
    std::lock_guard<std::mutex> lock(impl->mutex);
    if (code == MHD_CONNECTION_NOTIFY_STARTED) {
        const MHD_ConnectionInfo* info =
            MHD_get_connection_info(c, MHD_CONNECTION_INFO_CONNECTION_FD);
        if (info)
            impl->connections[c] = Engine::Impl::Tracked{info->connect_fd, impl->next_deadline()};
    } else {
        impl->connections.erase(c);
    }
}

bool resolve(const std::string& host, int port, sockaddr_storage& addr, std::string& error) {
    std::memset(&addr, 0, sizeof addr);
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_PASSIVE;
    addrinfo* found = nullptr;
    int rc = getaddrinfo(host.c_str(), std::to_string(port).c_str(), &hints, &found);
    if (rc != 0 || !found) {
        error = "cannot resolve " + host + ": " + gai_strerror(rc);
        return false;
    }
    std::memcpy(&addr, found->ai_addr, found->ai_addrlen);
    freeaddrinfo(found);
    return true;
}

} // namespace

Engine::Engine(EngineConfig config) : impl_(new Impl) {
    impl_->config = std::move(config);
}

Engine::~Engine() {
    stop();
    if (impl_->listen_fd >= 0)
        ::close(impl_->listen_fd);
}

bool Engine::listen(std::string& error) {
    const EngineConfig& cfg = impl_->config;
    sockaddr_storage addr;
    if (!resolve(cfg.host, cfg.port, addr, error))
        return false;
    int fd = ::socket(addr.ss_family, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    int on = 1;
    socklen_t len = addr.ss_family == AF_INET6 ? sizeof(sockaddr_in6) : sizeof(sockaddr_in);
    if (fd < 0 || ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on) != 0 ||
        ::bind(fd, reinterpret_cast<sockaddr*>(&addr), len) != 0 ||
        ::listen(fd, cfg.backlog) != 0 ||
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len) != 0) {
        error = "cannot listen on " + cfg.host + ":" + std::to_string(cfg.port) + ": " +
                std::strerror(errno);
        if (fd >= 0)
            ::close(fd);
        return false;
    }
    impl_->listen_fd = fd;
    impl_->ipv6 = addr.ss_family == AF_INET6;
    impl_->port = ntohs(impl_->ipv6 ? reinterpret_cast<sockaddr_in6*>(&addr)->sin6_port
                                    : reinterpret_cast<sockaddr_in*>(&addr)->sin_port);
    return true;
}

bool Engine::start(Handler handler, std::string& error) {
    const EngineConfig& cfg = impl_->config;
    impl_->handler = std::move(handler);
    unsigned flags = MHD_USE_EPOLL_INTERNAL_THREAD | MHD_USE_ITC;
    if (impl_->ipv6)
        flags |= MHD_USE_IPv6;
    const bool tls = !cfg.tls_cert_pem.empty();
    if (tls)
        flags |= MHD_USE_TLS;
    MHD_OptionItem tls_options[] = {
        {tls ? MHD_OPTION_HTTPS_MEM_KEY : MHD_OPTION_END, 0,
         const_cast<char*>(cfg.tls_key_pem.c_str())},
        {MHD_OPTION_HTTPS_MEM_CERT, 0, const_cast<char*>(cfg.tls_cert_pem.c_str())},
        // Nothing older than TLS 1.2.
        {MHD_OPTION_HTTPS_PRIORITIES, 0,
         const_cast<char*>("NORMAL:-VERS-ALL:+VERS-TLS1.3:+VERS-TLS1.2")},
        {MHD_OPTION_END, 0, nullptr},
    };
    // Request headers are read into the connection's memory pool; the rest of the
    // pool is the read buffer and the answer's headers.
    const size_t pool = cfg.max_header_bytes + 16 * 1024;
    impl_->daemon = MHD_start_daemon(
        flags, 0, nullptr, nullptr, &on_request, impl_.get(), MHD_OPTION_LISTEN_SOCKET,
        impl_->listen_fd, MHD_OPTION_THREAD_POOL_SIZE, static_cast<unsigned>(cfg.threads),
        MHD_OPTION_CONNECTION_LIMIT, static_cast<unsigned>(cfg.max_connections),
        MHD_OPTION_PER_IP_CONNECTION_LIMIT, static_cast<unsigned>(cfg.max_per_address),
        MHD_OPTION_CONNECTION_TIMEOUT, static_cast<unsigned>(cfg.timeout_seconds),
        MHD_OPTION_CONNECTION_MEMORY_LIMIT, pool, MHD_OPTION_NOTIFY_COMPLETED, &on_completed,
        impl_.get(), MHD_OPTION_NOTIFY_CONNECTION, &on_connection, impl_.get(), MHD_OPTION_ARRAY,
        tls_options, MHD_OPTION_END);
    if (!impl_->daemon) {
        error = tls ? "cannot start HTTPS (is the certificate and key pair valid?)"
                    : "cannot start the HTTP engine";
        return false;
    }
    impl_->listen_fd = -1; // the engine's now, closed by MHD_stop_daemon
    impl_->watchdog = std::thread([this] { impl_->watch(); });
    return true;
}

int Engine::port() const {
    return impl_->port;
}

void Engine::stop() {
    if (!impl_->daemon)
        return;
    {
        std::lock_guard<std::mutex> lock(impl_->mutex);
        impl_->stopping = true;
    }
    impl_->wake.notify_all();
    impl_->watchdog.join();
    MHD_stop_daemon(impl_->daemon);
    impl_->daemon = nullptr;
}

} // namespace server
