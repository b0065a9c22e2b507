// The engine's sockets beneath the library: the listening sockets, one per event loop
// on one port, and a peer's address as text and as the key its limits count.
//
// Free functions: any thread. Nothing throws; a failure is false with the reason.
#pragma once

#include <sys/socket.h>

#include <string>
#include <vector>

namespace server {

// The peer as text for the log and the exempt list, and as bytes for per-address
// limits (peer_key). A mapped IPv4 client (::ffff:a.b.c.d) is its IPv4 address in
// both; a peer of another family is "?" and "".
void describe_peer(const sockaddr* sa, std::string& text, std::string& key);

// The peer as bytes for per-address limits: an IPv4 address, or an IPv6 client's
// /64, which it controls whole.
std::string peer_key(const sockaddr* sa);

struct Listeners {
    std::vector<int> fds; // listening, non-blocking; the caller's to close
    int port = 0;         // the one taken (a free one for port 0)
    bool ipv6 = false;
};

// `loops` sockets listening on host:port with SO_REUSEPORT, so the kernel spreads
// new connections over them. The port is first taken by a socket without it, so a
// port that any other listener holds is refused rather than shared. False with the
// reason, and nothing left open, when the host does not resolve or a socket fails.
bool open_listeners(const std::string& host, int port, int loops, int backlog, Listeners& out,
                    std::string& error);

} // namespace server
