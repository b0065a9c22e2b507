#include "http/proxy_gate.h"

#include "base/clock.h"
#include "base/log.h"
#include "base/worker.h"
#include "http/sockets.h"

#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace server {
namespace {

// Connections taken per wake from one listener, so the waiting ones are read too.
constexpr int kAcceptsPerWake = 64;
// How often the waiting connections' deadlines are looked at.
constexpr int kTickMs = 100;

std::string peer_text(const sockaddr_storage& peer) {
    std::string text;
    std::string key;
    describe_peer(reinterpret_cast<const sockaddr*>(&peer), text, key);
    return text;
}

} // namespace

ProxyGate::ProxyGate(GateConfig config, HandOver hand_over)
    : config_(std::move(config)), hand_over_(std::move(hand_over)),
      strangers_(static_cast<int>(config_.max_waiting), config_.max_waiting_per_address) {}

ProxyGate::~ProxyGate() {
    stop();
}

bool ProxyGate::start(std::vector<int> listen_fds, std::string& error) {
    listeners_ = std::move(listen_fds);
    epoll_ = ::epoll_create1(EPOLL_CLOEXEC);
    wake_ = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    bool ok = epoll_ >= 0 && wake_ >= 0;
    epoll_event ev{};
    ev.events = EPOLLIN;
    ev.data.fd = wake_;
    ok = ok && ::epoll_ctl(epoll_, EPOLL_CTL_ADD, wake_, &ev) == 0;
    for (int fd : listeners_) {
        ev.data.fd = fd;
        ok = ok && ::epoll_ctl(epoll_, EPOLL_CTL_ADD, fd, &ev) == 0;
    }
    if (!ok) {
        error = std::string("cannot wait for connections: ") + std::strerror(errno);
        stop();
        return false;
    }
    thread_ = start_worker("the PROXY header gate", [this] { run(); });
    return true;
}

void ProxyGate::stop_accepting() {
    closing_listeners_ = true;
    const uint64_t one = 1;
    if (wake_ >= 0 && ::write(wake_, &one, sizeof one) < 0) {
        // A counter at its maximum has a wake pending already.
    }
}

void ProxyGate::stop() {
    stopping_ = true;
    stop_accepting();
    if (thread_.joinable())
        thread_.join();
    close_listeners();
    for (auto& entry : waiting_)
        ::close(entry.first);
    waiting_.clear();
    if (epoll_ >= 0)
        ::close(epoll_);
    if (wake_ >= 0)
        ::close(wake_);
    epoll_ = wake_ = -1;
}

void ProxyGate::close_listeners() {
    for (int fd : listeners_)
        ::close(fd); // also leaves the epoll set
    listeners_.clear();
}

void ProxyGate::run() {
    epoll_event events[64];
    while (!stopping_) {
        const int n = ::epoll_wait(epoll_, events, 64, kTickMs);
        if (closing_listeners_ && !listeners_.empty())
            close_listeners();
        for (int i = 0; i < n && !stopping_; ++i) {
            const int fd = events[i].data.fd;
            if (fd == wake_) {
                uint64_t count = 0;
                if (::read(wake_, &count, sizeof count) < 0) {
                    // Already read: nothing to do.
                }
            } else if (waiting_.count(fd) != 0) {
                examine(fd);
            } else if (!closing_listeners_) {
                accept_all(fd);
            }
        }
        const int64_t now = monotonic_ms();
        std::vector<int> late;
        for (const auto& entry : waiting_)
            if (entry.second.deadline <= now)
                late.push_back(entry.first);
        for (int fd : late)
            drop(fd, "no PROXY header or request within the time-out");
    }
}

