#include "app/settings.h"

#include "app/settings_table.h"
#include "base/text.h"
#include "http/proxy_header.h"

#include <toml++/toml.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <sstream>
#include <variant>

namespace server {
namespace {

const Row* find_row(const std::string& name) {
    for (const Row& row : setting_rows()) {
        if (name == row.name)
            return &row;
    }
    return nullptr;
}

// The edits (insert, delete, replace a byte) from `a` to `b`; by hand, as no library
// the server links has it.
size_t edit_distance(const std::string& a, const std::string& b) {
    std::vector<size_t> row(b.size() + 1);
    for (size_t j = 0; j <= b.size(); ++j)
        row[j] = j;
    for (size_t i = 1; i <= a.size(); ++i) {
        size_t diagonal = row[0];
        row[0] = i;
        for (size_t j = 1; j <= b.size(); ++j) {
            const size_t above = row[j];
            row[j] = std::min({row[j] + 1, row[j - 1] + 1, diagonal + (a[i - 1] != b[j - 1])});
            diagonal = above;
        }
    }
    return row[b.size()];
}

// " (did you mean PREFIX+NAME?)" for the setting nearest an unknown name, when one
// is near enough to be the one meant; "" otherwise.
std::string nearest_setting(std::string name, const std::string& prefix) {
    std::replace(name.begin(), name.end(), '_', '-');
    const Row* best = nullptr;
    size_t best_distance = std::max<size_t>(2, name.size() / 4) + 1;
    for (const Row& row : setting_rows()) {
        const size_t d = edit_distance(name, row.name);
        if (d < best_distance) {
            best = &row;
            best_distance = d;
        }
    }
    return best ? " (did you mean " + prefix + best->name + "?)" : "";
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
            error =
                where + "unknown setting '" + name + "'" + (row ? "" : nearest_setting(name, ""));
            return false;
        }
        std::string why;
        if (!set_from_node(s, *row, node, why)) {
            error = where + name + " " + why;
            return false;
        }
        s.written[name] = name + " (" + path + ":" + std::to_string(key.source().begin.line) + ")";
    }
    return true;
}

// The proxies' list: each an address or a range, and none of the exempt addresses
// in it (every client behind that proxy would be exempt from the budgets).
bool check_proxies(const Settings& s, std::string& error) {
    std::vector<AddressRange> ranges;
    for (const std::string& item : s.proxy_from) {
        AddressRange r;
        if (!parse_address_range(item, r)) {
            error = "proxy-from: '" + item + "' is neither an address nor ADDRESS/PREFIX";
            return false;
        }
        ranges.push_back(r);
    }
    for (const std::string& a : s.exempt_addresses) {
        if (address_in_ranges(ranges, a)) {
            error = "exempt-addresses " + a +
                    " is also in proxy-from: every client behind the proxy would be exempt";
            return false;
        }
    }
    return true;
}

