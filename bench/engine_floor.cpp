// The HTTP engine's floor: libmicrohttpd started the way server/src/http/engine.cpp
// starts it, answering every request with a fixed 200 "ConnectionOk" and doing
// nothing else (no parsing, no log, no store, no limits of our own, no watchdog).
// peer_compare.sh runs it beside the account server and nginx; what the account
// server costs past this program is ours, the rest is the library's on this machine.
//
//   engine_floor [--port N] [--threads N] [--tls-cert PEM --tls-key PEM]
//
// Kept the same as the engine: one daemon per event loop (MHD_USE_EPOLL_INTERNAL_THREAD
// | MHD_USE_ITC), each on its own SO_REUSEPORT listening socket after a probe that
// takes the port, one loop per core for --threads 0, the backlog, connection limit,
// time-out and memory pool of the default settings, a response made per answer, and
// for HTTPS the certificate through GnuTLS's callback, the same priorities and a
// session ticket key enabled on every session before its handshake.
// Prints "... listening on http(s)://127.0.0.1:PORT/tx-client.asp" and serves until
// SIGINT or SIGTERM.
#include "http/tls.h"

#include <gnutls/abstract.h>
#include <gnutls/gnutls.h>
#include <microhttpd.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace {

// The account server's defaults (server/src/app/settings_table.cpp).
constexpr unsigned kTimeoutSeconds = 10;
constexpr unsigned kMaxConnections = 1024;
constexpr size_t kMaxHeaderBytes = 16384;
constexpr int kBacklog = 1024;

const char kBody[] = "ConnectionOk";
// Any non-null value: the request has begun (its body, if any, is skipped).
char begun;

std::vector<gnutls_pcert_st> chain;
gnutls_privkey_t key = nullptr;
std::string ticket_key;

int pick_credentials(gnutls_session_t, const gnutls_datum_t*, int, const gnutls_pk_algorithm_t*,
                     int, gnutls_pcert_st** out_chain, unsigned int* length,
                     gnutls_privkey_t* out_key) {
    *out_chain = chain.data();
    *length = static_cast<unsigned>(chain.size());
    *out_key = key;
    return 0;
}

void on_connection(void*, MHD_Connection* c, void**, MHD_ConnectionNotificationCode code) {
    if (code != MHD_CONNECTION_NOTIFY_STARTED)
        return;
    const MHD_ConnectionInfo* tls = MHD_get_connection_info(c, MHD_CONNECTION_INFO_GNUTLS_SESSION);
    if (tls && tls->tls_session) {
        gnutls_datum_t k{reinterpret_cast<unsigned char*>(ticket_key.data()),
                         static_cast<unsigned>(ticket_key.size())};
        gnutls_session_ticket_enable_server(static_cast<gnutls_session_t>(tls->tls_session), &k);
    }
}

MHD_Result on_request(void*, MHD_Connection* c, const char*, const char*, const char*, const char*,
                      size_t* upload_size, void** state) {
    if (!*state) {
        *state = &begun;
        return MHD_YES;
    }
    if (*upload_size != 0) {
        *upload_size = 0;
        return MHD_YES;
    }
    MHD_Response* r = MHD_create_response_from_buffer(sizeof kBody - 1, const_cast<char*>(kBody),
                                                      MHD_RESPMEM_PERSISTENT);
    if (!r)
        return MHD_NO;
    MHD_add_response_header(r, MHD_HTTP_HEADER_CONTENT_TYPE, "text/plain; charset=gbk");
    const MHD_Result queued = MHD_queue_response(c, MHD_HTTP_OK, r);
    MHD_destroy_response(r);
    return queued;
}

bool read_file(const char* path, std::string& out) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    out = s.str();
    return in.good() || in.eof();
}

bool load_pair(const char* cert_path, const char* key_path) {
    std::string cert_pem, key_pem;
    if (!read_file(cert_path, cert_pem) || !read_file(key_path, key_pem))
        return false;
    gnutls_datum_t cert{reinterpret_cast<unsigned char*>(cert_pem.data()),
                        static_cast<unsigned>(cert_pem.size())};
    gnutls_pcert_st certs[16];
    unsigned n = 16;
    if (gnutls_pcert_list_import_x509_raw(certs, &n, &cert, GNUTLS_X509_FMT_PEM, 0) < 0 || n == 0)
        return false;
    chain.assign(certs, certs + n);
    gnutls_datum_t k{reinterpret_cast<unsigned char*>(key_pem.data()),
                     static_cast<unsigned>(key_pem.size())};
    gnutls_datum_t generated{};
    if (gnutls_privkey_init(&key) < 0 ||
        gnutls_privkey_import_x509_raw(key, &k, GNUTLS_X509_FMT_PEM, nullptr, 0) < 0 ||
        gnutls_session_ticket_key_generate(&generated) < 0)
        return false;
    ticket_key.assign(reinterpret_cast<const char*>(generated.data), generated.size);
    gnutls_free(generated.data);
    return true;
}