void ProxyGate::accept_all(int listener) {
    for (int i = 0; i < kAcceptsPerWake; ++i) {
        Waiting w{};
        w.length = sizeof w.peer;
        const int fd = ::accept4(listener, reinterpret_cast<sockaddr*>(&w.peer), &w.length,
                                 SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (fd < 0)
            return; // none left (or a peer gone before its accept)
        if (waiting_.size() >= config_.max_waiting) {
            refuse_full(fd, "in all");
            continue;
        }
        w.trusted = in_ranges(config_.proxies, reinterpret_cast<const sockaddr*>(&w.peer));
        if (!w.trusted) {
            w.key = peer_key(reinterpret_cast<const sockaddr*>(&w.peer));
            if (!strangers_.admits(w.key)) {
                refuse_full(fd, "from one address");
                continue;
            }
        }
        w.deadline = monotonic_ms() + config_.timeout_ms;
        epoll_event ev{};
        ev.events = EPOLLIN | EPOLLRDHUP | EPOLLET;
        ev.data.fd = fd;
        if (::epoll_ctl(epoll_, EPOLL_CTL_ADD, fd, &ev) != 0) {
            ::close(fd);
            continue;
        }
        auto placed = waiting_.emplace(fd, w).first;
        if (!w.trusted)
            strangers_.count(placed->second.key, placed->second.counted);
        // A proxy sends its header with the connection: it is usually here already.
        examine(fd);
    }
}

void ProxyGate::refuse_full(int fd, const char* what) {
    ::close(fd);
    // A flood would write a line per connection: one a second says enough.
    const int64_t now = monotonic_ms();
    if (now - last_full_log_ >= 1000) {
        last_full_log_ = now;
        log_warning(std::string("connections waiting for their first bytes at the limit ") + what +
                        ": refusing more",
                    "http");
    }
}

void ProxyGate::forget(std::unordered_map<int, Waiting>::iterator it) {
    strangers_.uncount(it->second.key, it->second.counted);
    waiting_.erase(it);
}

void ProxyGate::drop(int fd, const std::string& reason) {
    auto it = waiting_.find(fd);
    if (it == waiting_.end())
        return;
    if (!reason.empty())
        log_warning(peer_text(it->second.peer) + " refused: " + reason, "http");
    ::close(fd);
    forget(it);
}

// Looks at the bytes that have arrived without taking them, so the engine reads the
// client's own from the start; only a header is taken.
void ProxyGate::examine(int fd) {
    auto it = waiting_.find(fd);
    if (it == waiting_.end())
        return;
    unsigned char buf[kMaxProxyHeaderBytes];
    const ssize_t n = ::recv(fd, buf, sizeof buf, MSG_PEEK);
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR))
        return;
    if (n <= 0) {
        drop(fd, ""); // gone before a byte: nothing to refuse
        return;
    }
    ProxyHeader header;
    std::string why;
    const ProxyParse parsed = parse_proxy_header(buf, static_cast<size_t>(n), header, why);
    if (parsed == ProxyParse::Incomplete)
        return; // the rest comes with the next wake
    const Waiting w = it->second;
    if (!w.trusted) {
        if (parsed != ProxyParse::NotProxy) {
            drop(fd, "a PROXY header from an address not in --proxy-from");
            return;
        }
    } else if (parsed == ProxyParse::NotProxy) {
        drop(fd, "no PROXY header from an address in --proxy-from");
        return;
    } else if (parsed == ProxyParse::Invalid) {
        drop(fd, why);
        return;
    }
    Arrival arrival;
    const sockaddr* client = reinterpret_cast<const sockaddr*>(&w.peer);
    socklen_t length = w.length;
    if (parsed == ProxyParse::Ok) {
        // Taken off the socket: what follows is the client's.
        if (::recv(fd, buf, header.length, 0) != static_cast<ssize_t>(header.length)) {
            drop(fd, "PROXY header could not be read");
            return;
        }
        arrival.local = header.local;
        arrival.tls = header.tls;
        if (!header.local) {
            client = reinterpret_cast<const sockaddr*>(&header.source);
            length = header.source_length;
        }
    }
    ::epoll_ctl(epoll_, EPOLL_CTL_DEL, fd, nullptr);
    forget(it);
    hand_over_(fd, client, length, arrival);
}

} // namespace server
