// tarnix-server: the reference account server of Tarnix.
#include "admin.h"
#include "charset.h"
#include "commands.h"
#include "http.h"
#include "messages.h"
#include "options.h"
#include "service_notify.h"
#include "store.h"
#include "update_signature.h"

#include <algorithm>
#include <csignal>
#include <cstdio>
#include <fstream>
#include <sstream>

#include <pthread.h>
#include <sys/resource.h>
#include <sys/stat.h>

using namespace server;

namespace {

int usage_error(const std::string& message) {
    std::fprintf(stderr, "tarnix-server: %s\n(see tarnix-server --help)\n", message.c_str());
    return 2;
}

// A status field as GBK: convertible, without "|" (the record's separator) or control
// characters, and not empty unless allowed.
bool status_field(const char* flag, const std::string& utf8, bool may_be_empty,
                  std::string& gbk_out, std::string& error) {
    if (utf8.empty() && !may_be_empty) {
        error = std::string(flag) + " cannot be empty";
        return false;
    }
    for (unsigned char c : utf8) {
        if (c == '|' || c < 0x20 || c == 0x7F) {
            error = std::string(flag) + " cannot contain '|' or control characters";
            return false;
        }
    }
    auto converted = utf8_to_gbk(utf8);
    if (!converted) {
        error = std::string(flag) + " must be UTF-8 text that GBK can hold";
        return false;
    }
    gbk_out = *converted;
    return true;
}

// The database as the log may show it: a URI without its user and password.
std::string database_for_log(const std::string& where) {
    if (!is_postgres_uri(where))
        return where;
    size_t scheme = where.find("://") + 3;
    size_t at = where.find('@', scheme);
    return at == std::string::npos ? where : where.substr(0, scheme) + where.substr(at + 1);
}

bool read_whole(const std::string& path, std::string& out) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    out = s.str();
    return static_cast<bool>(in) && !out.empty();
}

// The update file's signature: made here with --update-key, or read from
// --update-signature; "" when there is neither.
bool update_signature_of(const Options& options, const StatusTexts& status, std::string& out,
                         std::string& error) {
    out.clear();
    if (!options.update_key.empty())
        return sign_update(options.update_key, options.update_file, status.client_version, out,
                           error);
    // A signature made by the publisher (whose key stays off this machine) is
    // served as it is; it can only be checked for its size here.
    if (!options.update_signature.empty() &&
        (!read_whole(options.update_signature, out) || out.size() != 64)) {
        error = options.update_signature + " is not a 64-byte update signature";
        return false;
    }
    return true;
}

// SIGHUP: the certificate and key, and the update file's signature, read again. What
// does not load is logged and the old one kept. The update file itself is opened
// for every request, so a new one is served without this.
void reload(const Options& options, const StatusTexts& status, Engine& engine,
            ReplaceableBytes* signature) {
    std::string error;
    if (!options.tls_cert.empty()) {
        std::string cert, key;
        if (!read_whole(options.tls_cert, cert) || !read_whole(options.tls_key, key))
            log_line("reload: kept the old certificate: cannot read " + options.tls_cert + " or " +
                     options.tls_key);
        else if (!engine.replace_certificate(cert, key, error))
            log_line("reload: kept the old certificate: " + error);
        else
            log_line("reload: new connections get the certificate in " + options.tls_cert);
    }
    if (signature) {
        std::string bytes;
        if (!update_signature_of(options, status, bytes, error)) {
            log_line("reload: kept the old update signature: " + error);
        } else {
            signature->replace(std::move(bytes));
            log_line("reload: update signature " + (options.update_key.empty()
                                                        ? "read from " + options.update_signature
                                                        : "made for " + options.update_file));
        }
    }
}

// tarnix-server keygen DIR: a new update signing key; prints its public key.
int keygen(int argc, char** argv) {
    if (argc != 3)
        return usage_error("keygen needs one folder: tarnix-server keygen DIR");
    std::string path, public_hex, error;
    if (!make_update_key(argv[2], path, public_hex, error)) {
        std::fprintf(stderr, "tarnix-server: %s\n", error.c_str());
        return 1;
    }
    std::printf("%s\n", public_hex.c_str());
    std::fprintf(stderr, "tarnix-server: private key written to %s\n", path.c_str());
    return 0;
}

