#include "app/settings.h"

#include "base/charset.h"
#include "base/text.h"

#include <toml++/toml.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <sstream>
#include <variant>

namespace server {
namespace {

using Member = std::variant<std::string Settings::*, int64_t Settings::*, bool Settings::*,
                            std::vector<std::string> Settings::*>;
// A check of a text's value: false with the reason in `why`.
using Check = bool (*)(const std::string& value, std::string& why);

struct Row {
    const char* name;       // the flag without "--", and the config file's key
    const char* value_name; // shown in the usage ("N", "PATH"); "" for a switch
    Member member;
    const char* default_text; // as it would be written on the command line
    int64_t min;              // whole numbers only
    int64_t max;
    Check check; // texts only; nullptr: any text
    const char* help;
};

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

bool update_location(const std::string& v, std::string& why) {
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

// "HOST:PORT" (an IPv6 host in brackets) into its parts; false when it is not one.
bool split_host_port(const std::string& v, std::string& host, int& port) {
    const size_t colon = v.rfind(':');
    if (colon == std::string::npos || colon == 0 || colon + 1 == v.size() || colon + 6 < v.size())
        return false;
    host = v.substr(0, colon);
    if (host.front() == '[' && host.back() == ']')
        host = host.substr(1, host.size() - 2);
    else if (host.find(':') != std::string::npos)
        return false;
    port = 0;
    for (char c : v.substr(colon + 1)) {
        if (c < '0' || c > '9')
            return false;
        port = port * 10 + (c - '0');
    }
    return !host.empty() && port <= 65535;
}

bool host_and_port(const std::string& v, std::string& why) {
    std::string host;
    int port = 0;
    if (v.empty() || split_host_port(v, host, port))
        return true;
    why = "must be HOST:PORT (IPv6 in brackets: [::1]:9866)";
    return false;
}

bool log_format(const std::string& v, std::string& why) {
    if (v == "text" || v == "json")
        return true;
    why = "must be text or json";
    return false;
}

bool public_url(const std::string& v, std::string& why) {
    return v.empty() || valid_public_url(v, why);
}

template <typename T> Member m(T Settings::*p) {
    return Member(p);
}

constexpr int64_t kDay = 86400;

// clang-format off
const Row kRows[] = {
    {"host", "HOST", m(&Settings::host), "127.0.0.1", 0, 0, not_empty,
     "address to listen on"},
    {"port", "N", m(&Settings::port), "8866", 0, 65535, nullptr,
     "port (0 takes a free one, printed on stdout)"},
    {"db", "PATH|URI", m(&Settings::db), "accounts.db", 0, 0, not_empty,
     "SQLite database of accounts and codes, or a postgresql:// URI\n"
     "shared by several instances"},
    {"db-pool", "N", m(&Settings::db_pool), "8", 1, 1000, nullptr,
     "PostgreSQL connections of this instance"},
    {"outbox", "PATH", m(&Settings::outbox), "outbox.txt", 0, 0, not_empty,
     "file that receives the sent verification codes"},
    {"service-name", "TEXT", m(&Settings::service_name), "Tarnix账号服务", 0, 0,
     status_text_not_empty, "status field 1"},
    {"client-version", "TEXT", m(&Settings::client_version), "1.001", 0, 0,
     status_text_not_empty, "status field 2, the current client version"},
    {"update-location", "TEXT", m(&Settings::update_location), "", 0, 0, update_location,
     "status field 3: host and path of the update file without http://\n"
     "(empty: HOST:PORT/download/Tarnix.exe)"},
    {"update-description", "TEXT", m(&Settings::update_description),
     "新版本改进了登录和注册的体验，点击“开始更新”即可下载。", 0, 0, status_text_not_empty,
     "status field 4"},
    {"announcement", "TEXT", m(&Settings::announcement),
     "欢迎使用 Tarnix！新用户请先注册账号，注册时验证码会发送到您填写的邮箱。", 0, 0, status_text,
     "status field 5 (may be empty)"},
    {"update-file", "PATH", m(&Settings::update_file), "", 0, 0, nullptr,
     "file served at the path of the update location (empty: none)"},
    {"update-key", "PEM", m(&Settings::update_key), "", 0, 0, nullptr,
     "sign the update file for client-version at start-up and serve the\n"
     "signature at its path + .sig"},
    {"update-signature", "FILE", m(&Settings::update_signature), "", 0, 0, nullptr,
     "serve this 64-byte signature (made by the publisher, e.g. a release's\n"
     "Tarnix.exe.sig) at the update path + .sig"},
    {"challenge-seconds", "N", m(&Settings::challenge_seconds), "120", 1, kDay, nullptr,
     "lifetime of a sign-in challenge"},
    {"lock-seconds", "N", m(&Settings::lock_seconds), "300", 0, 365 * kDay, nullptr,
     "how long 5 wrong passwords in a row lock a counter: the account's for\n"
     "clients it does not know, or one device's"},
    {"threads", "N", m(&Settings::threads), "0", 0, 256, nullptr,
     "event loops, each a thread with its own listening socket on the port\n"
     "(0: one per core; more where the store's round trips are long)"},
    {"timeout", "N", m(&Settings::timeout), "10", 1, 3600, nullptr,
     "seconds a request may take to arrive in full, and a connection may\n"
     "stay idle"},
    {"max-connections", "N", m(&Settings::max_connections), "1024", 1, 100000, nullptr,
     "open connections in all"},
    {"max-per-address", "N", m(&Settings::max_per_address), "64", 1, 100000, nullptr,
     "open connections per client address"},
    {"max-header-bytes", "N", m(&Settings::max_header_bytes), "16384", 1024, 1024 * 1024, nullptr,
     "request line and headers"},
    {"max-body-bytes", "N", m(&Settings::max_body_bytes), "65536", 1024, 1024 * 1024, nullptr,
     "request body"},
    {"backlog", "N", m(&Settings::backlog), "1024", 1, 65535, nullptr,
     "connections waiting to be accepted"},
    {"tls-cert", "PEM", m(&Settings::tls_cert), "", 0, 0, nullptr,
     "certificate chain: with tls-key, serve HTTPS (TLS 1.2 and 1.3) instead of HTTP"},
    {"tls-key", "PEM", m(&Settings::tls_key), "", 0, 0, nullptr,
     "private key of tls-cert"},
    {"secret-key-file", "PATH", m(&Settings::secret_key_file), "", 0, 0, nullptr,
     "key that seals the stored passwords (AES-256-GCM): 32 bytes, or 64 hex\n"
     "digits and a newline, mode 0600; made by tarnix-server keygen-secret DIR\n"
     "(empty: passwords stored in plain text)"},
    {"previous-secret-key-file", "PATH", m(&Settings::previous_secret_key_files), "", 0, 0,
     nullptr,
     "an older key whose sealed passwords are still read; given again, one\n"
     "more (every write uses secret-key-file; admin rekey moves the rows)"},
    {"tls-ticket-key-file", "FILE", m(&Settings::tls_ticket_key_file), "", 0, 0, nullptr,
     "session ticket key, 128 hex digits (openssl rand -hex 64), read again every\n"
     "minute; instances given the same file resume each other's sessions\n"
     "(empty: a key of this process, replaced daily)"},
    {"device-key-file", "PATH", m(&Settings::device_key_file), "", 0, 0, nullptr,
     "32-byte key (mode 0600) that signs device cookies, the same for every\n"
     "instance (empty: a random key of this process; cookies end with it)"},
    {"challenges-per-minute", "N", m(&Settings::challenges_per_minute), "20", 0, 1000000, nullptr,
     "\"0\" per client address (0: no limit)"},
    {"sign-ins-per-minute", "N", m(&Settings::sign_ins_per_minute), "20", 0, 1000000, nullptr,
     "\"1\" per client address (0: no limit)"},
    {"password-changes-per-minute", "N", m(&Settings::password_changes_per_minute), "10", 0,
     1000000, nullptr, "\"3\" per client address (0: no limit)"},
    {"codes-per-minute", "N", m(&Settings::codes_per_minute), "5", 0, 1000000, nullptr,
     "\"9\" per client address (0: no limit)"},
    {"status-requests-per-minute", "N", m(&Settings::status_requests_per_minute), "60", 0,
     1000000, nullptr, "\"5\" per client address (0: no limit)"},
    {"max-challenges", "N", m(&Settings::max_challenges), "100000", 1, 10000000, nullptr,
     "live sign-in challenges kept (SQLite)"},
    {"exempt-addresses", "LIST", m(&Settings::exempt_addresses), "127.0.0.1,::1", 0, 0, nullptr,
     "comma-separated client addresses the per-minute budgets do not count\n"
     "(\"\" for none)"},
    {"admin-listen", "HOST:PORT", m(&Settings::admin_listen), "", 0, 0, host_and_port,
     "serve /metrics, /healthz and /readyz there (\"\": not at all; port 0: a free one,\n"
     "printed as stdout's second line); keep it on loopback or a private network"},
    {"log-format", "text|json", m(&Settings::log_format), "text", 0, 0, log_format,
     "the log on stderr: text lines, or one JSON object per line"},
    {"public-url", "URL", m(&Settings::public_url), "", 0, 0, public_url,
     "where users reach this server (https://host[:port][/prefix]): recovery\n"
     "links are PUBLIC-URL/account/reset/TOKEN (empty: no password recovery)"},
    {"reset-requests-per-minute", "N", m(&Settings::reset_requests_per_minute), "10", 0,
     1000000, nullptr, "password recovery requests per client address (0: no limit)"},
    {"codes-per-address-per-day", "N", m(&Settings::codes_per_address_per_day), "10", 0, 1000000,
     nullptr, "code mails to one address in 24 hours (0: no cap)"},
    {"smtp-url", "URL", m(&Settings::smtp_url), "", 0, 0, nullptr,
     "send the codes through this relay: smtp://HOST:PORT (STARTTLS required)\n"
     "or smtps://HOST:PORT (TLS from the start); empty: append them to outbox"},
    {"smtp-allow-plaintext", "", m(&Settings::smtp_allow_plaintext), "false", 0, 0, nullptr,
     "allow a relay without TLS (loopback addresses only)"},
    {"smtp-user", "NAME", m(&Settings::smtp_user), "", 0, 0, nullptr,
     "AUTH as NAME (with smtp-password-file)"},
    {"smtp-password-file", "PATH", m(&Settings::smtp_password_file), "", 0, 0, nullptr,
     "the relay password, one line, in a file only its owner may read"},
    {"smtp-ca-file", "PEM", m(&Settings::smtp_ca_file), "", 0, 0, nullptr,
     "authorities for the relay's certificate, besides the system's"},
    {"mail-from", "\"NAME <ADDRESS>\"", m(&Settings::mail_from), "", 0, 0, nullptr,
     "sender of the mails (needed with smtp-url); Message-IDs are on its domain"},
    {"smtp-timeout", "N", m(&Settings::smtp_timeout), "30", 1, 600, nullptr,
     "seconds to connect to the relay, and for each of its replies"},
    {"mail-template", "FILE", m(&Settings::mail_template), "", 0, 0, nullptr,
     "the code mail (UTF-8): \"Subject: ...\", an empty line, the body, with\n"
     "{code} {minutes} {service} (empty: the built-in Chinese one)"},
    {"reset-mail-template", "FILE", m(&Settings::reset_mail_template), "", 0, 0, nullptr,
     "the recovery link's mail, like mail-template, with\n"
     "{service} {account} {link} {minutes}"},
    {"changed-mail-template", "FILE", m(&Settings::changed_mail_template), "", 0, 0, nullptr,
     "the notice of a changed password, with\n"
     "{service} {account} {time} {address} {reset_page}"},
    {"locked-mail-template", "FILE", m(&Settings::locked_mail_template), "", 0, 0, nullptr,
     "the notice of a locked account, with\n"
     "{service} {account} {until} {reset_page}"},
};
// clang-format on

const Row* find_row(const std::string& name) {
    for (const Row& row : kRows) {
        if (name == row.name)
            return &row;
    }
    return nullptr;
}

std::string range_text(const Row& row) {
    return "needs a whole number from " + std::to_string(row.min) + " to " +
           std::to_string(row.max);
}

bool set_integer(Settings& s, const Row& row, int64_t v, std::string& why) {
    if (v < row.min || v > row.max) {
        why = range_text(row) + ", not " + std::to_string(v);
        return false;
    }
    s.*std::get<int64_t Settings::*>(row.member) = v;
    return true;
}

bool set_text(Settings& s, const Row& row, const std::string& v, std::string& why) {
    if (row.check && !row.check(v, why))
        return false;
    s.*std::get<std::string Settings::*>(row.member) = v;
    return true;
}

std::vector<std::string> split_list(const std::string& list) {
    std::vector<std::string> items;
    for (size_t start = 0; start <= list.size();) {
        size_t comma = list.find(',', start);
        if (comma == std::string::npos)
            comma = list.size();
        if (comma > start)
            items.push_back(list.substr(start, comma - start));
        start = comma + 1;
    }
    return items;
}

// A value written as on the command line (flags and the table's defaults). A list
// given again adds to itself when `append`.
bool set_from_text(Settings& s, const Row& row, const std::string& text, bool append,
                   std::string& why) {
    switch (row.member.index()) {
    case 0:
        return set_text(s, row, text, why);
    case 1: {
        int64_t v = 0;
        if (!parse_integer(text, v)) {
            why = range_text(row) + ", not '" + text + "'";
            return false;
        }
        return set_integer(s, row, v, why);
    }
    case 2:
        if (text != "true" && text != "false") {
            why = "is true or false, not '" + text + "'";
            return false;
        }
        s.*std::get<bool Settings::*>(row.member) = text == "true";
        return true;
    default: {
        auto& list = s.*std::get<std::vector<std::string> Settings::*>(row.member);
        if (!append)
            list.clear();
        for (std::string& item : split_list(text))
            list.push_back(std::move(item));
        return true;
    }
    }
}

// A value of the config file, which must have the setting's own TOML type.
bool set_from_node(Settings& s, const Row& row, const toml::node& node, std::string& why) {
    switch (row.member.index()) {
    case 0:
        if (!node.is_string()) {
            why = "needs a string";
            return false;
        }
        return set_text(s, row, *node.value<std::string>(), why);
    case 1:
        if (!node.is_integer()) {
            why = "needs a whole number";
            return false;
        }
        return set_integer(s, row, *node.value<int64_t>(), why);
    case 2:
        if (!node.is_boolean()) {
            why = "needs true or false";
            return false;
        }
        s.*std::get<bool Settings::*>(row.member) = *node.value<bool>();
        return true;
    default: {
        const toml::array* array = node.as_array();
        if (!array || (!array->empty() && !array->is_homogeneous(toml::node_type::string))) {
            why = "needs an array of strings";
            return false;
        }
        auto& list = s.*std::get<std::vector<std::string> Settings::*>(row.member);
        list.clear();
        for (const toml::node& item : *array)
            list.push_back(*item.value<std::string>());
        return true;
    }
    }
}

bool read_config_file(const std::string& path, Settings& s, std::string& error) {
    toml::table table;
    try {
        table = toml::parse_file(path);
    } catch (const toml::parse_error& e) {
        error = path + ":" + std::to_string(e.source().begin.line) + ": " +
                std::string(e.description());
        return false;
    }
    for (auto&& [key, node] : table) {
        const std::string name(key.str());
        const std::string where = path + ":" + std::to_string(key.source().begin.line) + ": ";
        const Row* row = find_row(name);
        if (!row || name == "config") {
            error = where + "unknown setting '" + name + "'";
            return false;
        }
        std::string why;
        if (!set_from_node(s, *row, node, why)) {
            error = where + name + " " + why;
            return false;
        }
    }
    return true;
}

// What the rows cannot check alone.
bool check_together(const Settings& s, std::string& error) {
    if (!s.update_key.empty() && s.update_file.empty())
        error = "update-key needs update-file";
    else if (!s.update_signature.empty() && (s.update_file.empty() || !s.update_key.empty()))
        error = "update-signature needs update-file and excludes update-key";
    else if (s.tls_cert.empty() != s.tls_key.empty())
        error = "tls-cert and tls-key go together";
    else if (!s.tls_ticket_key_file.empty() && s.tls_cert.empty())
        error = "tls-ticket-key-file needs tls-cert";
    return error.empty();
}

std::string toml_value(const Settings& s, const Row& row) {
    std::ostringstream out;
    constexpr auto flags = toml::toml_formatter::default_flags &
                           ~toml::format_flags::allow_multi_line_strings &
                           ~toml::format_flags::allow_literal_strings;
    switch (row.member.index()) {
    case 0:
        out << toml::toml_formatter(
            toml::value<std::string>(s.*std::get<std::string Settings::*>(row.member)), flags);
        break;
    case 1:
        out << s.*std::get<int64_t Settings::*>(row.member);
        break;
    case 2:
        out << (s.*std::get<bool Settings::*>(row.member) ? "true" : "false");
        break;
    default: {
        toml::array array;
        for (const std::string& item :
             s.*std::get<std::vector<std::string> Settings::*>(row.member))
            array.push_back(item);
        out << toml::toml_formatter(array, flags);
    }
    }
    return out.str();
}

} // namespace

Settings default_settings() {
    Settings s{};
    for (const Row& row : kRows) {
        std::string why;
        if (!set_from_text(s, row, row.default_text, false, why))
            std::abort(); // a default the table itself refuses is a mistake in the table
    }
    return s;
}

ParseResult parse_settings(int argc, char** argv, Settings& s, std::string& error,
                           int* first_word) {
    s = default_settings();
    bool print = false;
    if (first_word) {
        // Flags and their values until the first word that is neither.
        int i = 1;
        while (i < argc && std::strncmp(argv[i], "--", 2) == 0) {
            const Row* row = find_row(std::string(argv[i] + 2));
            i += std::strchr(argv[i], '=') || (row && row->member.index() == 2) ? 1 : 2;
        }
        *first_word = std::min(i, argc);
        argc = *first_word;
    }
    // The file first, wherever --config stands, so that every flag wins over it.
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        std::string path;
        if (arg == "--config" && i + 1 < argc)
            path = argv[++i];
        else if (arg.compare(0, 9, "--config=") == 0)
            path = arg.substr(9);
        else if (arg == "--config") {
            error = "--config needs a value";
            return ParseResult::Error;
        } else
            continue;
        if (!read_config_file(path, s, error))
            return ParseResult::Error;
    }
    std::vector<const Row*> given;
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        if (arg == "--help" || arg == "-h")
            return ParseResult::Help;
        if (arg == "--print-config") {
            print = true;
            continue;
        }
        if (arg.compare(0, 2, "--") != 0) {
            error = "unexpected argument: " + arg;
            return ParseResult::Error;
        }
        std::string name = arg.substr(2);
        std::string value;
        bool has_value = false;
        if (size_t eq = name.find('='); eq != std::string::npos) {
            value = name.substr(eq + 1);
            name.resize(eq);
            has_value = true;
        }
        if (name == "config") {
            i += has_value ? 0 : 1;
            continue;
        }
        const Row* row = find_row(name);
        if (!row) {
            error = "unknown flag: --" + name;
            return ParseResult::Error;
        }
        if (!has_value) {
            if (row->member.index() == 2) {
                value = "true"; // a switch on its own turns the setting on
            } else if (i + 1 >= argc) {
                error = "--" + name + " needs a value";
                return ParseResult::Error;
            } else {
                value = argv[++i];
            }
        }
        bool again = false;
        for (const Row* r : given)
            again = again || r == row;
        given.push_back(row);
        std::string why;
        if (!set_from_text(s, *row, value, again, why)) {
            error = "--" + name + " " + why;
            return ParseResult::Error;
        }
    }
    if (!check_together(s, error))
        return ParseResult::Error;
    return print ? ParseResult::PrintConfig : ParseResult::Run;
}

