// The gate in front of the engine when a proxy passes connections on: it accepts on
// the listening sockets itself, reads the PROXY header of every connection from a
// trusted address (proxy_header.h), and hands each connection over with the client's
// address from the header, so every per-address defence after it counts the client,
// not the proxy.
//
// Refused, closed and logged: a connection from a trusted address that sends no
// valid header; one from any other address that begins with a header (a client
// choosing its own address); a header that has not arrived within the time-out.
// A connection from another address goes on as it is, once its first bytes show it
// begins otherwise (so a header cannot reach the HTTP parser as a request).
//
// One thread, non-blocking: a peer that sends slowly only waits in the gate, up to
// `max_waiting` of them and `max_waiting_per_address` from one untrusted address (so
// one address cannot fill the gate), and never holds up the next accept. A
// connection may wait up to the time-out here and then has the engine's whole
// time-out for its request.
//
// Threads: start, stop_accepting and stop from the owner's thread; `hand_over` runs
// on the gate's own. Nothing throws but std::bad_alloc and start's std::system_error.
#pragma once

#include "http/connection_limits.h"
#include "http/proxy_header.h"

#include <atomic>
#include <cstdint>
#include <functional>
#include <string>
#include <thread>
#include <unordered_map>
#include <vector>

namespace server {

// What the gate learnt of a connection it hands over.
struct Arrival {
    bool local = false; // the proxy's own connection (its health checks)
    bool tls = false;   // the client reached the proxy over TLS
};

struct GateConfig {
    std::vector<AddressRange> proxies; // trusted to send a header, and must
    int timeout_ms = 10000;            // for a connection's first bytes or its header
    size_t max_waiting = 64;           // connections whose first bytes are awaited
    int max_waiting_per_address = 16;  // of them from one untrusted address (its peer_key)
};

// Takes `fd` over, with the client's address: the header's, or the peer's own for a
// connection from an untrusted address and for the proxy's own connections.
using HandOver =
    std::function<void(int fd, const sockaddr* client, socklen_t length, const Arrival& arrival)>;

class ProxyGate {
public:
    ProxyGate(GateConfig config, HandOver hand_over);
    ~ProxyGate();
    ProxyGate(const ProxyGate&) = delete;
    ProxyGate& operator=(const ProxyGate&) = delete;

    // Starts accepting on `listen_fds` (non-blocking; the gate's from now on, closed
    // when it stops). False with the reason when the gate cannot wait on them.
    bool start(std::vector<int> listen_fds, std::string& error);
    // Closes the listening sockets (new connections are refused); those waiting for
    // their header go on.
    void stop_accepting();
    // Ends the thread and closes every socket still the gate's.
    void stop();

private:
    struct Waiting {
        sockaddr_storage peer;
        socklen_t length;
        bool trusted;
        int64_t deadline;
        std::string key; // untrusted: its place in `strangers_`
        bool counted;
    };

    void run();
    void accept_all(int listener);
    void examine(int fd);
    void drop(int fd, const std::string& reason);
    void forget(std::unordered_map<int, Waiting>::iterator it);
    void refuse_full(int fd, const char* what);
    void close_listeners();

    GateConfig config_;
    HandOver hand_over_;
    std::vector<int> listeners_;
    std::unordered_map<int, Waiting> waiting_;
    ConnectionLimits strangers_; // the untrusted ones waiting, in all and per address
    int epoll_ = -1;
    int wake_ = -1; // eventfd: stop or stop accepting
    std::atomic<bool> stopping_{false};
    std::atomic<bool> closing_listeners_{false};
    int64_t last_full_log_ = 0;
    std::thread thread_;
};

} // namespace server
