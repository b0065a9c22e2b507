// tarnix-server: the reference account server of Tarnix.
#include "app/check_config.h"
#include "app/configs.h"
#include "app/routes.h"
#include "app/settings.h"
#include "base/charset.h"
#include "base/clock.h"
#include "base/files.h"
#include "base/log.h"
#include "base/metrics.h"
#include "base/secrets.h"
#include "base/version.h"
#include "mail/mail.h"
#include "mail/mail_sender.h"
#include "mail/smtp.h"
#include "ops/admin.h"
#include "ops/service_notify.h"
#include "ops/update_signature.h"
#include "protocol/commands.h"
#include "protocol/messages.h"
#include "store/store.h"
#include "web/recovery.h"
#include "web/recovery_mail.h"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <memory>

#include <curl/curl.h>
#include <pthread.h>
#include <sys/resource.h>
#include <sys/stat.h>

using namespace server;

namespace {

// A wrong command line, said before the log's format is known.
int usage_error(const std::string& message) {
    std::fprintf(stderr, "tarnix-server: %s\n(see tarnix-server --help)\n", message.c_str());
    return 2;
}

// What a one-shot command (keygen, admin) says when it fails.
int tool_failure(const std::string& message) {
    std::fprintf(stderr, "tarnix-server: %s\n", message.c_str());
    return 1;
}

// A start-up failure of the moment (the database, a listener), through the log.
int start_failure(const std::string& message) {
    log_start_failure(message);
    return 1;
}

// A start refused for what the settings get wrong, named as the operator wrote it:
// the exit code of a configuration error, as check-config's.
int config_failure(const Settings& settings, const std::string& message) {
    log_start_failure(as_written(settings, message));
    return 2;
}

// SIGHUP: the certificate and key, the update file's signature, and the password
// screen's corpus and quality rules, read again. What
// does not load is logged and the old one kept. The update file itself is opened
// for every request, so a new one is served without this.
void reload(const Settings& settings, Engine& engine, ReplaceableBytes* signature,
            PasswordScreen& passwords) {
    std::string error;
    if (passwords.enabled()) {
        if (!passwords.load(error))
            log_error("reload: kept the password screen in use: " + error);
        else
            log_info("reload: password screen read again" +
                     (passwords.corpus_identity().empty()
                          ? std::string()
                          : ", corpus " + passwords.corpus_identity()));
    }
    const TlsFiles tls = tls_files(settings);
    if (!tls.cert.empty()) {
        std::string cert, key;
        if (!read_tls_files(tls, cert, key, error) || !engine.replace_certificate(cert, key, error))
            log_error("reload: kept the old certificate: " + error);
        else
            log_info("reload: new connections get the certificate in " + tls.cert);
    }
    if (signature) {
        const UpdateSigning signing = update_signing(settings);
        std::string bytes;
        if (!update_signature(signing, bytes, error)) {
            log_error("reload: kept the old update signature: " + error);
        } else {
            signature->replace(std::move(bytes));
            log_info("reload: update signature " + (signing.key_file.empty()
                                                        ? "read from " + signing.signature_file
                                                        : "made for " + signing.file));
        }
    }
}

// tarnix-server keygen DIR: a new update signing key; prints its public key.
int keygen(int argc, char** argv) {
    if (argc != 3)
        return usage_error("keygen needs one folder: tarnix-server keygen DIR");
    std::string path, public_hex, error;
    if (!make_update_key(argv[2], path, public_hex, error))
        return tool_failure(error);
    std::printf("%s\n", public_hex.c_str());
    std::fprintf(stderr, "tarnix-server: private key written to %s\n", path.c_str());
    return 0;
}

// Where the codes go: the outbox, or the relay of the mail settings.
std::unique_ptr<MailTransport> make_transport(const MailConfig& mail, std::string& error) {
    if (mail.smtp)
        return make_smtp_transport(*mail.smtp, error);
    return std::make_unique<FileTransport>(mail.outbox);
}

// tarnix-server admin [--config FILE] [flags] WORDS... [flags]: the operator's
// commands (admin.h), on the store the same settings name.
int admin(int argc, char** argv) {
    std::vector<char*> flags;
    std::vector<std::string> words;
    split_settings_flags(argc - 1, argv + 1, flags, words);
    Settings settings;
    std::string error;
    switch (parse_settings(static_cast<int>(flags.size()), flags.data(), settings, error)) {
    case ParseResult::Run:
        break;
    case ParseResult::Error:
        return usage_error(error);
    case ParseResult::Conflict:
        return usage_error(as_written(settings, error));
    default:
        return usage_error("admin takes settings and its command words");
    }
    AdminConfig config;
    if (!admin_config(settings, config, error))
        return tool_failure(as_written(settings, error));
    // The mails of a command that sends some (passwords audit --notify): queued for the
    // servers' senders, or with the outbox appended to it at once.
    std::shared_ptr<MailTransport> transport;
    config.notice_mailing = [&settings, &transport](NoticeMailing& out, std::string& why) {
        MailConfig mail;
        if (!mail_config(settings, mail, why))
            return false;
        transport = make_transport(mail, why);
        if (!transport)
            return false;
        out = mail.notices;
        out.transport = transport.get();
        return true;
    };
    umask(077);
    return run_admin(config, words, stdout, stderr);
}

// tarnix-server check-config [--config FILE] [flags]: what a start would check.
int check_config_command(int argc, char** argv) {
    Settings settings;
    std::string error;
    switch (parse_settings(argc - 1, argv + 1, settings, error)) {
    case ParseResult::Run:
        return check_config(settings, stdout);
    case ParseResult::Conflict:
        // Each setting parsed: the files are checked too, so every fault is told at once.
        return check_config(settings, stdout, error);
    case ParseResult::Error:
        std::printf("error: %s\n", error.c_str());
        return 2;
    default:
        return usage_error("check-config takes the settings a start would take");
    }
}

// tarnix-server keygen-secret DIR: a new key for the passwords at rest.
int keygen_secret(int argc, char** argv) {
    if (argc != 3)
        return usage_error("keygen-secret needs one folder: tarnix-server keygen-secret DIR");
    std::string path, error;
    if (!make_secret_key(argv[2], path, error))
        return tool_failure(error);
    std::fprintf(stderr, "tarnix-server: secret key written to %s\n", path.c_str());
    return 0;
}

// Room for every connection allowed, the database and the listener.
void raise_open_file_limit(int max_connections) {
    const rlim_t wanted = static_cast<rlim_t>(max_connections + 64);
    rlimit files{};
    if (getrlimit(RLIMIT_NOFILE, &files) == 0 && files.rlim_cur < wanted) {
        files.rlim_cur = std::min(files.rlim_max, wanted);
        setrlimit(RLIMIT_NOFILE, &files);
    }
}

// The server, from settings that parsed, until SIGINT or SIGTERM; the exit code.
int serve(const Settings& settings) {
    std::string error;
    if (!init_messages(error))
        return start_failure("no GBK conversion available (" + error + ")");

    // Signed before anything else starts: a key that cannot sign ends the server at once.
    const UpdateSigning signing = update_signing(settings);
    std::string signature_bytes;
    if (!update_signature(signing, signature_bytes, error))
        return config_failure(settings, error);

    // libcurl's global set-up is not thread-safe: before any thread starts.
    curl_global_init(CURL_GLOBAL_DEFAULT);
    MailConfig mail;
    if (!mail_config(settings, mail, error))
        return config_failure(settings, error);
    std::unique_ptr<MailTransport> transport = make_transport(mail, error);
    if (!transport)
        return config_failure(settings, error);
    mail.codes.transport = transport.get();
    mail.notices.transport = transport.get();

    // The database and the outbox hold passwords and codes: owner only.
    umask(077);
    // A client that hangs up mid-download must not end the server.
    std::signal(SIGPIPE, SIG_IGN);
    // Stop on SIGINT/SIGTERM, reload on SIGHUP: block them here, before any thread
    // exists, and wait for them at the end.
    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGINT);
    sigaddset(&signals, SIGTERM);
    sigaddset(&signals, SIGHUP);
    pthread_sigmask(SIG_BLOCK, &signals, nullptr);