std::string usage_text() {
    std::string text = "Usage: tarnix-server [--config FILE] [flags]\n"
                       "       tarnix-server keygen DIR\n"
                       "Reference account server of Tarnix: POST /tx-client.asp, update file by "
                       "GET.\n\n"
                       "  --config FILE               read settings from a TOML file (keys are the "
                       "flags\n"
                       "                              without their dashes); flags win over it\n"
                       "  --print-config              print the settings as such a file and exit\n"
                       "  --help                      this text\n\n";
    for (const Row& row : kRows) {
        std::string flag = std::string("  --") + row.name;
        if (*row.value_name)
            flag += std::string(" ") + row.value_name;
        if (flag.size() < 30)
            flag.resize(30, ' ');
        else
            flag += "\n" + std::string(30, ' ');
        std::string help = row.help;
        for (size_t nl = help.find('\n'); nl != std::string::npos; nl = help.find('\n', nl + 1))
            help.insert(nl + 1, std::string(30, ' '));
        text += flag + help;
        if (*row.default_text)
            text += std::string(" (default ") + row.default_text + ")";
        text += "\n";
    }
    text += "\nkeygen DIR writes a new update signing key to DIR/update-key.pem (mode 0600)\n"
            "and prints its public key (128 hex digits) for TARNIX_UPDATE_PUBLIC_KEY.\n"
            "\nTexts are UTF-8 on the command line and in the file, GBK on the wire.\n";
    return text;
}

