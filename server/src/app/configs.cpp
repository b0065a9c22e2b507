#include "app/configs.h"

#include "base/charset.h"
#include "base/files.h"
#include "base/policy.h"
#include "base/text.h"
#include "http/tls.h"

#include <map>

#include <unistd.h>

namespace server {
namespace {

// A template file named by --`flag` (`out` left as it is when `path` is empty).
bool load_template(const std::string& flag, const std::string& path,
                   const std::vector<std::string>& names, MailTemplate& out, std::string& error) {
    if (path.empty())
        return true;
    std::string text, why;
    if (!read_whole_file(path, text, &why)) {
        error = flag + ": cannot read " + path + ": " + why;
        return false;
    }
    if (!MailTemplate::parse(text, names, out, error)) {
        error = flag + " " + path + ": " + error;
        return false;
    }
    return true;
}

// The recovery's templates, by kind, from their files.
bool load_notice_templates(const Settings& s, NoticeMailing& notices, std::string& error) {
    const std::map<std::string, const std::string*> files = {
        {"reset", &s.reset_mail_template},
        {"changed", &s.changed_mail_template},
        {"locked", &s.locked_mail_template},
        {"new-device", &s.new_device_mail_template},
        {"audit", &s.audit_mail_template}};
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

bool served_over_https(const Settings& s) {
    return !s.tls_cert.empty() || s.public_url.rfind("https://", 0) == 0;
}

// A plain-HTTP listener of one loop at `host_port` (checked by its row) for GETs
// only: a scraper's, a browser's or a download's headers, and no body.
EngineConfig side_listener(const std::string& host_port) {
    EngineConfig c;
    int port = 0;
    split_host_port(host_port, c.host, port);
    c.port = port;
    c.threads = 1;
    c.max_header_bytes = 8192;
    c.max_body_bytes = 0;
    return c;
}

} // namespace

std::string time_zone(const Settings& s) {
    return s.time_zone;
}

LogFormat log_format(const Settings& s) {
    return s.log_format == "json" ? LogFormat::Json : LogFormat::Text;
}

EngineConfig engine_config(const Settings& s) {
    EngineConfig c;
    c.host = s.host;
    c.port = static_cast<int>(s.port);
    c.threads = static_cast<int>(s.threads);
    c.timeout_seconds = static_cast<int>(s.timeout);
    c.max_connections = static_cast<int>(s.max_connections);
    c.max_per_address = static_cast<int>(s.max_per_address);
    c.max_header_bytes = static_cast<size_t>(s.max_header_bytes);
    c.max_body_bytes = static_cast<size_t>(s.max_body_bytes);
    c.backlog = static_cast<int>(s.backlog);
    c.tls_ticket_key_file = s.tls_ticket_key_file;
    // Checked together with the other settings: each is a range.
    for (const std::string& item : s.proxy_from) {
        AddressRange r;
        if (parse_address_range(item, r))
            c.proxy_from.push_back(r);
    }
    return c;
}

std::optional<EngineConfig> admin_engine_config(const Settings& s) {
    if (s.admin_listen.empty())
        return std::nullopt;
    EngineConfig c = side_listener(s.admin_listen);
    c.timeout_seconds = 10;
    c.max_connections = 16;
    c.max_per_address = 16;
    c.backlog = 16;
    return c;
}

std::optional<EngineConfig> download_engine_config(const Settings& s) {
    if (s.download_listen.empty())
        return std::nullopt;
    // A download is the disk's and the network's work, not the CPU's: one loop does,
    // with the public listener's bounds on connections.
    EngineConfig c = side_listener(s.download_listen);
    c.timeout_seconds = static_cast<int>(s.timeout);
    c.max_connections = static_cast<int>(s.max_connections);
    c.max_per_address = static_cast<int>(s.max_per_address);
    c.backlog = static_cast<int>(s.backlog);
    return c;
}

TlsFiles tls_files(const Settings& s) {
    return TlsFiles{s.tls_cert, s.tls_key};
}

bool read_tls_files(const TlsFiles& files, std::string& cert_pem, std::string& key_pem,
                    std::string& error) {
    cert_pem.clear();
    key_pem.clear();
    if (files.cert.empty())
        return true;
    std::string why;
    if (!read_whole_file(files.cert, cert_pem, &why)) {
        error = "tls-cert: cannot read " + files.cert + ": " + why;
        return false;
    }
    if (!read_whole_file(files.key, key_pem, &why)) {
        error = "tls-key: cannot read " + files.key + ": " + why;
        return false;
    }
    return true;
}

bool tls_config(const Settings& s, EngineConfig& config, std::string& error) {
    const TlsFiles files = tls_files(s);
    if (!read_tls_files(files, config.tls_cert_pem, config.tls_key_pem, error))
        return false;
    if (files.cert.empty())
        return true;
    if (!load_credentials(config.tls_cert_pem, config.tls_key_pem, error)) {
        error = "tls-cert " + files.cert + " with tls-key " + files.key + ": " + error;
        return false;
    }
    TicketKey ticket;
    if (!s.tls_ticket_key_file.empty() &&
        !refresh_ticket_key(ticket, s.tls_ticket_key_file, kDaySeconds, 0, error)) {
        error = "tls-ticket-key-file: " + error;
        return false;
    }
    return true;
}

StoreConfig store_config(const Settings& s) {
    StoreConfig c;
    c.where = s.db;
    c.pool_size = static_cast<int>(s.db_pool);
    c.challenge_seconds = s.challenge_seconds;
    c.max_challenges = static_cast<size_t>(s.max_challenges);
    return c;
}

bool keyed_store_config(const Settings& s, StoreConfig& out, std::string& error) {
    out = store_config(s);
    return load_keyring(s.secret_key_file, s.previous_secret_key_files, out.keys, error);
}

void log_store_notice(const std::string& line) {
    // The store's notices say a warning in their words, as a line of text would.
    static const std::string kWarning = "warning: ";
    if (line.rfind(kWarning, 0) == 0)
        log_warning(line.substr(kWarning.size()));
    else
        log_info(line);
}

std::string database_for_log(const Settings& s) {
    if (!is_postgres_uri(s.db))
        return s.db;
    const size_t scheme = s.db.find("://") + 3;
    const size_t at = s.db.find('@', scheme);
    return at == std::string::npos ? s.db : s.db.substr(0, scheme) + s.db.substr(at + 1);
}

bool admin_config(const Settings& s, AdminConfig& out, std::string& error) {
    out = AdminConfig();
    out.public_url = s.public_url;
    out.update_description = s.update_description;
    if (!keyed_store_config(s, out.store, error))
        return false;
    // One command at a time: one connection.
    out.store.pool_size = 1;
    EventLogConfig events;
    if (!event_log_config(s, events, error))
        return false;
    out.event_key = events.key;
    out.instance = events.instance;
    out.event_retention_seconds = events.retention_seconds;
    out.passwords = password_screen_config(s);
    out.service = s.service_name;
    return true;
}

Limits limits_config(const Settings& s) {
    Limits c;
    c.challenges_per_minute = static_cast<int>(s.challenges_per_minute);
    c.sign_ins_per_minute = static_cast<int>(s.sign_ins_per_minute);
    c.changes_per_minute = static_cast<int>(s.password_changes_per_minute);
    c.codes_per_minute = static_cast<int>(s.codes_per_minute);
    c.status_per_minute = static_cast<int>(s.status_requests_per_minute);
    c.codes_per_address_per_day = static_cast<int>(s.codes_per_address_per_day);
    return c;
}

Timing timing_config(const Settings& s) {
    Timing c;
    c.lock.lock_seconds = s.lock_seconds;
    c.lock.max_failures = kMaxPasswordFailures;
    return c;
}

RecoveryConfig recovery_config(const Settings& s) {
    RecoveryConfig c;
    c.public_url = s.public_url;
    c.service = s.service_name;
    c.secure = served_over_https(s);
    c.requests_per_minute = static_cast<int>(s.reset_requests_per_minute);
    c.new_device_notices_per_day = s.new_device_notices ? kNewDeviceNoticesPerDay : 0;
    return c;
}

bool device_cookie_config(const Settings& s, DeviceCookieConfig& out, std::string& error) {
    out = DeviceCookieConfig();
    out.secure = served_over_https(s);
    return s.device_key_file.empty() || read_device_key(s.device_key_file, out.key, error);
}

bool event_log_config(const Settings& s, EventLogConfig& out, std::string& error) {
    out = EventLogConfig();
    out.retention_seconds = s.event_retention_days * kDaySeconds;
    out.instance = s.instance_name;
    if (out.instance.empty()) {
        char host[256] = {};
        out.instance = gethostname(host, sizeof host - 1) == 0 ? host : "server";
    }
    if (s.events_key_file.empty())
        return true;
    SecretKey key;
    if (!load_secret_key(s.events_key_file, key, error)) {
        error = "events-key-file: " + error;
        return false;
    }
    out.key.assign(key.bytes.view());
    return true;
}

PasswordScreenConfig password_screen_config(const Settings& s) {
    PasswordScreenConfig out;
    out.breached_file = s.breached_passwords;
    out.quality_file = s.password_quality_file;
    return out;
}

std::string update_location(const Settings& s, int download_port) {
    if (!s.update_location.empty())
        return s.update_location;
    const std::string host = download_host(s);
    return (is_wildcard_host(host) ? std::string("127.0.0.1") : host_in_url(host)) + ":" +
           std::to_string(download_port) + "/download/Tarnix.exe";
}

StatusTexts status_texts(const Settings& s, int download_port) {
    // The rows have checked that each converts.
    StatusTexts t;
    t.service_name = utf8_to_gbk(s.service_name).value_or("");
    t.client_version = utf8_to_gbk(s.client_version).value_or("");
    const std::string location = update_location(s, download_port);
    t.update_location = utf8_to_gbk(location).value_or(location);
    t.update_description = utf8_to_gbk(s.update_description).value_or("");
    t.announcement = utf8_to_gbk(s.announcement).value_or("");
    return t;
}

RolloutConfig rollout_config(const Settings& s, int download_port) {
    RolloutConfig r;
    r.halt_share_percent = s.rollout_halt_share;
    r.halt_min = s.rollout_halt_min;
    // The candidates are served by this server's host, as the release is.
    const std::string location = update_location(s, download_port);
    r.download_host = location.substr(0, location.find('/'));
    return r;
}

UpdateSigning update_signing(const Settings& s) {
    UpdateSigning u;
    u.file = s.update_file;
    u.key_file = s.update_key;
    u.signature_file = s.update_signature;
    u.version = utf8_to_gbk(s.client_version).value_or("");
    return u;
}

Routes routes_config(const Settings& s) {
    Routes r;
    r.exempt_addresses = s.exempt_addresses;
    return r;
}

bool mail_config(const Settings& s, MailConfig& out, std::string& error) {
    out = MailConfig();
    out.codes.service = s.service_name;
    if (!load_template("mail-template", s.mail_template, code_template_names(), out.codes.text,
                       error) ||
        !load_notice_templates(s, out.notices, error))
        return false;
    // A send may take a connection and a few replies, each up to the time-out, twice
    // (a NOOP first for a non-ASCII address): past that, a claimed mail is free again.
    out.sender.lease_seconds = 8 * s.smtp_timeout + 10;
    if (s.smtp_url.empty()) {
        out.outbox = s.outbox;
        return true;
    }
    SmtpConfig smtp;
    smtp.url = s.smtp_url;
    smtp.allow_plaintext = s.smtp_allow_plaintext;
    smtp.user = s.smtp_user;
    smtp.ca_file = s.smtp_ca_file;
    smtp.timeout_seconds = s.smtp_timeout;
    if (!parse_mail_from(s.mail_from, smtp.from, error))
        return false;
    if (!s.smtp_password_file.empty() &&
        !read_owner_only_file(s.smtp_password_file, "password file", smtp.password, error))
        return false;
    out.codes.message_domain = smtp.from.domain;
    out.notices.message_domain = smtp.from.domain;
    out.smtp = std::move(smtp);
    return true;
}

std::string host_in_url(const std::string& host) {
    return host.find(':') != std::string::npos ? "[" + host + "]" : host;
}

} // namespace server