// The listening sockets, as Engine::listen makes them; the port in `port`.
bool listen_on(int& port, int loops, std::vector<int>& fds) {
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(static_cast<uint16_t>(port));
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof addr;
    int on = 1;
    int probe = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (probe < 0 || ::setsockopt(probe, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on) != 0 ||
        ::bind(probe, reinterpret_cast<sockaddr*>(&addr), len) != 0 ||
        ::getsockname(probe, reinterpret_cast<sockaddr*>(&addr), &len) != 0)
        return false;
    ::close(probe);
    for (int i = 0; i < loops; ++i) {
        int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
        if (fd < 0 || ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on) != 0 ||
            ::setsockopt(fd, SOL_SOCKET, SO_REUSEPORT, &on, sizeof on) != 0 ||
            ::bind(fd, reinterpret_cast<sockaddr*>(&addr), len) != 0 || ::listen(fd, kBacklog) != 0)
            return false;
        fds.push_back(fd);
    }
    port = ntohs(addr.sin_port);
    return true;
}

} // namespace

int main(int argc, char** argv) {
    int port = 0, threads = 0;
    const char* cert = nullptr;
    const char* key_file = nullptr;
    bool usage = argc % 2 == 0;
    for (int i = 1; i + 1 < argc && !usage; i += 2) {
        const std::string flag = argv[i];
        if (flag == "--port")
            port = std::atoi(argv[i + 1]);
        else if (flag == "--threads")
            threads = std::atoi(argv[i + 1]);
        else if (flag == "--tls-cert")
            cert = argv[i + 1];
        else if (flag == "--tls-key")
            key_file = argv[i + 1];
        else
            usage = true;
    }
    if (usage || !cert != !key_file) {
        std::fprintf(
            stderr,
            "usage: engine_floor [--port N] [--threads N] [--tls-cert PEM --tls-key PEM]\n");
        return 2;
    }
    const bool tls = cert != nullptr;
    if (tls && !load_pair(cert, key_file)) {
        std::fprintf(stderr, "engine_floor: cannot load %s and %s\n", cert, key_file);
        return 1;
    }
    const int loops =
        threads > 0 ? threads : std::max(1, static_cast<int>(std::thread::hardware_concurrency()));
    std::vector<int> fds;
    if (!listen_on(port, loops, fds)) {
        std::perror("engine_floor: listen");
        return 1;
    }

    // Waited for below, not delivered to a handler.
    sigset_t stop_signals;
    sigemptyset(&stop_signals);
    sigaddset(&stop_signals, SIGINT);
    sigaddset(&stop_signals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &stop_signals, nullptr);

    unsigned flags = MHD_USE_EPOLL_INTERNAL_THREAD | MHD_USE_ITC;
    if (tls)
        flags |= MHD_USE_TLS;
    MHD_OptionItem tls_options[] = {
        {tls ? MHD_OPTION_HTTPS_CERT_CALLBACK : MHD_OPTION_END, 0,
         reinterpret_cast<void*>(&pick_credentials)},
        {MHD_OPTION_HTTPS_PRIORITIES, 0, const_cast<char*>(server::kTlsPriorities)},
        {MHD_OPTION_END, 0, nullptr},
    };
    std::vector<MHD_Daemon*> daemons;
    for (int fd : fds) {
        MHD_Daemon* d = MHD_start_daemon(
            flags, 0, nullptr, nullptr, &on_request, nullptr, MHD_OPTION_LISTEN_SOCKET, fd,
            MHD_OPTION_CONNECTION_LIMIT, kMaxConnections + 1, MHD_OPTION_CONNECTION_TIMEOUT,
            kTimeoutSeconds, MHD_OPTION_CONNECTION_MEMORY_LIMIT, kMaxHeaderBytes + 16 * 1024,
            MHD_OPTION_NOTIFY_CONNECTION, &on_connection, nullptr, MHD_OPTION_ARRAY, tls_options,
            MHD_OPTION_END);
        if (!d) {
            std::fprintf(stderr, "engine_floor: cannot start the daemon\n");
            return 1;
        }
        daemons.push_back(d);
    }
    std::printf("engine_floor listening on %s://127.0.0.1:%d/tx-client.asp\n",
                tls ? "https" : "http", port);
    std::fflush(stdout);

    int signal_number = 0;
    sigwait(&stop_signals, &signal_number);
    for (MHD_Daemon* d : daemons)
        MHD_stop_daemon(d);
    return 0;
}
