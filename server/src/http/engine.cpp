#include "http/engine.h"

#include "base/clock.h"
#include "base/secrets.h"

#include <gnutls/abstract.h>
#include <gnutls/gnutls.h>
#include <gnutls/x509.h>
#include <microhttpd.h>

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <ctime>
#include <exception>
#include <mutex>
#include <thread>
#include <unordered_map>
#include <vector>

namespace server {

namespace {

// One request while it is being read.
struct Pending {
    std::string body;
    bool too_large = false;
    bool answered = false;
    bool closing = false; // the connection ends after this answer
    std::string url;
    std::string method;
};

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

// The peer as bytes for per-address limits; an IPv6 client controls a whole /64,
// so that is what it counts as. A mapped IPv4 client is its IPv4 address: their
// /64 is the same zeros for all of them.
std::string peer_key(const sockaddr* sa) {
    if (const unsigned char* v4 = ipv4_of(sa))
        return std::string(reinterpret_cast<const char*>(v4), 4);
    if (sa && sa->sa_family == AF_INET6)
        return std::string(
            reinterpret_cast<const char*>(&reinterpret_cast<const sockaddr_in6*>(sa)->sin6_addr),
            8);
    return std::string();
}

// The peer as text for the log and the exempt list, and as bytes for per-address
// limits; a mapped IPv4 client as its IPv4 address. An IPv4 address is written
// out here: inet_ntop goes through sprintf, which cost as much as the rest of the
// engine's own work for a kept-alive request.
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

// Whether the client asked for its connection to end after this request: HTTP/1.0
// unless it asked to keep it, or "Connection: close". This only decides when the
// connection stops counting against the limits; a guess that it closes, where the
// library keeps it after all, is set right by its next request.
bool client_closes(const char* version, const char* connection) {
    std::string token = connection ? connection : "";
    for (char& ch : token)
        ch = static_cast<char>(std::tolower(static_cast<unsigned char>(ch)));
    if (token.find("close") != std::string::npos)
        return true;
    return !(version && std::strcmp(version, MHD_HTTP_VERSION_1_1) == 0) &&
           token.find("keep-alive") == std::string::npos;
}

// A ticket key file: 64 bytes as 128 hex digits (surrounding white space allowed),
// refused like every other secret file when its group or others may read it: with
// the key, anyone can read every session of its tickets.
bool read_ticket_key(const std::string& path, std::string& key, std::string& error) {
    std::string text;
    key.clear();
    if (!read_owner_only_file(path, "ticket key file", text, error))
        return false;
    const size_t first = text.find_first_not_of(" \t\r\n");
    const size_t last = text.find_last_not_of(" \t\r\n");
    text = first == std::string::npos ? std::string() : text.substr(first, last - first + 1);
    for (size_t i = 0; i + 1 < text.size() && text.size() == 128; i += 2) {
        auto nibble = [](char ch) {
            return ch >= '0' && ch <= '9'   ? ch - '0'
                   : ch >= 'a' && ch <= 'f' ? ch - 'a' + 10
                   : ch >= 'A' && ch <= 'F' ? ch - 'A' + 10
                                            : -1;
        };
        int hi = nibble(text[i]);
        int lo = nibble(text[i + 1]);
        if (hi < 0 || lo < 0)
            break;
        key += static_cast<char>(hi * 16 + lo);
    }
    if (key.size() == 64)
        return true;
    error = "the ticket key file " + path + " must hold 128 hex digits (openssl rand -hex 64)";
    key.clear();
    return false;
}

std::string random_ticket_key() {
    gnutls_datum_t key{};
    std::string out;
    if (gnutls_session_ticket_key_generate(&key) == 0) {
        out.assign(reinterpret_cast<const char*>(key.data), key.size);
        gnutls_memset(key.data, 0, key.size);
        gnutls_free(key.data);
    }
    return out;
}

// A certificate chain and its key as GnuTLS hands them to a handshake.
struct Credentials {
    std::vector<gnutls_pcert_st> chain;
    gnutls_privkey_t key = nullptr;
    Credentials() = default;
    Credentials(const Credentials&) = delete;
    Credentials& operator=(const Credentials&) = delete;
    ~Credentials() {
        for (gnutls_pcert_st& c : chain)
            gnutls_pcert_deinit(&c);
        if (key)
            gnutls_privkey_deinit(key);
    }
};

gnutls_datum_t datum(const std::string& s) {
    return gnutls_datum_t{reinterpret_cast<unsigned char*>(const_cast<char*>(s.data())),
                          static_cast<unsigned>(s.size())};
}

bool same_public_key(gnutls_pubkey_t a, gnutls_pubkey_t b) {
    gnutls_datum_t da{}, db{};
    bool same = gnutls_pubkey_export2(a, GNUTLS_X509_FMT_DER, &da) == 0 &&
                gnutls_pubkey_export2(b, GNUTLS_X509_FMT_DER, &db) == 0 && da.size == db.size &&
                std::memcmp(da.data, db.data, da.size) == 0;
    gnutls_free(da.data);
    gnutls_free(db.data);
    return same;
}

// Loads and checks a pair: the chain parses, the key parses and is the first
// certificate's, and that certificate is within its validity period.
std::unique_ptr<Credentials> load_credentials(const std::string& cert_pem,
                                              const std::string& key_pem, std::string& error) {
    auto c = std::make_unique<Credentials>();
    const gnutls_datum_t cert = datum(cert_pem);
    gnutls_pcert_st chain[16];
    unsigned n = 16;
    int rc = gnutls_pcert_list_import_x509_raw(chain, &n, &cert, GNUTLS_X509_FMT_PEM, 0);
    if (rc < 0 || n == 0) {
        error = std::string("the certificate does not load: ") + gnutls_strerror(rc);
        return nullptr;
    }
    c->chain.assign(chain, chain + n);
    const gnutls_datum_t key = datum(key_pem);
    if ((rc = gnutls_privkey_init(&c->key)) < 0 ||
        (rc = gnutls_privkey_import_x509_raw(c->key, &key, GNUTLS_X509_FMT_PEM, nullptr, 0)) < 0) {
        error = std::string("the key does not load: ") + gnutls_strerror(rc);
        return nullptr;
    }
    gnutls_pubkey_t of_key = nullptr;
    bool matches = gnutls_pubkey_init(&of_key) == 0 &&
                   gnutls_pubkey_import_privkey(of_key, c->key, 0, 0) == 0 &&
                   same_public_key(of_key, c->chain[0].pubkey);
    gnutls_pubkey_deinit(of_key);
    if (!matches) {
        error = "the key is not the certificate's";
        return nullptr;
    }
    gnutls_x509_crt_t x509 = nullptr;
    time_t not_after = 0, not_before = 0;
    if (gnutls_x509_crt_init(&x509) == 0 &&
        gnutls_x509_crt_import(x509, &c->chain[0].cert, GNUTLS_X509_FMT_DER) == 0) {
        not_after = gnutls_x509_crt_get_expiration_time(x509);
        not_before = gnutls_x509_crt_get_activation_time(x509);
    }
    gnutls_x509_crt_deinit(x509);
    const time_t now = std::time(nullptr);
    if (not_after <= now || not_before > now) {
        error = "the certificate is not valid now (expired or not yet valid)";
        return nullptr;
    }
    return c;
}

// GnuTLS asks for the pair at each handshake. The library gives every session its
// connection as the pointer, and each connection carries its engine's current
// pair (set in on_connection, before the handshake).
int pick_credentials(gnutls_session_t session, const gnutls_datum_t*, int,
                     const gnutls_pk_algorithm_t*, int, gnutls_pcert_st** chain,
                     unsigned int* length, gnutls_privkey_t* key) {
    auto* connection = static_cast<MHD_Connection*>(gnutls_session_get_ptr(session));
    const MHD_ConnectionInfo* info =
        connection ? MHD_get_connection_info(connection, MHD_CONNECTION_INFO_SOCKET_CONTEXT)
                   : nullptr;
    auto* slot = info ? static_cast<std::atomic<Credentials*>*>(info->socket_context) : nullptr;
    Credentials* c = slot ? slot->load(std::memory_order_acquire) : nullptr;
    if (!c)
        return -1;
    *chain = c->chain.data();
    *length = static_cast<unsigned>(c->chain.size());
    *key = c->key;
    return 0;
}

} // namespace

struct Engine::Impl {
    EngineConfig config;
    Handler handler;
    std::vector<MHD_Daemon*> daemons; // one per event loop
    std::vector<int> listen_fds;      // until the loops take them over
    bool ipv6 = false;
    int port = 0;