std::string print_config(const Settings& s) {
    std::string text = "# tarnix-server settings (tarnix-server --config FILE)\n";
    for (const Row& row : kRows) {
        text += "\n# ";
        for (char c : std::string(row.help))
            text += c == '\n' ? std::string("\n# ") : std::string(1, c);
        text += "\n" + std::string(row.name) + " = " + toml_value(s, row) + "\n";
    }
    return text;
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
    return c;
}

EngineConfig admin_engine_config(const Settings& s) {
    EngineConfig c;
    int port = 0;
    split_host_port(s.admin_listen, c.host, port);
    c.port = port;
    c.threads = 1;
    c.timeout_seconds = 10;
    c.max_connections = 16;
    c.max_per_address = 16;
    // GETs only: a scraper's or a browser's headers, and no body.
    c.max_header_bytes = 8192;
    c.max_body_bytes = 0;
    c.backlog = 16;
    return c;
}

StoreConfig store_config(const Settings& s) {
    StoreConfig c;
    c.where = s.db;
    c.pool_size = static_cast<int>(s.db_pool);
    c.challenge_seconds = s.challenge_seconds;
    c.max_challenges = static_cast<size_t>(s.max_challenges);
    return c;
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
    return c;
}

RecoveryConfig recovery_config(const Settings& s) {
    RecoveryConfig c;
    c.public_url = s.public_url;
    c.service = s.service_name;
    c.secure = s.public_url.rfind("https://", 0) == 0;
    c.requests_per_minute = static_cast<int>(s.reset_requests_per_minute);
    return c;
}

StatusTexts status_texts(const Settings& s) {
    // The rows have checked that each converts.
    StatusTexts t;
    t.service_name = utf8_to_gbk(s.service_name).value_or("");
    t.client_version = utf8_to_gbk(s.client_version).value_or("");
    t.update_location = utf8_to_gbk(s.update_location).value_or("");
    t.update_description = utf8_to_gbk(s.update_description).value_or("");
    t.announcement = utf8_to_gbk(s.announcement).value_or("");
    return t;
}

} // namespace server
