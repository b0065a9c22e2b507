// tarnix-server: the reference account server of Tarnix.
#include "charset.h"
#include "commands.h"
#include "http.h"
#include "messages.h"
#include "options.h"
#include "store.h"
#include "update_signature.h"

#include <httplib.h>

#include <cstdio>
#include <thread>

#ifndef _WIN32
#include <csignal>
#include <pthread.h>
#include <sys/stat.h>
#else
#include <csignal>
#endif

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

#ifdef _WIN32
httplib::Server* g_http = nullptr;
void on_signal(int) {
    if (g_http)
        g_http->stop();
}
#endif

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

} // namespace

int main(int argc, char** argv) {
    if (argc >= 2 && std::string(argv[1]) == "keygen")
        return keygen(argc, argv);
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
    if (!options.update_key.empty() &&
        !sign_update(options.update_key, options.update_file, status.client_version,
                     update_signature, error)) {
        std::fprintf(stderr, "tarnix-server: %s\n", error.c_str());
        return 1;
    }

#ifndef _WIN32
    // The database and the outbox hold passwords and codes: owner only.
    umask(077);
    // A client that hangs up mid-download must not end the server.
    std::signal(SIGPIPE, SIG_IGN);
    // Stop on SIGINT/SIGTERM: block them here, before any thread exists, and wait for
    // them on a thread of our own.
    sigset_t stop_signals;
    sigemptyset(&stop_signals);
    sigaddset(&stop_signals, SIGINT);
    sigaddset(&stop_signals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &stop_signals, nullptr);
#endif

    std::unique_ptr<Store> store = Store::open(options.db, error);
    if (!store) {
        std::fprintf(stderr, "tarnix-server: cannot open database %s: %s\n", options.db.c_str(),
                     error.c_str());
        return 1;
    }
    Outbox outbox(options.outbox);

    httplib::Server http;
    const int threads = options.threads;
    http.new_task_queue = [threads] {
        return new httplib::ThreadPool(static_cast<size_t>(threads));
    };
    int port = options.port;
    if (port == 0)
        port = http.bind_to_any_port(options.host);
    else if (!http.bind_to_port(options.host, port))
        port = -1;
    if (port <= 0) {
        std::fprintf(stderr, "tarnix-server: cannot listen on %s:%d\n", options.host.c_str(),
                     options.port);
        return 1;
    }

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
    if (!options.update_file.empty())
        routes.update_path = options.update_location.substr(options.update_location.find('/'));
    routes.update_file = options.update_file;
    routes.update_signature = update_signature;

    Timing timing;
    timing.challenge_seconds = options.challenge_seconds;
    timing.lock.lock_seconds = options.lock_seconds;
    Commands commands(*store, outbox, status, timing);
    commands.on_code_sent = [](const std::string& line) {
        log_line("code sent: " + printable(line.substr(0, line.size() - 1)));
    };
    install_routes(http, commands, routes);

#ifndef _WIN32
    std::thread stopper([&http, stop_signals] {
        int sig = 0;
        sigwait(&stop_signals, &sig);
        log_line("stopping on signal " + std::to_string(sig));
        http.stop();
    });
    stopper.detach();
#else
    g_http = &http;
    std::signal(SIGINT, on_signal);
    std::signal(SIGTERM, on_signal);
#endif

    std::printf("tarnix-server listening on http://%s:%d%s\n", options.host.c_str(), port,
                routes.endpoint_path.c_str());
    std::fflush(stdout);
    log_line("listening on " + options.host + ":" + std::to_string(port) + ", database " +
             options.db + ", outbox " + options.outbox +
             (routes.update_path.empty()
                  ? std::string()
                  : ", update file " + options.update_file + " at " + routes.update_path) +
             (routes.update_signature.empty() ? "" : ", signed for " + options.client_version));
    bool ok = http.listen_after_bind();
    log_line("stopped");
    return ok ? 0 : 1;
}
