// The server's settings: one table of rows (name, type, default, help, check, in
// settings_table.cpp), from which the usage text, the command-line flags, the TOML
// config file and --print-config all come. A setting is added by one field here and
// one row in the table; nothing else holds its default. What each part of the server
// is configured with is made from them by configs.h.
//
// Order of precedence: the row's default, then the file given by --config, then
// the flags on the command line. Called from main's thread before any other
// starts; the functions hold no state of their own. Nothing throws but
// std::bad_alloc; a failure is a ParseResult with the reason.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <utility>
#include <vector>

namespace server {

// Every field is set from the table (default_settings), never by an initializer here.
struct Settings {
    std::string host;
    int64_t port;   // 0: any free port (the one taken is printed)
    std::string db; // a SQLite file or a postgresql:// URI
    int64_t db_pool;
    std::string outbox;
    // Status record texts, UTF-8 as given.
    std::string service_name;
    std::string client_version;
    std::string update_location; // empty: this server's own /download/Tarnix.exe
    std::string update_description;
    std::string announcement;
    std::string update_file;
    std::string update_key;
    std::string update_signature;
    int64_t rollout_halt_share; // percent of repeat fetches that pause a rollout
    int64_t rollout_halt_min;   // complete fetches before that share is judged
    int64_t challenge_seconds;
    int64_t lock_seconds;
    int64_t threads;
    int64_t timeout;
    int64_t max_connections;
    int64_t max_per_address;
    int64_t max_header_bytes;
    int64_t max_body_bytes;
    int64_t backlog;
    std::string tls_cert;
    std::string tls_key;
    std::string tls_ticket_key_file;
    std::string device_key_file;                        // empty: a random key of this process
    std::string secret_key_file;                        // empty: passwords in plain text
    std::vector<std::string> previous_secret_key_files; // read only
    int64_t challenges_per_minute;
    int64_t sign_ins_per_minute;
    int64_t password_changes_per_minute;
    int64_t codes_per_minute;
    int64_t status_requests_per_minute;
    int64_t max_challenges;
    std::vector<std::string> exempt_addresses;
    std::vector<std::string> proxy_from;
    std::string admin_listen;    // HOST:PORT of /metrics, /healthz, /readyz; "": none
    std::string download_listen; // HOST:PORT of the downloads over plain HTTP; "": none
    std::string log_format;      // "text" or "json"
    std::string time_zone;       // IANA name of the times in mails and text log lines
    std::string public_url;      // where users reach this service; empty: no password recovery
    int64_t reset_requests_per_minute;
    int64_t codes_per_address_per_day;
    // Mail: the outbox unless an SMTP relay is given.
    std::string smtp_url;
    bool smtp_allow_plaintext;
    std::string smtp_user;
    std::string smtp_password_file;
    std::string smtp_ca_file;
    std::string mail_from;
    int64_t smtp_timeout;
    std::string mail_template;
    // The recovery's mails; empty: the built-in ones.
    std::string reset_mail_template;
    std::string changed_mail_template;
    std::string locked_mail_template;
    // New passwords: the breach corpus and libpwquality's settings ("": each off).
    std::string breached_passwords;
    std::string password_quality_file;
    // The security event record: its MAC key ("": no record), retention, and this
    // instance's name in it ("": the host name).
    std::string events_key_file;
    int64_t event_retention_days;
    std::string instance_name;
    // A mail to the owner when an account signs in from a device it does not know.
    bool new_device_notices;
    std::string new_device_mail_template;
    std::string audit_mail_template;

    // Not a setting: how each setting given was written, for messages: "--NAME" for a
    // flag, "NAME (FILE:LINE)" for the config file. A default is not here.
    std::map<std::string, std::string> written;
};

// Every setting at its default.
Settings default_settings();

// Error: a flag, a key or a value is wrong (a usage error). Conflict: each setting is
// right but they cannot work together (check_together in settings.cpp, where every
// such check is). Both exit with code 2.
enum class ParseResult { Run, Help, Version, PrintConfig, Error, Conflict };

// Reads the config file named by --config (if any), then the flags. On Error,
// `error` names the flag, or the file, line and key, and says what was wrong; on
// Conflict, which settings and why.
ParseResult parse_settings(int argc, char** argv, Settings& settings, std::string& error);

// A subcommand's arguments parted: `flags` (argv[0], then every setting's flag and
// its value, and --config, wherever they stand: for parse_settings) and `words`
// (the rest in their order, a subcommand's own options too).
void split_settings_flags(int argc, char** argv, std::vector<char*>& flags,
                          std::vector<std::string>& words);

// 0.0.0.0 or ::, which no client can be told to connect to.
bool is_wildcard_host(const std::string& host);
// The host the downloads are served on: download-listen's when set, else host.
std::string download_host(const Settings& settings);

// `message` with the setting it starts with ("smtp-url must be ...") named as the
// operator wrote it: "--smtp-url must be ..." or "smtp-url (FILE:LINE) must be ...".
// The parts below the settings name a setting by its key; this is where the
// operator's own words come back.
std::string as_written(const Settings& settings, const std::string& message);

// The usage text, with every setting's flag, default and help, and the admin
// commands' lines.
std::string usage_text(const std::string& admin_commands);

// The settings as a TOML file that --config reads back to the same settings.
std::string print_config(const Settings& settings);

// Every setting's name (its flag without "--", its key in the file) and its default
// as written on the command line ("": none; "false" for a switch), in the table's
// order.
std::vector<std::pair<std::string, std::string>> setting_defaults();

} // namespace server
