#include "http/engine.h"

#include "base/clock.h"
#include "base/worker.h"
#include "http/engine_impl.h"
#include "http/request_headers.h"
#include "http/sockets.h"

#include <microhttpd.h>

#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <mutex>
#include <thread>
#include <vector>

namespace server {

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
        auto arrived = impl->arrivals.find(t.fd);
        if (arrived != impl->arrivals.end()) {
            t.arrival = arrived->second;
            impl->arrivals.erase(arrived);
        }
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
        {MHD_OPTION_HTTPS_PRIORITIES, 0, const_cast<char*>(kTlsPriorities)},
        {MHD_OPTION_END, 0, nullptr},
    };
    // Request headers are read into the connection's memory pool; the rest of the
    // pool is the read buffer and the answer's headers.
    const size_t pool = cfg.max_header_bytes + 16 * 1024;
    // Behind proxies the gate accepts and the loops only take what it hands over.
    const bool gated = !cfg.proxy_from.empty();
    if (gated)
        flags |= MHD_USE_NO_LISTEN_SOCKET;
    for (int fd : impl_->listen_fds) {
        MHD_OptionItem listen_option[] = {
            {gated ? MHD_OPTION_END : MHD_OPTION_LISTEN_SOCKET, fd, nullptr},
            {MHD_OPTION_END, 0, nullptr},
        };
        // The limits are the engine's own (on_accept), across all loops.
        MHD_Daemon* d = MHD_start_daemon(
            flags, 0, &on_accept, impl_.get(), &on_request, impl_.get(), MHD_OPTION_ARRAY,
            listen_option, MHD_OPTION_CONNECTION_LIMIT,
            static_cast<unsigned>(cfg.max_connections + 1), MHD_OPTION_CONNECTION_TIMEOUT,
            static_cast<unsigned>(cfg.timeout_seconds), MHD_OPTION_CONNECTION_MEMORY_LIMIT, pool,
            MHD_OPTION_NOTIFY_COMPLETED, &on_completed, impl_.get(), MHD_OPTION_NOTIFY_CONNECTION,
            &on_connection, impl_.get(), MHD_OPTION_ARRAY, tls_options, MHD_OPTION_END);
        if (!d) {
            // The loops started have taken their sockets; the rest are still ours.
            if (!gated)
                impl_->listen_fds.erase(impl_->listen_fds.begin(),
                                        impl_->listen_fds.begin() +
                                            static_cast<long>(impl_->daemons.size()));
            stop();
            error = tls ? "cannot start HTTPS" : "cannot start the HTTP engine";
            return false;
        }
        impl_->daemons.push_back(d);
    }
    impl_->stopping = false;
    impl_->watchdog = start_worker("the connection watchdog", [this] { impl_->watch(); });
    if (gated) {
        // As many waiting for their first bytes as may be open, and per address: a
        // flood of silent connections is refused at the gate as by the limits.
        GateConfig gate{cfg.proxy_from, cfg.timeout_seconds * 1000,
                        static_cast<size_t>(cfg.max_connections), cfg.max_per_address};
        Impl* impl = impl_.get();
        impl_->gate = std::make_unique<ProxyGate>(
            gate, [impl](int fd, const sockaddr* client, socklen_t length, const Arrival& a) {
                impl->hand_over(fd, client, length, a);
            });
        if (!impl_->gate->start(std::move(impl_->listen_fds), error)) {
            impl_->listen_fds.clear();
            stop();
            return false;
        }
    }
    impl_->listen_fds.clear(); // the loops' or the gate's now, closed when they stop
    return true;
}

int Engine::port() const {
    return impl_->port;
}

void Engine::stop() {
    // The gate first: it hands connections to the loops.
    if (impl_->gate) {
        impl_->gate->stop();
        impl_->gate.reset();
    }
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
    if (impl_->gate)
        impl_->gate->stop_accepting();
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

// On the gate's thread. The library closes `fd` when it cannot take it (on_accept
// refusing it at the limits, among others).
void Engine::Impl::hand_over(int fd, const sockaddr* client, socklen_t length,
                             const Arrival& arrival) {
    {
        std::lock_guard<std::mutex> lock(mutex);
        arrivals[fd] = arrival;
    }
    MHD_Daemon* d = daemons[next_loop++ % daemons.size()];
    if (MHD_add_connection(d, fd, client, length) != MHD_YES) {
        std::lock_guard<std::mutex> lock(mutex);
        arrivals.erase(fd);
    }
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