    // Every open connection with the time by which its request must have arrived
    // (0 while an answer is being sent), and whether it counts against the limits.
    struct Tracked {
        int fd;
        int64_t deadline;
        std::string key;
        bool counted;
    };
    std::mutex mutex;
    std::condition_variable wake;
    bool stopping = false;
    std::unordered_map<MHD_Connection*, Tracked> connections;
    std::unordered_map<std::string, int> per_address; // counted connections by address
    int counted = 0;
    std::thread watchdog;
    // Requests between their first byte and the end of their answer (for drain).
    std::atomic<int> in_flight{0};
    // Every pair loaded, the current one last: a handshake under way may still use
    // an older one, so they are freed only when the engine stops (a few per reload).
    std::vector<std::unique_ptr<Credentials>> credentials;
    std::atomic<Credentials*> current{nullptr};
    bool owns_tls = false;

    void stop_loops();

    // The master key of the session tickets and when it was taken.
    std::string ticket_key;
    int64_t ticket_key_at = 0;

    bool admits(const std::string& key) const {
        auto it = per_address.find(key);
        return counted < config.max_connections &&
               (it == per_address.end() || it->second < config.max_per_address);
    }

    void count(Tracked& t) {
        if (t.counted)
            return;
        t.counted = true;
        ++per_address[t.key];
        ++counted;
    }