    EngineConfig config = engine_config(settings);
    raise_open_file_limit(config.max_connections);
    if (!tls_config(settings, config, error))
        return config_failure(settings, error);
    const bool tls = !config.tls_cert_pem.empty();
    DeviceCookieConfig devices;
    if (!device_cookie_config(settings, devices, error))
        return config_failure(settings, error);

    PasswordScreen passwords(password_screen_config(settings));
    if (passwords.enabled() && !passwords.load(error))
        return config_failure(settings, error);

    StoreConfig store_settings;
    if (!keyed_store_config(settings, store_settings, error))
        return config_failure(settings, error);
    store_settings.notice = log_store_notice;
    std::unique_ptr<Store> store = Store::open(store_settings, error);
    if (!store)
        return start_failure("cannot open database " + database_for_log(settings) + ": " + error);
    if (!store_settings.keys->encrypts())
        log_warning("no --secret-key-file: passwords are stored in plain text (tarnix-server "
                    "keygen-secret DIR makes a key)");
    else
        log_info("passwords sealed under key " + store_settings.keys->current_id());
    if (transport->immediate()) {
        if (!make_owner_only(mail.outbox))
            return start_failure("cannot make " + mail.outbox +
                                 " owner-only: " + std::strerror(errno));
        log_warning(std::string(is_loopback_host(config.host) ? "" : "NOT FOR USERS: ") +
                    "codes and recovery links are written to " + mail.outbox +
                    " in clear and kept there: for development only (--smtp-url sends them)");
    }