// Every check that spans several settings: what the rows cannot check alone.
bool check_together(const Settings& s, std::string& error) {
    // The first of the relay's settings given, which needs smtp-url.
    const char* relay_setting = !s.mail_from.empty()            ? "mail-from"
                                : !s.smtp_user.empty()          ? "smtp-user"
                                : !s.smtp_password_file.empty() ? "smtp-password-file"
                                : !s.smtp_ca_file.empty()       ? "smtp-ca-file"
                                : s.smtp_allow_plaintext        ? "smtp-allow-plaintext"
                                                                : nullptr;
    if (!s.update_key.empty() && s.update_file.empty())
        error = "update-key needs update-file";
    else if (!s.update_signature.empty() && (s.update_file.empty() || !s.update_key.empty()))
        error = "update-signature needs update-file and excludes update-key";
    else if (s.tls_cert.empty() != s.tls_key.empty())
        error = "tls-cert and tls-key go together";
    else if (!s.tls_ticket_key_file.empty() && s.tls_cert.empty())
        error = "tls-ticket-key-file needs tls-cert";
    else if (s.smtp_url.empty() && relay_setting)
        error = std::string(relay_setting) + " needs smtp-url (the relay it is for)";
    else if (!s.smtp_url.empty() && s.mail_from.empty())
        error = "smtp-url needs mail-from \"Name <address>\"";
    else if (s.smtp_user.empty() != s.smtp_password_file.empty())
        error = "smtp-user and smtp-password-file go together";
    // The status record names where clients download the update: by default the
    // download listener's address, else this server's own, which does not fit every
    // listener.
    else if (!s.update_file.empty() && s.update_location.empty() &&
             is_wildcard_host(download_host(s)))
        error = "update-file with " +
                std::string(s.download_listen.empty() ? "host " + s.host
                                                      : "download-listen " + s.download_listen) +
                " needs update-location (HOST:PORT/download/Tarnix.exe as clients reach this "
                "server): by default they would be told to download from 127.0.0.1";
    else if (!s.update_file.empty() && s.update_location.empty() && !s.tls_cert.empty() &&
             s.download_listen.empty())
        error = "update-file with tls-cert needs download-listen HOST:PORT (a plain-HTTP "
                "listener for the downloads) or update-location on a plain-HTTP server or "
                "proxy: clients download the update over http://, which this port does not "
                "speak";
    return error.empty() && check_proxies(s, error);
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

bool is_wildcard_host(const std::string& host) {
    return host == "0.0.0.0" || host == "::";
}

std::string download_host(const Settings& s) {
    if (s.download_listen.empty())
        return s.host;
    std::string host;
    int port = 0;
    split_host_port(s.download_listen, host, port); // the row has checked it
    return host;
}

Settings default_settings() {
    Settings s{};
    for (const Row& row : setting_rows()) {
        std::string why;
        if (!set_from_text(s, row, row.default_text, false, why))
            std::abort(); // a default the table itself refuses is a mistake in the table
    }
    return s;
}

void split_settings_flags(int argc, char** argv, std::vector<char*>& flags,
                          std::vector<std::string>& words) {
    flags.assign(argv, argv + std::min(argc, 1));
    for (int i = 1; i < argc; ++i) {
        const char* arg = argv[i];
        const char* eq = std::strchr(arg, '=');
        const std::string name = std::strncmp(arg, "--", 2) == 0
                                     ? std::string(arg + 2, eq ? eq : arg + std::strlen(arg))
                                     : std::string();
        const Row* row = name.empty() ? nullptr : find_row(name);
        if (!row && name != "config") {
            words.push_back(arg); // the subcommand's own, "--locked" too
            continue;
        }
        flags.push_back(argv[i]);
        // A value in the next argument, but for a switch.
        if (!eq && !(row && row->member.index() == 2) && i + 1 < argc)
            flags.push_back(argv[++i]);
    }
}

ParseResult parse_settings(int argc, char** argv, Settings& s, std::string& error) {
    s = default_settings();
    bool print = false;
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
        if (arg == "--version")
            return ParseResult::Version;
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
            error = "unknown flag: --" + name + nearest_setting(name, "--");
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
        s.written[name] = "--" + name;
    }
    if (!check_together(s, error))
        return ParseResult::Conflict;
    return print ? ParseResult::PrintConfig : ParseResult::Run;
}

std::string as_written(const Settings& s, const std::string& message) {
    const std::string name = message.substr(0, message.find_first_of(" :'"));
    const auto given = s.written.find(name);
    return given == s.written.end() ? message : given->second + message.substr(name.size());
}

std::string usage_text(const std::string& admin_commands) {
    std::string text =
        "Usage: tarnix-server [--config FILE] [flags]      serve\n"
        "       tarnix-server admin [--config FILE] [flags] COMMAND...\n"
        "                                                 the operator's commands (below)\n"
        "       tarnix-server keygen DIR                   a new update signing key\n"
        "       tarnix-server keygen-secret DIR            a new key for the passwords at rest\n"
        "       tarnix-server check-config [--config FILE] [flags]\n"
        "                                                 what a start would check, without it\n"
        "Reference account server of Tarnix: POST /tx-client.asp, update file by GET.\n\n"
        "  --config FILE               read settings from a TOML file (keys are the flags\n"
        "                              without their dashes); flags win over it\n"
        "  --print-config              print the settings as such a file and exit\n"
        "  --version                   print the version and exit\n"
        "  --help                      this text\n\n";
    for (const Row& row : setting_rows()) {
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
    text += "\nadmin COMMAND takes the settings that name the store (db, secret-key-file,\n"
            "...) before or after its words:\n" +
            admin_commands +
            "\nkeygen DIR writes a new update signing key to DIR/update-key.pem (mode 0600)\n"
            "and prints its public key (128 hex digits) for TARNIX_UPDATE_PUBLIC_KEY.\n"
            "keygen-secret DIR writes a new key for the passwords at rest to DIR (mode 0600).\n"
            "\nTexts are UTF-8 on the command line and in the file, GBK on the wire.\n";
    return text;
}

std::string print_config(const Settings& s) {
    std::string text = "# tarnix-server settings (tarnix-server --config FILE)\n";
    for (const Row& row : setting_rows()) {
        text += "\n# ";
        for (char c : std::string(row.help))
            text += c == '\n' ? std::string("\n# ") : std::string(1, c);
        text += "\n" + std::string(row.name) + " = " + toml_value(s, row) + "\n";
    }
    return text;
}

std::vector<std::pair<std::string, std::string>> setting_defaults() {
    std::vector<std::pair<std::string, std::string>> out;
    for (const Row& row : setting_rows())
        out.emplace_back(row.name, row.default_text);
    return out;
}

} // namespace server