    void uncount(Tracked& t) {
        if (!t.counted)
            return;
        t.counted = false;
        auto it = per_address.find(t.key);
        if (it != per_address.end() && --it->second <= 0)
            per_address.erase(it);
        --counted;
    }

    // With the mutex held: a key of this process is replaced once it is
    // `ticket_key_seconds` old; a key file is read again every minute.
    bool refresh_ticket_key(int64_t now, std::string& error) {
        if (!ticket_key.empty() && config.tls_ticket_key_file.empty() &&
            now - ticket_key_at < config.ticket_key_seconds * 1000LL)
            return true;
        if (!ticket_key.empty() && !config.tls_ticket_key_file.empty() &&
            now - ticket_key_at < 60 * 1000)
            return true;
        std::string key = config.tls_ticket_key_file.empty() ? random_ticket_key() : std::string();
        if (!config.tls_ticket_key_file.empty() &&
            !read_ticket_key(config.tls_ticket_key_file, key, error))
            return false;
        if (key.size() != 64) {
            error = "cannot make a session ticket key";
            return false;
        }
        ticket_key = std::move(key);
        ticket_key_at = now;
        return true;
    }

    int64_t next_deadline() const { return monotonic_ms() + config.timeout_seconds * 1000LL; }

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
            const int64_t now = monotonic_ms();
            for (auto& entry : connections) {
                Tracked& t = entry.second;
                if (t.deadline != 0 && t.deadline <= now)
                    ::shutdown(t.fd, SHUT_RD);
            }
            // A key file that cannot be read now keeps the key read before.
            std::string ignored;
            if (!config.tls_cert_pem.empty())
                refresh_ticket_key(now, ignored);
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
        pending.closing = pending.closing || res.close;
        set_deadline(c, 0);
        MHD_queue_response(c, static_cast<unsigned>(res.status), r);
        MHD_destroy_response(r);
    }
};

