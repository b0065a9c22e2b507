#include "options.h"

#include <cstdlib>

namespace server {
namespace {

bool parse_integer(const std::string& s, int64_t min, int64_t max, int64_t& out) {
    if (s.empty() || s.size() > 18)
        return false;
    for (char c : s) {
        if (c < '0' || c > '9')
            return false;
    }
    int64_t v = std::strtoll(s.c_str(), nullptr, 10);
    if (v < min || v > max)
        return false;
    out = v;
    return true;
}

} // namespace

const char* usage_text() {
    return "Usage: tarnix-server [flags]\n"
           "       tarnix-server keygen DIR\n"
           "Reference account server of Tarnix: POST /tx-client.asp, update file by GET.\n"
           "\n"
           "  --host HOST                address to listen on (default 127.0.0.1)\n"
           "  --port N                   port (default 8866; 0 takes a free one)\n"
           "  --db PATH                  SQLite database of accounts and codes (default "
           "accounts.db)\n"
           "  --outbox PATH              file that receives the sent verification codes\n"
           "                             (default outbox.txt)\n"
           "  --service-name TEXT        status field 1 (default Tarnix账号服务)\n"
           "  --client-version TEXT      status field 2, the current client version (default "
           "1.001)\n"
           "  --update-location TEXT     status field 3, host and path of the update file without\n"
           "                             http:// (default HOST:PORT/download/Tarnix.exe)\n"
           "  --update-description TEXT  status field 4\n"
           "  --announcement TEXT        status field 5 (may be empty)\n"
           "  --update-file PATH         file served at the path of the update location\n"
           "  --update-key PEM           sign the update file for --client-version at start-up\n"
           "                             and serve the signature at its path + .sig\n"
           "  --challenge-seconds N      lifetime of a sign-in challenge (default 120)\n"
           "  --lock-seconds N           lock after 5 wrong passwords in a row (default 300)\n"
           "  --threads N                worker threads (default 16)\n"
           "  --timeout N                seconds a request may take to arrive in full, and a\n"
           "                             connection may stay idle (default 10)\n"
           "  --max-connections N        open connections in all (default 1024)\n"
           "  --max-per-address N        open connections per client address (default 64)\n"
           "  --max-header-bytes N       request line and headers (default 16384)\n"
           "  --max-body-bytes N         request body (default 65536)\n"
           "  --backlog N                connections waiting to be accepted (default 1024)\n"
           "  --tls-cert PEM --tls-key PEM\n"
           "                             serve HTTPS (TLS 1.2 and 1.3) instead of HTTP\n"
           "  --challenges-per-minute N  \"0\" per client address (default 20; 0: no limit)\n"
           "  --sign-ins-per-minute N    \"1\" per client address (default 20)\n"
           "  --password-changes-per-minute N\n"
           "                             \"3\" per client address (default 10)\n"
           "  --codes-per-minute N       \"9\" per client address (default 5)\n"
           "  --max-challenges N         live sign-in challenges kept (default 100000)\n"
           "  --exempt-addresses LIST    comma-separated client addresses the per-minute\n"
           "                             budgets do not count (default 127.0.0.1,::1; \"\" for "
           "none)\n"
           "  --help                     this text\n"
           "\n"
           "keygen DIR writes a new update signing key to DIR/update-key.pem (mode 0600)\n"
           "and prints its public key (128 hex digits) for TARNIX_UPDATE_PUBLIC_KEY.\n"
           "\n"
           "Texts are UTF-8 on the command line and GBK on the wire; none may contain '|'.\n";
}

ParseResult parse_options(int argc, char** argv, Options& o, std::string& error) {
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        if (arg == "--help" || arg == "-h")
            return ParseResult::Help;
        if (arg.compare(0, 2, "--") != 0) {
            error = "unexpected argument: " + arg;
            return ParseResult::Error;
        }
        std::string name = arg;
        std::string value;
        bool has_value = false;
        size_t eq = arg.find('=');
        if (eq != std::string::npos) {
            name = arg.substr(0, eq);
            value = arg.substr(eq + 1);
            has_value = true;
        }
        auto take = [&](std::string& target) {
            if (!has_value) {
                if (i + 1 >= argc) {
                    error = name + " needs a value";
                    return false;
                }
                value = argv[++i];
            }
            target = value;
            return true;
        };
        auto take_number = [&](int64_t min, int64_t max, int64_t& target) {
            std::string text;
            if (!take(text))
                return false;
            if (!parse_integer(text, min, max, target)) {
                error = name + " needs a whole number from " + std::to_string(min) + " to " +
                        std::to_string(max) + ", not '" + text + "'";
                return false;
            }
            return true;
        };
        int64_t number = 0;
        bool ok = true;
        if (name == "--host")
            ok = take(o.host);
        else if (name == "--port")
            ok = take_number(0, 65535, number) && ((o.port = static_cast<int>(number)), true);
        else if (name == "--db")
            ok = take(o.db);
        else if (name == "--outbox")
            ok = take(o.outbox);
        else if (name == "--service-name")
            ok = take(o.service_name);
        else if (name == "--client-version")
            ok = take(o.client_version);
        else if (name == "--update-location")
            ok = take(o.update_location);
        else if (name == "--update-description")
            ok = take(o.update_description);
        else if (name == "--announcement")
            ok = take(o.announcement);
        else if (name == "--update-file")
            ok = take(o.update_file);
        else if (name == "--update-key")
            ok = take(o.update_key);
        else if (name == "--challenge-seconds")
            ok = take_number(1, 86400, o.challenge_seconds);
        else if (name == "--lock-seconds")
            ok = take_number(0, 86400 * 365, o.lock_seconds);
        else if (name == "--threads")
            ok = take_number(1, 256, number) && ((o.threads = static_cast<int>(number)), true);
        else if (name == "--timeout")
            ok = take_number(1, 3600, o.timeout_seconds);
        else if (name == "--max-connections")
            ok = take_number(1, 100000, o.max_connections);
        else if (name == "--max-per-address")
            ok = take_number(1, 100000, o.max_per_address);
        else if (name == "--max-header-bytes")
            ok = take_number(1024, 1024 * 1024, o.max_header_bytes);
        else if (name == "--max-body-bytes")
            ok = take_number(1024, 1024 * 1024, o.max_body_bytes);
        else if (name == "--backlog")
            ok = take_number(1, 65535, o.backlog);
        else if (name == "--tls-cert")
            ok = take(o.tls_cert);
        else if (name == "--tls-key")
            ok = take(o.tls_key);
        else if (name == "--challenges-per-minute")
            ok = take_number(0, 1000000, o.challenges_per_minute);
        else if (name == "--sign-ins-per-minute")
            ok = take_number(0, 1000000, o.sign_ins_per_minute);
        else if (name == "--password-changes-per-minute")
            ok = take_number(0, 1000000, o.changes_per_minute);
        else if (name == "--codes-per-minute")
            ok = take_number(0, 1000000, o.codes_per_minute);
        else if (name == "--exempt-addresses") {
            std::string list;
            ok = take(list);
            o.exempt_addresses.clear();
            for (size_t start = 0; ok && start <= list.size();) {
                size_t comma = list.find(',', start);
                if (comma == std::string::npos)
                    comma = list.size();
                if (comma > start)
                    o.exempt_addresses.push_back(list.substr(start, comma - start));
                start = comma + 1;
            }
        } else if (name == "--max-challenges")
            ok = take_number(1, 10000000, o.max_challenges);
        else {
            error = "unknown flag: " + name;
            return ParseResult::Error;
        }
        if (!ok)
            return ParseResult::Error;
    }
    if (!o.update_key.empty() && o.update_file.empty()) {
        error = "--update-key needs --update-file";
        return ParseResult::Error;
    }
    if (o.tls_cert.empty() != o.tls_key.empty()) {
        error = "--tls-cert and --tls-key go together";
        return ParseResult::Error;
    }
    if (o.host.empty() || o.db.empty() || o.outbox.empty()) {
        error = "--host, --db and --outbox cannot be empty";
        return ParseResult::Error;
    }
    return ParseResult::Run;
}

} // namespace server