    Engine engine(config);
    if (!engine.listen(error))
        return start_failure(error);
    const int port = engine.port();
    // The downloads over plain HTTP, beside a port that may speak TLS.
    const std::optional<EngineConfig> download_config = download_engine_config(settings);
    std::unique_ptr<Engine> download_listener;
    if (download_config) {
        download_listener = std::make_unique<Engine>(*download_config);
        if (!download_listener->listen(error))
            return start_failure("download listener: " + error);
    }
    const int download_port = download_listener ? download_listener->port() : port;

    Routes routes = routes_config(settings);
    routes.ready = [&store] { return store_ready(*store); };
    ReplaceableBytes* signature = nullptr;
    std::string update_path;
    if (!signing.file.empty()) {
        const std::string location = update_location(settings, download_port);
        update_path = location.substr(location.find('/'));
        routes.resources.push_back(Resource::from_file(update_path, signing.file));
        if (!signature_bytes.empty()) {
            routes.resources.push_back(Resource::from_bytes(update_path + ".sig", signature_bytes));
            signature = routes.resources.back().bytes.get();
        }
    }

    EventLogConfig event_settings;
    if (!event_log_config(settings, event_settings, error))
        return config_failure(settings, error);
    EventLog events(*store, event_settings);
    if (events.enabled())
        routes.events = &events;
    else
        log_info("no --events-key-file: security events are not recorded");

    MailSender sender(*store, *transport, mail.sender);
    if (!transport->immediate()) {
        mail.codes.queued = [&sender] { sender.wake(); };
        mail.notices.queued = mail.codes.queued;
        sender.start();
    }
    Commands commands(*store, mail.codes, status_texts(settings, download_port),
                      timing_config(settings), limits_config(settings), devices);
    commands.on_code_sent = [](const std::string& line) { log_info(line); };
    commands.passwords = &passwords;
    Rollouts rollouts(*store, commands.device_cookies(), rollout_config(settings, download_port));
    rollouts.on_halt = [](const std::string& line) { log_warning(line); };
    commands.rollouts = &rollouts;
    routes.rollouts = &rollouts;
    // Counted when the admin listener is on; before the recovery, whose thread counts.
    Metrics metrics;
    // Password recovery, and the notices it sends, once the public URL is known.
    const RecoveryConfig recovery_settings = recovery_config(settings);
    std::unique_ptr<Recovery> recovery;
    if (!recovery_settings.public_url.empty()) {
        recovery.reset(new Recovery(*store, commands.device_cookies(), recovery_settings,
                                    make_notice_sender(*store, mail.notices)));
        recovery->passwords = &passwords;
        recovery->events = routes.events;
        routes.recovery = recovery.get();
        routes.on_password_changed = [&recovery](const std::string& account,
                                                 const std::string& client) {
            recovery->password_changed(account, client);
        };
    } else {
        log_info("password recovery is off: no --public-url, so /account/reset answers 404");
    }
    if (recovery)
        routes.on_new_device = [&recovery](const std::string& account, const std::string& client) {
            recovery->new_device(account, client);
        };
    commands.on_untrusted_lock = [&recovery](const std::string& account) {
        log_info("account " + printable(account) + " locked for clients it does not know");
        if (recovery)
            recovery->account_locked(account);
    };
    if (commands.device_cookies().key_is_ephemeral())
        log_warning("no --device-key-file: device cookies are signed with a key of this "
                    "process, so they end with it and other instances do not take them");
    commands.on_unreadable_password = [](const std::string& account, const std::string& why) {
        log_error("account " + printable(account) + ": " + why +
                  "; its requests are answered with the server error");
    };
    // The admin listener: metrics, and health for what may not reach the public port.
    const std::optional<EngineConfig> admin_config = admin_engine_config(settings);
    std::unique_ptr<Engine> admin_listener;
    if (admin_config) {
        admin_listener = std::make_unique<Engine>(*admin_config);
        Gauges gauges;
        gauges.connections_open = [&engine] { return engine.open_connections(); };
        // With the outbox too: its figures stay 0.
        gauges.mail_queue_depth = [&store] { return store->mail_queue_depth(); };
        gauges.mail_sent = [&sender] {
            return sender.counts().sent.load(std::memory_order_relaxed);
        };
        gauges.mail_abandoned = [&sender] {
            return sender.counts().abandoned.load(std::memory_order_relaxed);
        };
        gauges.rollouts = [&rollouts] { return rollouts.figures(); };
        if (!admin_listener->listen(error) ||
            !admin_listener->start(make_admin_handler(metrics, gauges, routes.ready), error))
            return start_failure("admin listener: " + error);
        routes.metrics = &metrics;
        commands.metrics = &metrics;
        if (recovery)
            recovery->metrics = &metrics;
        events.metrics = &metrics;
    }
    if (!engine.start(make_handler(commands, routes), error))
        return start_failure(error);
    if (download_listener && !download_listener->start(make_download_handler(routes), error))
        return start_failure("download listener: " + error);

