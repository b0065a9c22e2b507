// The server's settings: one table of rows (name, type, default, help, check), from
// which the usage text, the command-line flags, the TOML config file and
// --print-config all come. A setting is added by one field here and one row in
// settings.cpp; nothing else holds its default.
//
// Order of precedence: the row's default, then the file given by --config, then
// the flags on the command line. Called from main's thread before any other
// starts; the functions hold no state of their own.
#pragma once

#include "protocol/commands.h"
#include "http/engine.h"
#include "web/recovery.h"
#include "store/store.h"

#include <cstdint>
#include <string>
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
    std::string admin_listen; // HOST:PORT of /metrics, /healthz, /readyz; "": none
    std::string log_format;   // "text" or "json"
    std::string public_url;   // where users reach this service; empty: no password recovery
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
};

// Every setting at its default.
Settings default_settings();

enum class ParseResult { Run, Help, PrintConfig, Error };

// Reads the config file named by --config (if any), then the flags. On Error,
// `error` names the flag, or the file, line and key, and says what was wrong.
// Given `first_word`, the flags end at the first argument that is not one (a
// subcommand's words), whose index goes there (argc when there is none).
ParseResult parse_settings(int argc, char** argv, Settings& settings, std::string& error,
                           int* first_word = nullptr);

// The usage text, with every setting's flag, default and help.
std::string usage_text();

// The settings as a TOML file that --config reads back to the same settings.
std::string print_config(const Settings& settings);

// What the parts of the server are configured with, made from the settings.
EngineConfig engine_config(const Settings& s);
StoreConfig store_config(const Settings& s);
Limits limits_config(const Settings& s);
Timing timing_config(const Settings& s);
// The admin listener's engine (admin_listen must not be empty): a loop of its own
// and a few connections, plain HTTP.
EngineConfig admin_engine_config(const Settings& s);
// The public URL and the service's name; `secure` is set by main (it knows the TLS).
RecoveryConfig recovery_config(const Settings& s);
// The status record's texts in GBK (update_location as given: main fills in an empty one).
StatusTexts status_texts(const Settings& s);

} // namespace server
