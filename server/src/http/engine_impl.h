// The engine's state, shared by the callbacks the library calls (engine.cpp): the
// configuration, the event loops, every open connection (connection_state.h) with its
// place in the limits, the gate in front when proxies are trusted, the TLS pieces,
// and the making of a request's answer. One per Engine, owned by it.
//
// Threads: the loops' callbacks, the watchdog and the gate's hand-over take `mutex`
// for the connections, the limits, the arrivals and the ticket key; a connection's
// own state is its loop's. Nothing throws but std::bad_alloc; the handler's
// exceptions become a 500.
#pragma once

#include "base/clock.h"
#include "http/connection_limits.h"
#include "http/connection_state.h"
#include "http/engine.h"
#include "http/proxy_gate.h"
#include "http/tls.h"

#include <microhttpd.h>

#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <exception>
#include <memory>
#include <mutex>
#include <string>
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
    // With proxies in front: the gate accepts, and hands connections to the loops in
    // turn; what it learnt of each waits here (by descriptor) for its start.
    std::unique_ptr<ProxyGate> gate;
    std::unordered_map<int, Arrival> arrivals;
    size_t next_loop = 0;
    void hand_over(int fd, const sockaddr* client, socklen_t length, const Arrival& arrival);
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
        req.over_tls = t.arrival.tls;
        req.proxy_local = t.arrival.local;
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

} // namespace server