    // One write, so a reader of the first line finds the second there too.
    std::string listening = std::string("tarnix-server listening on ") + (tls ? "https" : "http") +
                            "://" + config.host + ":" + std::to_string(port) +
                            routes.endpoint_path + "\n";
    if (admin_listener)
        listening += "tarnix-server admin listener on http://" + host_in_url(admin_config->host) +
                     ":" + std::to_string(admin_listener->port()) + "/metrics\n";
    if (download_listener)
        listening += "tarnix-server download listener on http://" +
                     host_in_url(download_config->host) + ":" + std::to_string(download_port) +
                     "/download/\n";
    std::fputs(listening.c_str(), stdout);
    std::fflush(stdout);
    log_info("listening on " + config.host + ":" + std::to_string(port) + (tls ? " (HTTPS)" : "") +
             ", database " + database_for_log(settings) + ", codes to " + transport->describe() +
             (update_path.empty() ? std::string()
                                  : ", update file " + signing.file + " at " + update_path) +
             (signature_bytes.empty()          ? ""
              : signing.signature_file.empty() ? ", signed for " + printable(signing.version)
                                               : ", signature " + signing.signature_file));
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
    while (sigwait(&signals, &sig) == 0 && sig == SIGHUP) {
        notifier.reloading();
        reload(settings, engine, signature, passwords);
        notifier.ready("reloaded");
    }
    notifier.stopping();
    log_info("stopping on signal " + std::to_string(sig) +
             ": requests under way get up to 5 s to finish");
    engine.drain(5000);
    if (download_listener)
        download_listener->stop(); // a download cut short resumes with a Range
    if (admin_listener)
        admin_listener->stop();
    sender.stop();
    events.stop();
    log_info("stopped");
    return 0;
}

} // namespace

int main(int argc, char** argv) {
    if (argc >= 2 && std::string(argv[1]) == "keygen")
        return keygen(argc, argv);
    if (argc >= 2 && std::string(argv[1]) == "admin")
        return admin(argc, argv);
    if (argc >= 2 && std::string(argv[1]) == "keygen-secret")
        return keygen_secret(argc, argv);
    if (argc >= 2 && std::string(argv[1]) == "check-config")
        return check_config_command(argc, argv);
    Settings settings;
    std::string error;
    switch (parse_settings(argc, argv, settings, error)) {
    case ParseResult::Help:
        std::fputs(usage_text(admin_usage()).c_str(), stdout);
        return 0;
    case ParseResult::Version:
        std::puts("tarnix-server " TARNIX_SERVER_VERSION);
        return 0;
    case ParseResult::PrintConfig:
        std::fputs(print_config(settings).c_str(), stdout);
        return 0;
    case ParseResult::Error:
        return usage_error(error);
    case ParseResult::Conflict:
        set_log_format(log_format(settings));
        return config_failure(settings, error);
    case ParseResult::Run:
        break;
    }
    set_log_format(log_format(settings));
    use_time_zone(time_zone(settings)); // the row has checked the zone is known
    return serve(settings);
}