// tarnix-server admin [--db DB] WORDS...: the operator's commands (admin.h).
int admin(int argc, char** argv) {
    Options options;
    int i = 2;
    while (i + 1 < argc && std::string(argv[i]) == "--db") {
        options.db = argv[i + 1];
        i += 2;
    }
    StoreConfig config;
    config.where = options.db;
    config.pool_size = 1;
    umask(077);
    return run_admin(config, std::vector<std::string>(argv + i, argv + argc), stdout, stderr);
}

} // namespace

int main(int argc, char** argv) {
    if (argc >= 2 && std::string(argv[1]) == "keygen")
        return keygen(argc, argv);
    if (argc >= 2 && std::string(argv[1]) == "admin")
        return admin(argc, argv);
    Options options;
    std::string error;
    switch (parse_options(argc, argv, options, error)) {
    case ParseResult::Help:
        std::fputs(usage_text(), stdout);
        return 0;
    case ParseResult::Error:
        return usage_error(error);
    case ParseResult::Run:
        break;
    }
    if (!init_messages(error)) {
        std::fprintf(stderr, "tarnix-server: no GBK conversion available (%s)\n", error.c_str());
        return 1;
    }

    StatusTexts status;
    if (!status_field("--service-name", options.service_name, false, status.service_name, error) ||
        !status_field("--client-version", options.client_version, false, status.client_version,
                      error) ||
        !status_field("--update-description", options.update_description, false,
                      status.update_description, error) ||
        !status_field("--announcement", options.announcement, true, status.announcement, error))
        return usage_error(error);
    if (!options.update_location.empty()) {
        if (!status_field("--update-location", options.update_location, false,
                          status.update_location, error))
            return usage_error(error);
        if (options.update_location.find('/') == std::string::npos)
            return usage_error("--update-location needs a path after the host (host/path)");
    }

    // Signed before anything else starts: a key that cannot sign ends the server at once.
    std::string update_signature;
    if (!update_signature_of(options, status, update_signature, error)) {
        std::fprintf(stderr, "tarnix-server: %s\n", error.c_str());
        return 1;
    }

    // The database and the outbox hold passwords and codes: owner only.
    umask(077);
    // A client that hangs up mid-download must not end the server.
    std::signal(SIGPIPE, SIG_IGN);
    // Stop on SIGINT/SIGTERM, reload on SIGHUP: block them here, before any thread
    // exists, and wait for them at the end of main.
    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGINT);
    sigaddset(&signals, SIGTERM);
    sigaddset(&signals, SIGHUP);
    pthread_sigmask(SIG_BLOCK, &signals, nullptr);

    // Room for every connection allowed, the database and the listener.
    rlimit files{};
    if (getrlimit(RLIMIT_NOFILE, &files) == 0 &&
        files.rlim_cur < static_cast<rlim_t>(options.max_connections + 64)) {
        files.rlim_cur =
            std::min(files.rlim_max, static_cast<rlim_t>(options.max_connections + 64));
        setrlimit(RLIMIT_NOFILE, &files);
    }

    EngineConfig config;
    config.host = options.host;
    config.port = options.port;
    config.threads = options.threads;
    config.timeout_seconds = static_cast<int>(options.timeout_seconds);
    config.max_connections = static_cast<int>(options.max_connections);
    config.max_per_address = static_cast<int>(options.max_per_address);
    config.max_header_bytes = static_cast<size_t>(options.max_header_bytes);
    config.max_body_bytes = static_cast<size_t>(options.max_body_bytes);
    config.backlog = static_cast<int>(options.backlog);
    if (!options.tls_cert.empty() && (!read_whole(options.tls_cert, config.tls_cert_pem) ||
                                      !read_whole(options.tls_key, config.tls_key_pem))) {
        std::fprintf(stderr, "tarnix-server: cannot read %s or %s\n", options.tls_cert.c_str(),
                     options.tls_key.c_str());
        return 1;
    }

    StoreConfig store_config;
    store_config.where = options.db;
    store_config.pool_size = static_cast<int>(options.db_pool);
    store_config.challenge_seconds = options.challenge_seconds;
    store_config.max_challenges = static_cast<size_t>(options.max_challenges);
    std::unique_ptr<Store> store = Store::open(store_config, error);
    if (!store) {
        std::fprintf(stderr, "tarnix-server: cannot open database %s: %s\n",
                     database_for_log(options.db).c_str(), error.c_str());
        return 1;
    }
    if (!make_owner_only(options.outbox)) {
        std::fprintf(stderr, "tarnix-server: cannot make %s owner-only\n", options.outbox.c_str());
        return 1;
    }
    Outbox outbox(options.outbox);

    Timing timing;
    timing.lock.lock_seconds = options.lock_seconds;
    Limits limits;
    limits.challenges_per_minute = static_cast<int>(options.challenges_per_minute);
    limits.sign_ins_per_minute = static_cast<int>(options.sign_ins_per_minute);
    limits.changes_per_minute = static_cast<int>(options.changes_per_minute);
    limits.codes_per_minute = static_cast<int>(options.codes_per_minute);
    Engine engine(config);
    if (!engine.listen(error)) {
        std::fprintf(stderr, "tarnix-server: %s\n", error.c_str());
        return 1;
    }
    const int port = engine.port();
    const bool tls = !config.tls_cert_pem.empty();

    if (options.update_location.empty()) {
        std::string host = options.host;
        if (host == "0.0.0.0" || host == "::")
            host = "127.0.0.1";
        else if (host.find(':') != std::string::npos)
            host = "[" + host + "]";
        options.update_location = host + ":" + std::to_string(port) + "/download/Tarnix.exe";
        status.update_location = options.update_location;
    }
    Routes routes;
    routes.exempt_addresses = options.exempt_addresses;
    routes.ready = [&store] { return store_ready(*store); };
    ReplaceableBytes* signature = nullptr;
    std::string update_path;
    if (!options.update_file.empty()) {
        update_path = options.update_location.substr(options.update_location.find('/'));
        routes.resources.push_back(Resource::from_file(update_path, options.update_file));
        if (!update_signature.empty()) {
            routes.resources.push_back(
                Resource::from_bytes(update_path + ".sig", update_signature));
            signature = routes.resources.back().bytes.get();
        }
    }

    DeviceCookieConfig devices;
    devices.secure = tls;
    Commands commands(*store, outbox, status, timing, limits, devices);
    commands.on_code_sent = [](const std::string& line) {
        log_line("code sent: " + printable(line.substr(0, line.size() - 1)));
    };
    commands.on_untrusted_lock = [](const std::string& account) {
        log_line("account " + printable(account) + " locked for clients it does not know");
    };
    if (commands.device_cookies().key_is_ephemeral())
        log_line("warning: no --device-key-file: device cookies are signed with a key of this "
                 "process, so they end with it and other instances do not take them");
    if (!engine.start(make_handler(commands, routes), error)) {
        std::fprintf(stderr, "tarnix-server: %s\n", error.c_str());
        return 1;
    }

    std::printf("tarnix-server listening on %s://%s:%d%s\n", tls ? "https" : "http",
                options.host.c_str(), port, routes.endpoint_path.c_str());
    std::fflush(stdout);
    log_line("listening on " + options.host + ":" + std::to_string(port) + (tls ? " (HTTPS)" : "") +
             ", database " + database_for_log(options.db) + ", outbox " + options.outbox +
             (update_path.empty() ? std::string()
                                  : ", update file " + options.update_file + " at " + update_path) +
             (update_signature.empty()           ? ""
              : options.update_signature.empty() ? ", signed for " + options.client_version
                                                 : ", signature " + options.update_signature));
    // Alive while the store answers at all: an error (PostgreSQL down) is for /readyz
    // to report; only a store that never answers stops the watchdog.
    ServiceNotifier notifier([&store] {
        try {
            store->account_count();
        } catch (const std::exception&) {
        }
        return true;
    });
    notifier.ready("listening on port " + std::to_string(port));
    int sig = 0;
    while (sigwait(&signals, &sig) == 0 && sig == SIGHUP)
        reload(options, status, engine, signature);
    notifier.stopping();
    log_line("stopping on signal " + std::to_string(sig) +
             ": requests under way get up to 5 s to finish");
    engine.drain(5000);
    log_line("stopped");
    return 0;
}
