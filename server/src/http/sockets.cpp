#include "http/sockets.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace server {
namespace {

// The peer's IPv4 address (4 bytes), also when a dual-stack socket hands it over
// as ::ffff:a.b.c.d; nullptr for any other peer.
const unsigned char* ipv4_of(const sockaddr* sa) {
    if (sa && sa->sa_family == AF_INET)
        return reinterpret_cast<const unsigned char*>(
            &reinterpret_cast<const sockaddr_in*>(sa)->sin_addr);
    if (sa && sa->sa_family == AF_INET6) {
        const in6_addr& a = reinterpret_cast<const sockaddr_in6*>(sa)->sin6_addr;
        if (IN6_IS_ADDR_V4MAPPED(&a))
            return a.s6_addr + 12;
    }
    return nullptr;
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

// A mapped IPv4 client is its IPv4 address: their /64 is the same zeros for all of
// them.
std::string peer_key(const sockaddr* sa) {
    if (const unsigned char* v4 = ipv4_of(sa))
        return std::string(reinterpret_cast<const char*>(v4), 4);
    if (sa && sa->sa_family == AF_INET6)
        return std::string(
            reinterpret_cast<const char*>(&reinterpret_cast<const sockaddr_in6*>(sa)->sin6_addr),
            8);
    return std::string();
}

// An IPv4 address is written out here: inet_ntop goes through sprintf, which cost as
// much as the rest of the engine's own work for a kept-alive request.
void describe_peer(const sockaddr* sa, std::string& text, std::string& key) {
    char buf[INET6_ADDRSTRLEN] = "?";
    char* end = buf + 1;
    if (const unsigned char* octets = ipv4_of(sa)) {
        end = buf;
        for (int i = 0; i < 4; ++i) {
            const unsigned v = octets[i];
            if (v >= 100)
                *end++ = static_cast<char>('0' + v / 100);
            if (v >= 10)
                *end++ = static_cast<char>('0' + v / 10 % 10);
            *end++ = static_cast<char>('0' + v % 10);
            if (i < 3)
                *end++ = '.';
        }
    } else if (sa && sa->sa_family == AF_INET6) {
        inet_ntop(AF_INET6, &reinterpret_cast<const sockaddr_in6*>(sa)->sin6_addr, buf, sizeof buf);
        end = buf + std::strlen(buf);
    }
    text.assign(buf, end);
    key = peer_key(sa);
}

bool open_listeners(const std::string& host, int port, int loops, int backlog, Listeners& out,
                    std::string& error) {
    sockaddr_storage addr;
    if (!resolve(host, port, addr, error))
        return false;
    socklen_t len = addr.ss_family == AF_INET6 ? sizeof(sockaddr_in6) : sizeof(sockaddr_in);
    std::vector<int> fds;
    auto fail = [&](int fd) {
        error =
            "cannot listen on " + host + ":" + std::to_string(port) + ": " + std::strerror(errno);
        if (fd >= 0)
            ::close(fd);
        for (int open_fd : fds)
            ::close(open_fd);
        return false;
    };
    // Without SO_REUSEPORT, the first socket fails where any other listener holds the
    // port, even one whose sockets share it.
    int on = 1;
    int probe = ::socket(addr.ss_family, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (probe < 0 || ::setsockopt(probe, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on) != 0 ||
        ::bind(probe, reinterpret_cast<sockaddr*>(&addr), len) != 0 ||
        ::getsockname(probe, reinterpret_cast<sockaddr*>(&addr), &len) != 0)
        return fail(probe);
    ::close(probe);
    for (int i = 0; i < loops; ++i) {
        int fd = ::socket(addr.ss_family, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
        if (fd < 0 || ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on) != 0 ||
            ::setsockopt(fd, SOL_SOCKET, SO_REUSEPORT, &on, sizeof on) != 0 ||
            ::bind(fd, reinterpret_cast<sockaddr*>(&addr), len) != 0 || ::listen(fd, backlog) != 0)
            return fail(fd);
        fds.push_back(fd);
    }
    out.fds = std::move(fds);
    out.ipv6 = addr.ss_family == AF_INET6;
    out.port = ntohs(out.ipv6 ? reinterpret_cast<sockaddr_in6*>(&addr)->sin6_port
                              : reinterpret_cast<sockaddr_in*>(&addr)->sin_port);
    return true;
}

} // namespace server
