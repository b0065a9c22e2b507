#include "http/engine.h"

#include "base/clock.h"
#include "base/worker.h"
#include "http/connection_limits.h"
#include "http/connection_state.h"
#include "http/request_headers.h"
#include "http/sockets.h"
#include "http/tls.h"

#include <microhttpd.h>

#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <exception>
#include <mutex>
#include <thread>
#include <unordered_map>
#include <vector>

namespace server {

struct Engine::Impl {
    explicit Impl(EngineConfig c)
        : config(std::move(c)), limits(config.max_connections, config.max_per_address) {}

    EngineConfig config;
    Handler handler;
    std::vector<MHD_Daemon*> daemons; // one per event loop
    std::vector<int> listen_fds;      // until the loops take them over
    bool ipv6 = false;
    int port = 0;

    std::mutex mutex;
    std::condition_variable wake;
    bool stopping = false;
    std::unordered_map<MHD_Connection*, ConnectionState> connections;
    ConnectionLimits limits;
    std::thread watchdog;
    // Requests between their first byte and the end of their answer (for drain).
    std::atomic<int> in_flight{0};
    // Every pair loaded, the current one last: a handshake under way may still use
    // an older one, so they are freed only when the engine stops (a few per reload).
    std::vector<std::unique_ptr<Credentials>> credentials;
    std::atomic<Credentials*> current{nullptr};
    bool owns_tls = false;

    void stop_loops();

    // The master key of the session tickets (refreshed under the mutex).
    TicketKey ticket_key;

    // With the mutex held.
    bool refresh_ticket_key(int64_t now, std::string& error) {
        return server::refresh_ticket_key(ticket_key, config.tls_ticket_key_file,
                                          config.ticket_key_seconds, now, error);
    }

    void count(ConnectionState& t) { limits.count(t.key, t.counted); }
    void uncount(ConnectionState& t) { limits.uncount(t.key, t.counted); }

    int64_t next_deadline() const { return monotonic_ms() + config.timeout_seconds * 1000LL; }

    // The connection's own state (set when it started).
    static ConnectionState* tracked(MHD_Connection* c) {
        const MHD_ConnectionInfo* info =
            MHD_get_connection_info(c, MHD_CONNECTION_INFO_SOCKET_CONTEXT);
        return info && info->socket_context
                   ? static_cast<ConnectionState*>(static_cast<TlsContext*>(info->socket_context))
                   : nullptr;
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
            const int64_t now = monotonic_ms();
            for (auto& entry : connections) {
                ConnectionState& t = entry.second;
                const int64_t deadline = t.deadline.load(std::memory_order_relaxed);
                if (deadline != 0 && deadline <= now)
                    ::shutdown(t.fd, SHUT_RD);
            }
            // A key file that cannot be read now keeps the key read before.
            std::string ignored;
            if (!config.tls_cert_pem.empty())
                refresh_ticket_key(now, ignored);
        }
    }

