// tarnix-server: the reference account server of Tarnix.
#include "ops/admin.h"
#include "base/charset.h"
#include "protocol/commands.h"
#include "app/routes.h"
#include "base/log.h"
#include "base/metrics.h"
#include "mail/mail.h"
#include "mail/mail_sender.h"
#include "web/recovery_mail.h"
#include "protocol/messages.h"
#include "ops/service_notify.h"
#include "app/settings.h"
#include "base/secrets.h"
#include "store/store.h"
#include "ops/update_signature.h"

#include <algorithm>
#include <csignal>
#include <map>
#include <memory>
#include <cstdio>
#include <fstream>
#include <sstream>

#include <curl/curl.h>
#include <pthread.h>
#include <sys/resource.h>
#include <sys/stat.h>

using namespace server;

namespace {

int usage_error(const std::string& message) {
    std::fprintf(stderr, "tarnix-server: %s\n(see tarnix-server --help)\n", message.c_str());
    return 2;
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
bool update_signature_of(const Settings& settings, const StatusTexts& status, std::string& out,
                         std::string& error) {
    out.clear();
    if (!settings.update_key.empty())
        return sign_update(settings.update_key, settings.update_file, status.client_version, out,
                           error);
    // A signature made by the publisher (whose key stays off this machine) is
    // served as it is; it can only be checked for its size here.
    if (!settings.update_signature.empty() &&
        (!read_whole(settings.update_signature, out) || out.size() != 64)) {
        error = settings.update_signature + " is not a 64-byte update signature";
        return false;
    }
    return true;
}

// SIGHUP: the certificate and key, and the update file's signature, read again. What
// does not load is logged and the old one kept. The update file itself is opened
// for every request, so a new one is served without this.
void reload(const Settings& settings, const StatusTexts& status, Engine& engine,
            ReplaceableBytes* signature) {
    std::string error;
    if (!settings.tls_cert.empty()) {
        std::string cert, key;
        if (!read_whole(settings.tls_cert, cert) || !read_whole(settings.tls_key, key))
            log_line("reload: kept the old certificate: cannot read " + settings.tls_cert + " or " +
                     settings.tls_key);
        else if (!engine.replace_certificate(cert, key, error))
            log_line("reload: kept the old certificate: " + error);
        else
            log_line("reload: new connections get the certificate in " + settings.tls_cert);
    }
    if (signature) {
        std::string bytes;
        if (!update_signature_of(settings, status, bytes, error)) {
            log_line("reload: kept the old update signature: " + error);
        } else {
            signature->replace(std::move(bytes));
            log_line("reload: update signature " + (settings.update_key.empty()
                                                        ? "read from " + settings.update_signature
                                                        : "made for " + settings.update_file));
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

// tarnix-server admin [--config FILE] [flags] WORDS...: the operator's commands
// (admin.h), on the store the same settings name.
int admin(int argc, char** argv) {
    Settings settings;
    std::string error;
    int words = argc;
    switch (parse_settings(argc - 1, argv + 1, settings, error, &words)) {
    case ParseResult::Run:
        break;
    case ParseResult::Error:
        return usage_error(error);
    default:
        return usage_error("admin takes settings and then its command words");
    }
    AdminConfig config{store_config(settings), settings.public_url};
    config.store.pool_size = 1;
    if (!load_keyring(settings.secret_key_file, settings.previous_secret_key_files,
                      config.store.keys, error)) {
        std::fprintf(stderr, "tarnix-server: %s\n", error.c_str());
        return 1;
    }
    umask(077);
    return run_admin(config, std::vector<std::string>(argv + 1 + words, argv + argc), stdout,
                     stderr);
}

// tarnix-server keygen-secret DIR: a new key for the passwords at rest.
int keygen_secret(int argc, char** argv) {
    if (argc != 3)
        return usage_error("keygen-secret needs one folder: tarnix-server keygen-secret DIR");
    std::string path, error;
    if (!make_secret_key(argv[2], path, error)) {
        std::fprintf(stderr, "tarnix-server: %s\n", error.c_str());
        return 1;
    }
    std::fprintf(stderr, "tarnix-server: secret key written to %s\n", path.c_str());
    return 0;
}

// Where the codes go: the outbox (default) or an SMTP relay. A configuration that
// cannot work is refused here, before the database is touched: false with the reason.
// A template file named by `flag` (left as it is when `path` is empty); false with the reason.
bool load_template(const std::string& flag, const std::string& path,
                   const std::vector<std::string>& names, MailTemplate& out, std::string& error) {
    if (path.empty())
        return true;
    std::string text;
    if (!read_whole(path, text)) {
        error = "cannot read --" + flag + " " + path;
        return false;
    }
    if (!MailTemplate::parse(text, names, out, error)) {
        error = "--" + flag + " " + path + ": " + error;
        return false;
    }
    return true;
}

// The recovery's templates, by kind, from their files.
bool load_notice_templates(const Settings& settings, NoticeMailing& notices, std::string& error) {
    const std::map<std::string, const std::string*> files = {
        {"reset", &settings.reset_mail_template},
        {"changed", &settings.changed_mail_template},
        {"locked", &settings.locked_mail_template}};
    for (const std::string& kind : notice_kinds()) {
        const std::string& path = *files.at(kind);
        MailTemplate text = builtin_notice(kind);
        if (!load_template(kind + "-mail-template", path, notice_template_names(kind), text, error))
            return false;
        if (!path.empty())
            notices.templates[kind] = text;
    }
    return true;
}

bool make_mailing(const Settings& settings, std::unique_ptr<MailTransport>& transport,
                  CodeMailing& mailing, std::string& error) {
    mailing.service = settings.service_name;
    if (!load_template("mail-template", settings.mail_template, code_template_names(), mailing.text,
                       error))
        return false;
    if (settings.smtp_url.empty()) {
        if (!settings.mail_from.empty() || !settings.smtp_user.empty() ||
            !settings.smtp_password_file.empty() || !settings.smtp_ca_file.empty() ||
            settings.smtp_allow_plaintext) {
            error = "the --smtp-* flags and --mail-from need --smtp-url";
            return false;
        }
        transport.reset(new FileTransport(settings.outbox));
        return true;
    }
    SmtpConfig smtp;
    smtp.url = settings.smtp_url;
    smtp.allow_plaintext = settings.smtp_allow_plaintext;
    smtp.user = settings.smtp_user;
    smtp.ca_file = settings.smtp_ca_file;
    smtp.timeout_seconds = settings.smtp_timeout;
    if (settings.mail_from.empty()) {
        error = "--smtp-url needs --mail-from \"Name <address>\"";
        return false;
    }
    if (!parse_mail_from(settings.mail_from, smtp.from, error))
        return false;
    if (!settings.smtp_password_file.empty() &&
        !read_owner_only_file(settings.smtp_password_file, "password file", smtp.password, error))
        return false;
    if (settings.smtp_user.empty() != settings.smtp_password_file.empty()) {
        error = "--smtp-user and --smtp-password-file go together";
        return false;
    }
    mailing.message_domain = smtp.from.domain;
    transport = make_smtp_transport(smtp, error);
    return transport != nullptr;
}

} // namespace

int main(int argc, char** argv) {
    if (argc >= 2 && std::string(argv[1]) == "keygen")
        return keygen(argc, argv);
    if (argc >= 2 && std::string(argv[1]) == "admin")
        return admin(argc, argv);
    if (argc >= 2 && std::string(argv[1]) == "keygen-secret")
        return keygen_secret(argc, argv);
    Settings settings;
    std::string error;
    switch (parse_settings(argc, argv, settings, error)) {
    case ParseResult::Help:
        std::fputs(usage_text().c_str(), stdout);
        return 0;
    case ParseResult::PrintConfig:
        std::fputs(print_config(settings).c_str(), stdout);
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

    set_log_format(settings.log_format == "json" ? LogFormat::Json : LogFormat::Text);
    StatusTexts status = status_texts(settings);

    // Signed before anything else starts: a key that cannot sign ends the server at once.
    std::string update_signature;
    if (!update_signature_of(settings, status, update_signature, error)) {
        std::fprintf(stderr, "tarnix-server: %s\n", error.c_str());
        return 1;
    }

    // libcurl's global set-up is not thread-safe: before any thread starts.
    curl_global_init(CURL_GLOBAL_DEFAULT);
    std::unique_ptr<MailTransport> transport;
    CodeMailing mailing;
    if (!make_mailing(settings, transport, mailing, error)) {
        std::fprintf(stderr, "tarnix-server: %s\n", error.c_str());
        return 2;
    }
    mailing.transport = transport.get();
    NoticeMailing notices;
    notices.transport = transport.get();
    notices.message_domain = mailing.message_domain;
    if (!load_notice_templates(settings, notices, error)) {
        std::fprintf(stderr, "tarnix-server: %s\n", error.c_str());
        return 2;
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
        files.rlim_cur < static_cast<rlim_t>(settings.max_connections + 64)) {
        files.rlim_cur =
            std::min(files.rlim_max, static_cast<rlim_t>(settings.max_connections + 64));
        setrlimit(RLIMIT_NOFILE, &files);
    }

    EngineConfig config = engine_config(settings);
    if (!settings.tls_cert.empty() && (!read_whole(settings.tls_cert, config.tls_cert_pem) ||
                                       !read_whole(settings.tls_key, config.tls_key_pem))) {
        std::fprintf(stderr, "tarnix-server: cannot read %s or %s\n", settings.tls_cert.c_str(),
                     settings.tls_key.c_str());
        return 1;
    }
    // Users reach the service over HTTPS: this server's own TLS, or a proxy's in front
    // of it that the public URL names.
    RecoveryConfig recovery_settings = recovery_config(settings);
    recovery_settings.secure = recovery_settings.secure || !config.tls_cert_pem.empty();
    DeviceCookieConfig devices;
    devices.secure = recovery_settings.secure;
    if (!settings.device_key_file.empty() &&
        !read_device_key(settings.device_key_file, devices.key, error)) {
        std::fprintf(stderr, "tarnix-server: %s\n", error.c_str());
        return 1;
    }

    StoreConfig store_settings = store_config(settings);
    store_settings.notice = [](const std::string& line) { log_line(line); };
    if (!load_keyring(settings.secret_key_file, settings.previous_secret_key_files,
                      store_settings.keys, error)) {
        std::fprintf(stderr, "tarnix-server: %s\n", error.c_str());
        return 1;
    }
    std::unique_ptr<Store> store = Store::open(store_settings, error);
    if (!store) {
        std::fprintf(stderr, "tarnix-server: cannot open database %s: %s\n",
                     database_for_log(settings.db).c_str(), error.c_str());
        return 1;
    }
    if (!store_settings.keys->encrypts())
        log_line("warning: no --secret-key-file: passwords are stored in plain text (tarnix-server "
                 "keygen-secret DIR makes a key)");
    else
        log_line("passwords sealed under key " + store_settings.keys->current_id());
    if (transport->immediate() && !make_owner_only(settings.outbox)) {
        std::fprintf(stderr, "tarnix-server: cannot make %s owner-only\n", settings.outbox.c_str());
        return 1;
    }
    if (transport->immediate())
        log_line("warning: codes and recovery links are written to " + settings.outbox +
                 " in clear and kept there: for development only (--smtp-url sends them)");

    Engine engine(config);
    if (!engine.listen(error)) {
        std::fprintf(stderr, "tarnix-server: %s\n", error.c_str());
        return 1;
    }
    const int port = engine.port();
    const bool tls = !config.tls_cert_pem.empty();

    if (settings.update_location.empty()) {
        std::string host = settings.host;
        if (host == "0.0.0.0" || host == "::")
            host = "127.0.0.1";
        else if (host.find(':') != std::string::npos)
            host = "[" + host + "]";
        settings.update_location = host + ":" + std::to_string(port) + "/download/Tarnix.exe";
        status.update_location = settings.update_location;
    }
    Routes routes;
    routes.exempt_addresses = settings.exempt_addresses;
    routes.ready = [&store] { return store_ready(*store); };
    ReplaceableBytes* signature = nullptr;
    std::string update_path;
    if (!settings.update_file.empty()) {
        update_path = settings.update_location.substr(settings.update_location.find('/'));
        routes.resources.push_back(Resource::from_file(update_path, settings.update_file));
        if (!update_signature.empty()) {
            routes.resources.push_back(
                Resource::from_bytes(update_path + ".sig", update_signature));
            signature = routes.resources.back().bytes.get();
        }
    }

    // A send may take a connection and a few replies, each up to the time-out, twice
    // (a NOOP first for a non-ASCII address): past that, a claimed mail is free again.
    SenderConfig sender_config;
    sender_config.lease_seconds = 8 * settings.smtp_timeout + 10;
    MailSender sender(*store, *transport, sender_config, log_line);
    if (!transport->immediate()) {
        mailing.queued = [&sender] { sender.wake(); };
        notices.queued = mailing.queued;
        sender.start();
    }
    Commands commands(*store, mailing, status, timing_config(settings), limits_config(settings),
                      devices);
    commands.on_code_sent = log_line;
    // Counted when the admin listener is on; before the recovery, whose thread counts.
    Metrics metrics;
    // Password recovery, and the notices it sends, once the public URL is known.
    std::unique_ptr<Recovery> recovery;
    if (!settings.public_url.empty()) {
        notices.link_seconds = recovery_settings.link_seconds;
        recovery.reset(new Recovery(*store, commands.device_cookies(), recovery_settings,
                                    make_notice_sender(*store, notices, log_line)));
        routes.recovery = recovery.get();
        routes.on_password_changed = [&recovery](const std::string& account,
                                                 const std::string& client) {
            recovery->password_changed(account, client);
        };
    } else {
        log_line("password recovery is off: no --public-url, so /account/reset answers 404");
    }
    commands.on_untrusted_lock = [&recovery](const std::string& account) {
        log_line("account " + printable(account) + " locked for clients it does not know");
        if (recovery)
            recovery->account_locked(account);
    };
    if (commands.device_cookies().key_is_ephemeral())
        log_line("warning: no --device-key-file: device cookies are signed with a key of this "
                 "process, so they end with it and other instances do not take them");
    commands.on_unreadable_password = [](const std::string& account, const std::string& why) {
        log_line("account " + printable(account) + ": " + why +
                 "; its requests are answered with the server error");
    };
    // The admin listener: metrics, and health for what may not reach the public port.
    std::unique_ptr<Engine> admin_listener;
    if (!settings.admin_listen.empty()) {
        admin_listener = std::make_unique<Engine>(admin_engine_config(settings));
        Gauges gauges;
        gauges.connections_open = [&engine] { return engine.open_connections(); };
        if (!transport->immediate()) {
            gauges.mail_queue_depth = [&store] { return store->mail_queue_depth(); };
            gauges.mail_sent = [&sender] {
                return sender.counts().sent.load(std::memory_order_relaxed);
            };
            gauges.mail_abandoned = [&sender] {
                return sender.counts().abandoned.load(std::memory_order_relaxed);
            };
        }
        if (!admin_listener->listen(error) ||
            !admin_listener->start(make_admin_handler(metrics, gauges, routes.ready), error)) {
            std::fprintf(stderr, "tarnix-server: admin listener: %s\n", error.c_str());
            return 1;
        }
        routes.metrics = &metrics;
        commands.metrics = &metrics;
        if (recovery)
            recovery->metrics = &metrics;
    }
    if (!engine.start(make_handler(commands, routes), error)) {
        std::fprintf(stderr, "tarnix-server: %s\n", error.c_str());
        return 1;
    }

    // One write, so a reader of the first line finds the second there too.
    std::string listening = std::string("tarnix-server listening on ") + (tls ? "https" : "http") +
                            "://" + settings.host + ":" + std::to_string(port) +
                            routes.endpoint_path + "\n";
    if (admin_listener)
        listening += "tarnix-server admin listener on http://" +
                     settings.admin_listen.substr(0, settings.admin_listen.rfind(':')) + ":" +
                     std::to_string(admin_listener->port()) + "/metrics\n";
    std::fputs(listening.c_str(), stdout);
    std::fflush(stdout);
    log_line(
        "listening on " + settings.host + ":" + std::to_string(port) + (tls ? " (HTTPS)" : "") +
        ", database " + database_for_log(settings.db) + ", codes to " + transport->describe() +
        (update_path.empty() ? std::string()
                             : ", update file " + settings.update_file + " at " + update_path) +
        (update_signature.empty()            ? ""
         : settings.update_signature.empty() ? ", signed for " + settings.client_version
                                             : ", signature " + settings.update_signature));
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
        reload(settings, status, engine, signature);
        notifier.ready("reloaded");
    }
    notifier.stopping();
    log_line("stopping on signal " + std::to_string(sig) +
             ": requests under way get up to 5 s to finish");
    engine.drain(5000);
    if (admin_listener)
        admin_listener->stop();
    sender.stop();
    log_line("stopped");
    return 0;
}