namespace {

MHD_Result on_request(void* cls, MHD_Connection* c, const char* url, const char* method,
                      const char* version, const char* upload_data, size_t* upload_size,
                      void** state) {
    auto* impl = static_cast<Engine::Impl*>(cls);
    auto* pending = static_cast<Pending*>(*state);
    if (!pending) {
        impl->in_flight.fetch_add(1, std::memory_order_relaxed);
        pending = new Pending;
        pending->url = url ? url : "";
        pending->method = method ? method : "";
        pending->closing = client_closes(
            version, MHD_lookup_connection_value(c, MHD_HEADER_KIND, MHD_HTTP_HEADER_CONNECTION));
        *state = pending;
        {
            // A connection taken for closing that the library kept after all
            // counts again from its next request.
            std::lock_guard<std::mutex> lock(impl->mutex);
            auto it = impl->connections.find(c);
            if (it != impl->connections.end())
                impl->count(it->second);
        }
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
    // An answer given up at the time-out (its client read too little of it to let
    // the library write for that long) ends with a reset. Closed the usual way, the
    // socket would stay in the kernel, holding what was already queued of the answer
    // (megabytes of the update file), for as long as the client reads a few bytes a
    // second: its place in the limits is free, the memory is not.
    if (pending && pending->answered && toe == MHD_REQUEST_TERMINATED_TIMEOUT_REACHED) {
        const MHD_ConnectionInfo* info =
            MHD_get_connection_info(c, MHD_CONNECTION_INFO_CONNECTION_FD);
        const linger reset{1, 0};
        if (info)
            ::setsockopt(info->connect_fd, SOL_SOCKET, SO_LINGER, &reset, sizeof reset);
    }
    const bool closing = toe != MHD_REQUEST_TERMINATED_COMPLETED_OK || !pending || pending->closing;
    if (pending)
        impl->in_flight.fetch_sub(1, std::memory_order_relaxed);
    delete pending;
    std::lock_guard<std::mutex> lock(impl->mutex);
    auto it = impl->connections.find(c);
    if (it == impl->connections.end())
        return;
    // The next request (or the end of a kept-alive connection) has the full time again.
    it->second.deadline = impl->next_deadline();
    // Its last answer sent, a closing connection no longer holds a place.
    if (closing)
        impl->uncount(it->second);
}

MHD_Result on_accept(void* cls, const sockaddr* addr, socklen_t) {
    auto* impl = static_cast<Engine::Impl*>(cls);
    std::lock_guard<std::mutex> lock(impl->mutex);
    return impl->admits(peer_key(addr)) ? MHD_YES : MHD_NO;
}

void on_connection(void* cls, MHD_Connection* c, void** context,
                   MHD_ConnectionNotificationCode code) {
    auto* impl = static_cast<Engine::Impl*>(cls);
    std::lock_guard<std::mutex> lock(impl->mutex);
    if (code == MHD_CONNECTION_NOTIFY_STARTED) {
        *context = &impl->current; // for pick_credentials
        const MHD_ConnectionInfo* info =
            MHD_get_connection_info(c, MHD_CONNECTION_INFO_CONNECTION_FD);
        const MHD_ConnectionInfo* peer =
            MHD_get_connection_info(c, MHD_CONNECTION_INFO_CLIENT_ADDRESS);
        if (info) {
            auto& t = impl->connections[c];
            t = Engine::Impl::Tracked{info->connect_fd, impl->next_deadline(),
                                      peer_key(peer ? peer->client_addr : nullptr), false};
            impl->count(t);
        }
        // Before the handshake: the session offers tickets under the current key.
        const MHD_ConnectionInfo* tls =
            MHD_get_connection_info(c, MHD_CONNECTION_INFO_GNUTLS_SESSION);
        if (tls && tls->tls_session && impl->ticket_key.size() == 64) {
            gnutls_datum_t key{reinterpret_cast<unsigned char*>(impl->ticket_key.data()), 64};
            gnutls_session_ticket_enable_server(static_cast<gnutls_session_t>(tls->tls_session),
                                                &key);
        }
    } else {
        auto it = impl->connections.find(c);
        if (it != impl->connections.end()) {
            impl->uncount(it->second);
            impl->connections.erase(it);
        }
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
    for (int fd : impl_->listen_fds)
        ::close(fd);
}

bool Engine::listen(std::string& error) {
    const EngineConfig& cfg = impl_->config;
    sockaddr_storage addr;
    if (!resolve(cfg.host, cfg.port, addr, error))
        return false;
    socklen_t len = addr.ss_family == AF_INET6 ? sizeof(sockaddr_in6) : sizeof(sockaddr_in);
    auto fail = [&](int fd) {
        error = "cannot listen on " + cfg.host + ":" + std::to_string(cfg.port) + ": " +
                std::strerror(errno);
        if (fd >= 0)
            ::close(fd);
        for (int open_fd : impl_->listen_fds)
            ::close(open_fd);
        impl_->listen_fds.clear();
        return false;
    };
    // A first socket without SO_REUSEPORT takes the port (a free one for port 0):
    // it fails where any other listener holds it, even one whose sockets share it,
    // so a second server on a busy port is refused instead of splitting its load.
    int on = 1;
    int probe = ::socket(addr.ss_family, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (probe < 0 || ::setsockopt(probe, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on) != 0 ||
        ::bind(probe, reinterpret_cast<sockaddr*>(&addr), len) != 0 ||
        ::getsockname(probe, reinterpret_cast<sockaddr*>(&addr), &len) != 0)
        return fail(probe);
    ::close(probe);
    // Loops past the cores only wait their turn for one, colder: a full TLS handshake
    // cost four times the CPU with 16 loops than with 2 on two cores.
    const int loops = cfg.threads > 0
                          ? cfg.threads
                          : std::max(1, static_cast<int>(std::thread::hardware_concurrency()));
    for (int i = 0; i < loops; ++i) {
        int fd = ::socket(addr.ss_family, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
        if (fd < 0 || ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on) != 0 ||
            ::setsockopt(fd, SOL_SOCKET, SO_REUSEPORT, &on, sizeof on) != 0 ||
            ::bind(fd, reinterpret_cast<sockaddr*>(&addr), len) != 0 ||
            ::listen(fd, cfg.backlog) != 0)
            return fail(fd);
        impl_->listen_fds.push_back(fd);
    }
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
    impl_->watchdog = std::thread([this] { impl_->watch(); });
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