    Response respond(MHD_Connection* c, const char* url, const char* method, ConnectionState& t,
                     Request::Kind kind) {
        Pending& pending = t.pending;
        pending.answered = true;
        Request req(method ? method : "", url ? url : "", t.client, t.key);
        req.kind = kind;
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
    void answer_cut_short(MHD_Connection* c, ConnectionState& t) {
        const Pending& pending = t.pending;
        Response res =
            respond(c, pending.url.c_str(), pending.method.c_str(), t, Request::Kind::CutShort);
        if (res.fd >= 0)
            ::close(res.fd);
        const char* reason = MHD_get_reason_phrase_for(static_cast<unsigned>(res.status));
        std::string raw =
            "HTTP/1.1 " + std::to_string(res.status) + " " + reason +
            "\r\nConnection: close\r\nContent-Type: " + std::string(res.content_type) +
            "\r\nContent-Length: " + std::to_string(res.body.size()) + "\r\n\r\n" + res.body;
        ::send(t.fd, raw.data(), raw.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
    }

    void answer(MHD_Connection* c, const char* url, const char* method, ConnectionState& t,
                Request::Kind kind) {
        Response res = respond(c, url, method, t, kind);
        t.pending.closing = t.pending.closing || res.close;
        t.deadline.store(0, std::memory_order_relaxed);
        const auto status = static_cast<unsigned>(res.status);
        const bool plain = res.fd < 0 && !res.data && res.headers.empty() && !res.close &&
                           res.body.size() <= kLastAnswerBytes;
        ConnectionState::LastAnswer& last = t.last;
        if (plain && last.response && last.status == res.status && last.body == res.body &&
            std::strcmp(last.content_type, res.content_type) == 0) {
            MHD_queue_response(c, status, last.response);
            return;
        }
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
        if (*res.content_type)
            MHD_add_response_header(r, MHD_HTTP_HEADER_CONTENT_TYPE, res.content_type);
        for (const auto& h : res.headers)
            MHD_add_response_header(r, h.first.c_str(), h.second.c_str());
        if (res.close)
            MHD_add_response_header(r, MHD_HTTP_HEADER_CONNECTION, "close");
        MHD_queue_response(c, status, r);
        if (!plain) {
            MHD_destroy_response(r);
            return;
        }
        if (last.response)
            MHD_destroy_response(last.response);
        last.response = r;
        last.status = res.status;
        last.content_type = res.content_type;
        last.body = std::move(res.body);
    }
};

namespace {

MHD_Result on_request(void* cls, MHD_Connection* c, const char* url, const char* method,
                      const char* version, const char* upload_data, size_t* upload_size,
                      void** state) {
    auto* impl = static_cast<Engine::Impl*>(cls);
    // The request's state is its connection's, found once, at its first call.
    auto* t = static_cast<ConnectionState*>(*state);
    if (!t) {
        t = Engine::Impl::tracked(c);
        if (!t)
            return MHD_NO; // not a connection the engine started: close it
        impl->in_flight.fetch_add(1, std::memory_order_relaxed);
        Pending* pending = &t->pending;
        pending->begin(url, method);
        const FramingHeaders headers = framing_headers(c);
        pending->closing = client_closes(version, headers.connection);
        *state = t;
        if (!t->counted) {
            // A connection taken for closing that the library kept after all
            // counts again from its next request.
            std::lock_guard<std::mutex> lock(impl->mutex);
            impl->count(*t);
        }
        const MHD_ConnectionInfo* info =
            MHD_get_connection_info(c, MHD_CONNECTION_INFO_REQUEST_HEADER_SIZE);
        if (info && info->header_size > impl->config.max_header_bytes) {
            impl->answer(c, url, method, *t, Request::Kind::HeadersTooLarge);
            return MHD_YES;
        }
        // A declared length over the limit is refused before any of the body is read.
        if (headers.content_length &&
            declared_length(headers.content_length) > impl->config.max_body_bytes) {
            impl->answer(c, url, method, *t, Request::Kind::BodyTooLarge);
        }
        return MHD_YES;
    }
    Pending* pending = &t->pending;
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
        impl->answer(c, url, method, *t,
                     pending->too_large ? Request::Kind::BodyTooLarge : Request::Kind::Normal);
    return MHD_YES;
}

void on_completed(void* cls, MHD_Connection* c, void** state, MHD_RequestTerminationCode toe) {
    auto* impl = static_cast<Engine::Impl*>(cls);
    auto* begun = static_cast<ConnectionState*>(*state);
    *state = nullptr;
    ConnectionState* t = begun ? begun : Engine::Impl::tracked(c);
    if (!t)
        return;
    Pending* pending = begun ? &t->pending : nullptr;
    // A body that did not arrive in full (the client stopped sending, or ended its
    // side early): the library only closes the connection, but the client can
    // still read why.
    if (pending && !pending->answered && impl->config.tls_cert_pem.empty() &&
        toe != MHD_REQUEST_TERMINATED_COMPLETED_OK && toe != MHD_REQUEST_TERMINATED_DAEMON_SHUTDOWN)
        impl->answer_cut_short(c, *t);
    // An answer given up at the time-out (its client read too little of it to let
    // the library write for that long) ends with a reset. Closed the usual way, the
    // socket would stay in the kernel, holding what was already queued of the answer
    // (megabytes of the update file), for as long as the client reads a few bytes a
    // second: its place in the limits is free, the memory is not.
    if (pending && pending->answered && toe == MHD_REQUEST_TERMINATED_TIMEOUT_REACHED) {
        const linger reset{1, 0};
        ::setsockopt(t->fd, SOL_SOCKET, SO_LINGER, &reset, sizeof reset);
    }
    const bool closing = toe != MHD_REQUEST_TERMINATED_COMPLETED_OK || !pending || pending->closing;
    if (pending) {
        impl->in_flight.fetch_sub(1, std::memory_order_relaxed);
        // The next request starts with an empty body; a large one is not kept.
        if (pending->body.capacity() > 4096)
            std::string().swap(pending->body);
    }
    // The next request (or the end of a kept-alive connection) has the full time again.
    t->deadline.store(impl->next_deadline(), std::memory_order_relaxed);
    // Its last answer sent, a closing connection no longer holds a place.
    if (closing && t->counted) {
        std::lock_guard<std::mutex> lock(impl->mutex);
        impl->uncount(*t);
    }
}

MHD_Result on_accept(void* cls, const sockaddr* addr, socklen_t) {
    auto* impl = static_cast<Engine::Impl*>(cls);
    std::lock_guard<std::mutex> lock(impl->mutex);
    return impl->limits.admits(peer_key(addr)) ? MHD_YES : MHD_NO;
}

void on_connection(void* cls, MHD_Connection* c, void** context,
                   MHD_ConnectionNotificationCode code) {
    auto* impl = static_cast<Engine::Impl*>(cls);
    if (code == MHD_CONNECTION_NOTIFY_STARTED) {
        const MHD_ConnectionInfo* info =
            MHD_get_connection_info(c, MHD_CONNECTION_INFO_CONNECTION_FD);
        const MHD_ConnectionInfo* peer =
            MHD_get_connection_info(c, MHD_CONNECTION_INFO_CLIENT_ADDRESS);
        std::string client, key;
        describe_peer(peer ? peer->client_addr : nullptr, client, key);
        std::lock_guard<std::mutex> lock(impl->mutex);
        ConnectionState& t = impl->connections.try_emplace(c).first->second;
        t.current = &impl->current; // for pick_credentials
        t.fd = info ? info->connect_fd : -1;
        t.deadline.store(impl->next_deadline(), std::memory_order_relaxed);
        t.client = std::move(client);
        t.key = std::move(key);
        impl->count(t);
        *context = static_cast<TlsContext*>(&t);
        // Before the handshake: the session offers tickets under the current key.
        const MHD_ConnectionInfo* tls =
            MHD_get_connection_info(c, MHD_CONNECTION_INFO_GNUTLS_SESSION);
        if (tls && tls->tls_session && impl->ticket_key.bytes.size() == 64) {
            gnutls_datum_t ticket{reinterpret_cast<unsigned char*>(impl->ticket_key.bytes.data()),
                                  64};
            gnutls_session_ticket_enable_server(static_cast<gnutls_session_t>(tls->tls_session),
                                                &ticket);
        }
    } else {
        std::lock_guard<std::mutex> lock(impl->mutex);
        auto it = impl->connections.find(c);
        if (it != impl->connections.end()) {
            impl->uncount(it->second);
            impl->connections.erase(it);
        }
        *context = nullptr;
    }
}

} // namespace

Engine::Engine(EngineConfig config) : impl_(new Impl(std::move(config))) {}

Engine::~Engine() {
    stop();
    for (int fd : impl_->listen_fds)
        ::close(fd);
}

bool Engine::listen(std::string& error) {
    const EngineConfig& cfg = impl_->config;
    // Loops past the cores only wait their turn for one, colder: a full TLS handshake
    // cost four times the CPU with 16 loops than with 2 on two cores.
    const int loops = cfg.threads > 0
                          ? cfg.threads
                          : std::max(1, static_cast<int>(std::thread::hardware_concurrency()));
    Listeners listeners;
    if (!open_listeners(cfg.host, cfg.port, loops, cfg.backlog, listeners, error))
        return false;
    impl_->listen_fds = std::move(listeners.fds);
    impl_->ipv6 = listeners.ipv6;
    impl_->port = listeners.port;
    return true;
}

bool Engine::start(Handler handler, std::string& error) {
    const EngineConfig& cfg = impl_->config;
    impl_->handler = std::move(handler);
    unsigned flags = MHD_USE_EPOLL_INTERNAL_THREAD | MHD_USE_ITC;
    if (impl_->ipv6)
        flags |= MHD_USE_IPv6;
    const bool tls = !cfg.tls_cert_pem.empty();
    if (tls) {
        flags |= MHD_USE_TLS;
        {
            std::lock_guard<std::mutex> lock(impl_->mutex);
            if (!impl_->refresh_ticket_key(monotonic_ms(), error))
                return false;
        }
        // Through the callback rather than the library's own copy, so the pair can be
        // replaced while connections stay open.
        impl_->owns_tls = true;
        if (!replace_certificate(cfg.tls_cert_pem, cfg.tls_key_pem, error)) {
            stop();
            return false;
        }
    }
    MHD_OptionItem tls_options[] = {
        {tls ? MHD_OPTION_HTTPS_CERT_CALLBACK : MHD_OPTION_END, 0,
         reinterpret_cast<void*>(&pick_credentials)},
        // Nothing older than TLS 1.2.
        {MHD_OPTION_HTTPS_PRIORITIES, 0,
         const_cast<char*>("NORMAL:-VERS-ALL:+VERS-TLS1.3:+VERS-TLS1.2")},
        {MHD_OPTION_END, 0, nullptr},
    };
    // Request headers are read into the connection's memory pool; the rest of the
    // pool is the read buffer and the answer's headers.
    const size_t pool = cfg.max_header_bytes + 16 * 1024;
    for (int fd : impl_->listen_fds) {
        // The limits are the engine's own (on_accept), across all loops.
        MHD_Daemon* d = MHD_start_daemon(
            flags, 0, &on_accept, impl_.get(), &on_request, impl_.get(), MHD_OPTION_LISTEN_SOCKET,
            fd, MHD_OPTION_CONNECTION_LIMIT, static_cast<unsigned>(cfg.max_connections + 1),
            MHD_OPTION_CONNECTION_TIMEOUT, static_cast<unsigned>(cfg.timeout_seconds),
            MHD_OPTION_CONNECTION_MEMORY_LIMIT, pool, MHD_OPTION_NOTIFY_COMPLETED, &on_completed,
            impl_.get(), MHD_OPTION_NOTIFY_CONNECTION, &on_connection, impl_.get(),
            MHD_OPTION_ARRAY, tls_options, MHD_OPTION_END);
        if (!d) {
            // The loops started have taken their sockets; the rest are still ours.
            impl_->listen_fds.erase(impl_->listen_fds.begin(),
                                    impl_->listen_fds.begin() +
                                        static_cast<long>(impl_->daemons.size()));
            stop();
            error = tls ? "cannot start HTTPS" : "cannot start the HTTP engine";
            return false;
        }
        impl_->daemons.push_back(d);
    }
    impl_->listen_fds.clear(); // the loops' now, closed by MHD_stop_daemon
    impl_->stopping = false;
    impl_->watchdog = start_worker("the connection watchdog", [this] { impl_->watch(); });
    return true;
}

int Engine::port() const {
    return impl_->port;
}

void Engine::stop() {
    if (!impl_->daemons.empty())
        impl_->stop_loops();
    if (impl_->owns_tls) {
        impl_->current.store(nullptr, std::memory_order_release);
        impl_->credentials.clear();
        impl_->owns_tls = false;
    }
}

void Engine::drain(int max_ms) {
    // Refused at once rather than left in the backlog: a balancer retries elsewhere.
    for (MHD_Daemon* d : impl_->daemons) {
        const MHD_socket listener = MHD_quiesce_daemon(d);
        if (listener != MHD_INVALID_SOCKET)
            ::close(listener);
    }
    const int64_t until = monotonic_ms() + max_ms;
    while (impl_->in_flight.load(std::memory_order_relaxed) > 0 && monotonic_ms() < until)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    stop();
}

int64_t Engine::open_connections() const {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    return static_cast<int64_t>(impl_->connections.size());
}

bool Engine::replace_certificate(const std::string& cert_pem, const std::string& key_pem,
                                 std::string& error) {
    if (!impl_->owns_tls) {
        error = "the engine does not serve HTTPS";
        return false;
    }
    std::unique_ptr<Credentials> loaded = load_credentials(cert_pem, key_pem, error);
    if (!loaded)
        return false;
    std::lock_guard<std::mutex> lock(impl_->mutex);
    impl_->current.store(loaded.get(), std::memory_order_release);
    impl_->credentials.push_back(std::move(loaded));
    return true;
}

void Engine::Impl::stop_loops() {
    {
        std::lock_guard<std::mutex> lock(mutex);
        stopping = true;
    }
    wake.notify_all();
    if (watchdog.joinable())
        watchdog.join();
    for (MHD_Daemon* d : daemons)
        MHD_stop_daemon(d);
    daemons.clear();
}

} // namespace server
