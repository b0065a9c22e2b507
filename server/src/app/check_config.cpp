#include "app/check_config.h"

#include "app/configs.h"
#include "protocol/messages.h"
#include "store/store.h"

#include <cerrno>
#include <cstring>
#include <string>
#include <vector>

#include <curl/curl.h>
#include <fcntl.h>
#include <unistd.h>

namespace server {
namespace {

struct Findings {
    const Settings& settings;
    std::vector<std::string> errors;
    std::vector<std::string> warnings;

    // Runs one check that reports through its `error`; an error is kept, its setting
    // named as the operator wrote it.
    template <typename Check> bool check(Check&& run) {
        std::string error;
        if (run(error))
            return true;
        errors.push_back(as_written(settings, error));
        return false;
    }
};

// Whether this user may read `path`; false with the setting and the reason.
bool readable(const char* setting, const std::string& path, std::string& error) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd >= 0) {
        ::close(fd);
        return true;
    }
    error = std::string(setting) + ": cannot read " + path + ": " + std::strerror(errno);
    return false;
}

// Whether a file the server writes (the database, the outbox) can be: the file
// itself when it exists, else its folder.
bool writable(const char* setting, const std::string& path, std::string& error) {
    if (::access(path.c_str(), F_OK) == 0) {
        if (::access(path.c_str(), R_OK | W_OK) == 0)
            return true;
        error = std::string(setting) + ": cannot write " + path + ": " + std::strerror(errno);
        return false;
    }
    const size_t slash = path.rfind('/');
    const std::string dir = slash == std::string::npos ? "."
                            : slash == 0               ? "/"
                                                       : path.substr(0, slash);
    if (::access(dir.c_str(), W_OK | X_OK) == 0)
        return true;
    error = std::string(setting) + ": cannot create " + path + " in " + dir + ": " +
            std::strerror(errno);
    return false;
}

} // namespace

bool is_loopback_host(const std::string& host) {
    return host == "localhost" || host == "::1" || host.rfind("127.", 0) == 0;
}

int check_config(const Settings& s, std::FILE* out, const std::string& conflict) {
    Findings f{s, {}, {}};
    if (!conflict.empty())
        f.errors.push_back(as_written(s, conflict));
    f.check([](std::string& error) {
        std::string bad;
        if (init_messages(bad))
            return true;
        error = "no GBK conversion available (" + bad + ")";
        return false;
    });

    // The TLS pair loads, matches and is valid now; the ticket key file is private.
    EngineConfig engine;
    f.check([&](std::string& error) { return tls_config(s, engine, error); });

    // Keys: the secret keys and the device key, read and their modes checked.
    StoreConfig store;
    f.check([&](std::string& error) { return keyed_store_config(s, store, error); });
    DeviceCookieConfig devices;
    f.check([&](std::string& error) { return device_cookie_config(s, devices, error); });
    if (!is_postgres_uri(s.db))
        f.check([&](std::string& error) { return writable("db", s.db, error); });
    else
        f.warnings.push_back("db: the PostgreSQL connection is not tried by check-config");

    // The password screen's corpus and rules, and the event record's key.
    PasswordScreen passwords(password_screen_config(s));
    if (passwords.enabled())
        f.check([&](std::string& error) { return passwords.load(error); });
    EventLogConfig events;
    f.check([&](std::string& error) { return event_log_config(s, events, error); });

    // Mail: templates, the relay's password and URL.
    curl_global_init(CURL_GLOBAL_DEFAULT);
    MailConfig mail;
    if (f.check([&](std::string& error) { return mail_config(s, mail, error); })) {
        if (mail.smtp)
            f.check([&](std::string& error) {
                return make_smtp_transport(*mail.smtp, error) != nullptr;
            });
        else
            f.check([&](std::string& error) { return writable("outbox", mail.outbox, error); });
    }

    // The update file and its signature.
    if (!s.update_file.empty()) {
        f.check([&](std::string& error) { return readable("update-file", s.update_file, error); });
        std::string signature;
        f.check([&](std::string& error) {
            return update_signature(update_signing(s), signature, error);
        });
    }

    // What works but is not a service users can reach.
    const bool loopback = is_loopback_host(s.host);
    if (s.smtp_url.empty())
        f.warnings.push_back(std::string(loopback ? "" : "NOT FOR USERS: ") +
                             "codes and recovery links go to the "
                             "outbox " +
                             s.outbox + ", not to users (smtp-url sends them)");
    if (s.public_url.empty())
        f.warnings.push_back("public-url is empty: password recovery is off");
    if (loopback)
        f.warnings.push_back("host " + s.host + " is loopback: only this machine reaches it");
    if (s.secret_key_file.empty())
        f.warnings.push_back("secret-key-file is empty: passwords are stored in plain text");
    if (s.device_key_file.empty())
        f.warnings.push_back("device-key-file is empty: device cookies end with the process");

    for (const std::string& e : f.errors)
        std::fprintf(out, "error: %s\n", e.c_str());
    for (const std::string& w : f.warnings)
        std::fprintf(out, "warning: %s\n", w.c_str());
    if (f.errors.empty())
        std::fprintf(out, "the configuration would start\n");
    return f.errors.empty() ? 0 : 2;
}

} // namespace server
