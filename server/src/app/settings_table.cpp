#include "app/settings_table.h"

#include "base/charset.h"
#include "base/clock.h"
#include "base/policy.h"
#include "base/text.h"
#include "web/recovery.h"

namespace server {
namespace {

bool not_empty(const std::string& v, std::string& why) {
    if (!v.empty())
        return true;
    why = "cannot be empty";
    return false;
}

// A status field goes into a "|"-separated record of GBK text.
bool status_text(const std::string& v, std::string& why) {
    for (unsigned char c : v) {
        if (c == '|' || c < 0x20 || c == 0x7F) {
            why = "cannot contain '|' or control characters";
            return false;
        }
    }
    if (!utf8_to_gbk(v)) {
        why = "must be UTF-8 text that GBK can hold";
        return false;
    }
    return true;
}

bool status_text_not_empty(const std::string& v, std::string& why) {
    return not_empty(v, why) && status_text(v, why);
}

bool update_location_value(const std::string& v, std::string& why) {
    if (v.empty())
        return true;
    if (!status_text(v, why))
        return false;
    if (v.find('/') == std::string::npos) {
        why = "needs a path after the host (host/path)";
        return false;
    }
    return true;
}

bool host_and_port(const std::string& v, std::string& why) {
    std::string host;
    int port = 0;
    if (v.empty() || split_host_port(v, host, port))
        return true;
    why = "must be HOST:PORT (IPv6 in brackets: [::1]:9866)";
    return false;
}

bool log_format_value(const std::string& v, std::string& why) {
    if (v == "text" || v == "json")
        return true;
    why = "must be text or json";
    return false;
}

bool time_zone_value(const std::string& v, std::string& why) {
    if (known_time_zone(v))
        return true;
    why = "is no time zone this system knows (an IANA name such as Asia/Shanghai; the "
          "tzdata package has them)";
    return false;
}

bool public_url(const std::string& v, std::string& why) {
    return v.empty() || valid_public_url(v, why);
}

template <typename T> Member m(T Settings::*p) {
    return Member(p);
}

} // namespace

const std::vector<Row>& setting_rows() {
    // clang-format off
    static const std::vector<Row> rows = {
        {"host", "HOST", m(&Settings::host), "127.0.0.1", 0, 0, not_empty,
         "address to listen on", Group::Listening},
        {"port", "N", m(&Settings::port), "8866", 0, 65535, nullptr,
         "port (0 takes a free one, printed on stdout)", Group::Listening},
        {"db", "PATH|URI", m(&Settings::db), "accounts.db", 0, 0, not_empty,
         "SQLite database of accounts and codes, or a postgresql:// URI\n"
         "shared by several instances", Group::Store},
        {"db-pool", "N", m(&Settings::db_pool), "8", 1, 1000, nullptr,
         "PostgreSQL connections of this instance", Group::Store},
        {"outbox", "PATH", m(&Settings::outbox), "outbox.txt", 0, 0, not_empty,
         "file that receives the sent verification codes", Group::Mail},
        {"service-name", "TEXT", m(&Settings::service_name), "Tarnix账号服务", 0, 0,
         status_text_not_empty, "status field 1", Group::Status},
        {"client-version", "TEXT", m(&Settings::client_version), "1.001", 0, 0,
         status_text_not_empty, "status field 2, the current client version", Group::Status},
        {"update-location", "TEXT", m(&Settings::update_location), "", 0, 0, update_location_value,
         "status field 3: host and path of the update file without http://\n"
         "(empty: this server's own HOST:PORT/download/Tarnix.exe, download-listen's\n"
         "when set)", Group::Status},
        {"update-description", "TEXT", m(&Settings::update_description),
         "新版本改进了登录和注册的体验，点击“开始更新”即可下载。", 0, 0, status_text_not_empty,
         "status field 4", Group::Status},
        {"announcement", "TEXT", m(&Settings::announcement),
         "欢迎使用 Tarnix！新用户请先注册账号，注册时验证码会发送到您填写的邮箱。", 0, 0, status_text,
         "status field 5 (may be empty)", Group::Status},
        {"update-file", "PATH", m(&Settings::update_file), "", 0, 0, nullptr,
         "file served at the path of the update location (empty: none)",
         Group::Status, Reload::EveryRequest},
        {"update-key", "PEM", m(&Settings::update_key), "", 0, 0, nullptr,
         "sign the update file for client-version at start-up and serve the\n"
         "signature at its path + .sig", Group::Status, Reload::Sighup},
        {"update-signature", "FILE", m(&Settings::update_signature), "", 0, 0, nullptr,
         "serve this 64-byte signature (made by the publisher, e.g. a release's\n"
         "Tarnix.exe.sig) at the update path + .sig", Group::Status, Reload::Sighup},
        {"rollout-halt-share", "N", m(&Settings::rollout_halt_share), "5", 0, 100, nullptr,
         "a rollout pauses itself when more than N % of the installs that fetched\n"
         "it fetch it again within a day", Group::Status},
        {"rollout-halt-min", "N", m(&Settings::rollout_halt_min), "20", 1, 1000000, nullptr,
         "complete fetches of a rollout before that share is judged", Group::Status},
        {"challenge-seconds", "N", m(&Settings::challenge_seconds), "120", 1, kDaySeconds, nullptr,
         "lifetime of a sign-in challenge", Group::Accounts},
        {"lock-seconds", "N", m(&Settings::lock_seconds), "300", 0, 365 * kDaySeconds, nullptr,
         "how long " + std::to_string(kMaxPasswordFailures) +
         " wrong passwords in a row lock a counter: the account's for\n"
         "clients it does not know, or one device's", Group::Accounts},
        {"threads", "N", m(&Settings::threads), "0", 0, 256, nullptr,
         "event loops, each a thread with its own listening socket on the port\n"
         "(0: one per core; more where the store's round trips are long)", Group::Listening},
        {"timeout", "N", m(&Settings::timeout), "10", 1, 3600, nullptr,
         "seconds a request may take to arrive in full, and a connection may\n"
         "stay idle", Group::Listening},
        {"max-connections", "N", m(&Settings::max_connections), "1024", 1, 100000, nullptr,
         "open connections in all", Group::Listening},
        {"max-per-address", "N", m(&Settings::max_per_address), "64", 1, 100000, nullptr,
         "open connections per client address", Group::Listening},
        {"max-header-bytes", "N", m(&Settings::max_header_bytes), "16384", 1024, 1024 * 1024,
         nullptr, "request line and headers", Group::Listening},
        {"max-body-bytes", "N", m(&Settings::max_body_bytes), "65536", 1024, 1024 * 1024, nullptr,
         "request body", Group::Listening},
        {"backlog", "N", m(&Settings::backlog), "1024", 1, 65535, nullptr,
         "connections waiting to be accepted", Group::Listening},
        {"tls-cert", "PEM", m(&Settings::tls_cert), "", 0, 0, nullptr,
         "certificate chain: with tls-key, serve HTTPS (TLS 1.2 and 1.3) instead of HTTP",
         Group::Tls, Reload::Sighup},
        {"tls-key", "PEM", m(&Settings::tls_key), "", 0, 0, nullptr,
         "private key of tls-cert", Group::Tls, Reload::Sighup},
        {"secret-key-file", "PATH", m(&Settings::secret_key_file), "", 0, 0, nullptr,
         "key that seals the stored passwords (AES-256-GCM): 32 bytes, or 64 hex\n"
         "digits and a newline, mode 0600; made by tarnix-server keygen-secret DIR\n"
         "(empty: passwords stored in plain text)", Group::Store},
        {"previous-secret-key-file", "PATH", m(&Settings::previous_secret_key_files), "", 0, 0,
         nullptr,
         "an older key whose sealed passwords are still read; given again, one\n"
         "more (every write uses secret-key-file; admin rekey moves the rows)", Group::Store},
        {"tls-ticket-key-file", "FILE", m(&Settings::tls_ticket_key_file), "", 0, 0, nullptr,
         "session ticket key, 128 hex digits (openssl rand -hex 64), read again every\n"
         "minute; instances given the same file resume each other's sessions\n"
         "(empty: a key of this process, replaced daily)", Group::Tls, Reload::EveryMinute},
        {"device-key-file", "PATH", m(&Settings::device_key_file), "", 0, 0, nullptr,
         "32-byte key (mode 0600) that signs device cookies, the same for every\n"
         "instance (empty: a random key of this process; cookies end with it)", Group::Store},
        {"challenges-per-minute", "N", m(&Settings::challenges_per_minute), "20", 0, 1000000,
         nullptr, "\"0\" per client address (0: no limit)", Group::Accounts},
        {"sign-ins-per-minute", "N", m(&Settings::sign_ins_per_minute), "20", 0, 1000000, nullptr,
         "\"1\" per client address (0: no limit)", Group::Accounts},
        {"password-changes-per-minute", "N", m(&Settings::password_changes_per_minute), "10", 0,
         1000000, nullptr, "\"3\" per client address (0: no limit)", Group::Accounts},
        {"codes-per-minute", "N", m(&Settings::codes_per_minute), "5", 0, 1000000, nullptr,
         "\"9\" per client address (0: no limit)", Group::Accounts},
        {"status-requests-per-minute", "N", m(&Settings::status_requests_per_minute), "60", 0,
         1000000, nullptr, "\"5\" per client address (0: no limit)", Group::Accounts},
        {"max-challenges", "N", m(&Settings::max_challenges), "100000", 1, 10000000, nullptr,
         "live sign-in challenges kept (SQLite)", Group::Store},
        {"exempt-addresses", "LIST", m(&Settings::exempt_addresses), "127.0.0.1,::1", 0, 0, nullptr,
         "comma-separated client addresses the per-minute budgets do not count\n"
         "(\"\" for none)", Group::Listening},
        {"proxy-from", "LIST", m(&Settings::proxy_from), "", 0, 0, nullptr,
         "comma-separated addresses or ranges (ADDRESS/PREFIX) of proxies in front: their\n"
         "connections begin with a PROXY header naming the client; none may be exempt",
         Group::Listening},
        {"admin-listen", "HOST:PORT", m(&Settings::admin_listen), "", 0, 0, host_and_port,
         "serve /metrics, /healthz and /readyz there (\"\": not at all; port 0: a free one,\n"
         "printed as stdout's second line); keep it on loopback or a private network",
         Group::Listening},
        {"download-listen", "HOST:PORT", m(&Settings::download_listen), "", 0, 0, host_and_port,
         "serve the update file and the rollouts' files there too, over plain HTTP\n"
         "(\"\": not at all; port 0: a free one, printed on stdout): clients download\n"
         "over http://, which a port with tls-cert does not speak. The default\n"
         "update-location names it", Group::Listening},
        {"log-format", "text|json", m(&Settings::log_format), "text", 0, 0, log_format_value,
         "the log on stderr: text lines, or one JSON object per line", Group::Log},
        {"time-zone", "ZONE", m(&Settings::time_zone), "Asia/Shanghai", 0, 0, time_zone_value,
         "IANA time zone of the times in mails (written with their offset from\n"
         "UTC) and in the log's text lines (JSON lines are UTC)", Group::Log},
        {"public-url", "URL", m(&Settings::public_url), "", 0, 0, public_url,
         "where users reach this server (https://host[:port], no path): recovery\n"
         "links are PUBLIC-URL/account/reset/TOKEN (empty: no password recovery)", Group::Recovery},
        {"reset-requests-per-minute", "N", m(&Settings::reset_requests_per_minute), "10", 0,
         1000000, nullptr, "password recovery requests per client address (0: no limit)",
         Group::Accounts},
        {"codes-per-address-per-day", "N", m(&Settings::codes_per_address_per_day), "10", 0,
         1000000, nullptr, "code mails to one address in 24 hours (0: no cap)", Group::Accounts},
        {"smtp-url", "URL", m(&Settings::smtp_url), "", 0, 0, nullptr,
         "send the codes through this relay: smtp://HOST:PORT (STARTTLS required)\n"
         "or smtps://HOST:PORT (TLS from the start); empty: append them to outbox", Group::Mail},
        {"smtp-allow-plaintext", "", m(&Settings::smtp_allow_plaintext), "false", 0, 0, nullptr,
         "allow a relay without TLS (loopback addresses only)", Group::Mail},
        {"smtp-user", "NAME", m(&Settings::smtp_user), "", 0, 0, nullptr,
         "AUTH as NAME (with smtp-password-file)", Group::Mail},
        {"smtp-password-file", "PATH", m(&Settings::smtp_password_file), "", 0, 0, nullptr,
         "the relay password, one line, in a file only its owner may read", Group::Mail},
        {"smtp-ca-file", "PEM", m(&Settings::smtp_ca_file), "", 0, 0, nullptr,
         "authorities for the relay's certificate, besides the system's", Group::Mail},
        {"mail-from", "\"NAME <ADDRESS>\"", m(&Settings::mail_from), "", 0, 0, nullptr,
         "sender of the mails (needed with smtp-url); Message-IDs are on its domain", Group::Mail},
        {"smtp-timeout", "N", m(&Settings::smtp_timeout), "30", 1, 600, nullptr,
         "seconds to connect to the relay, and for each of its replies", Group::Mail},
        {"mail-template", "FILE", m(&Settings::mail_template), "", 0, 0, nullptr,
         "the code mail (UTF-8): \"Subject: ...\", an empty line, the body, with\n"
         "{code} {minutes} {service} (empty: the built-in Chinese one)", Group::Mail},
        {"reset-mail-template", "FILE", m(&Settings::reset_mail_template), "", 0, 0, nullptr,
         "the recovery link's mail, like mail-template, with\n"
         "{service} {account} {link} {minutes}", Group::Mail},
        {"changed-mail-template", "FILE", m(&Settings::changed_mail_template), "", 0, 0, nullptr,
         "the notice of a changed password, with\n"
         "{service} {account} {time} {address} {reset_page}", Group::Mail},
        {"locked-mail-template", "FILE", m(&Settings::locked_mail_template), "", 0, 0, nullptr,
         "the notice of a locked account, with\n"
         "{service} {account} {until} {reset_page}", Group::Mail},
        {"breached-passwords", "FILE", m(&Settings::breached_passwords), "", 0, 0, nullptr,
         "refuse new passwords found in this corpus: SHA1HEX:COUNT lines sorted by\n"
         "hash, searched in place (replace it by renaming a new file over it, then\n"
         "SIGHUP); empty: no corpus", Group::Accounts, Reload::Sighup},
        {"password-quality-file", "FILE", m(&Settings::password_quality_file), "", 0, 0, nullptr,
         "refuse new passwords that libpwquality's rules in this settings file\n"
         "refuse (dictionary words, simple patterns); empty: no such rules", Group::Accounts,
         Reload::Sighup},
        {"events-key-file", "PATH", m(&Settings::events_key_file), "", 0, 0, nullptr,
         "key (32 bytes, or 64 hex digits and a newline; mode 0600) that chains the\n"
         "record of security events, the same for every instance; empty: no record",
         Group::Log},
        {"event-retention-days", "N", m(&Settings::event_retention_days), "0", 0, 36500, nullptr,
         "remove security event records older than this many days, keeping the\n"
         "chain verifiable (0: keep them all)", Group::Log},
        {"instance-name", "TEXT", m(&Settings::instance_name), "", 0, 0, nullptr,
         "this server's name in the event record (empty: the host name)", Group::Log},
        {"new-device-notices", "", m(&Settings::new_device_notices), "true", 0, 0, nullptr,
         "mail the owner when an account signs in from a device it does not know\n"
         "(at most " + std::to_string(kNewDeviceNoticesPerDay) + " a day; =false: never)",
         Group::Recovery},
        {"new-device-mail-template", "FILE", m(&Settings::new_device_mail_template), "", 0, 0,
         nullptr,
         "the notice of a sign-in from a new device, like mail-template, with\n"
         "{service} {account} {time} {address} {reset_page}", Group::Mail},
        {"audit-mail-template", "FILE", m(&Settings::audit_mail_template), "", 0, 0, nullptr,
         "the mail of admin passwords audit --notify, with\n"
         "{service} {account} {reason} {link} {hours}", Group::Mail},
    };
    // clang-format on
    return rows;
}

} // namespace server
