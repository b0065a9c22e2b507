// The real SMTP server of the tests (aiosmtpd, from smtp_relay.py) on loopback, and
// what the tests read of the mails it keeps: headers, encoded words, the body; the
// flags that point a server at it, and a wait for a line in the server's log.
#pragma once

#include "server_process.h"

#include <openssl/evp.h>

#include <sys/wait.h>
#include <unistd.h>

#include <cctype>
#include <chrono>
#include <csignal>
#include <filesystem>
#include <fstream>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace server_test {

// The relay process; killed at the end.
class Relay {
public:
    explicit Relay(std::vector<std::string> extra, int port = 0) {
        char tmpl[] = "/tmp/tarnix-relay-XXXXXX";
        dir_ = mkdtemp(tmpl);
        std::vector<std::string> args = {"/usr/bin/python3",   TARNIX_SMTP_RELAY, "--port",
                                         std::to_string(port), "--maildir",       dir_ + "/Maildir",
                                         "--journal",          journal_path()};
        args.insert(args.end(), extra.begin(), extra.end());
        int out = -1;
        pid_ = spawn_piped(args, dir_ + "/relay.log", out);
        const std::string line = read_line(out);
        close(out);
        if (line.rfind("ready ", 0) == 0)
            port_ = std::atoi(line.c_str() + 6);
    }
    ~Relay() {
        kill(pid_, SIGKILL);
        waitpid(pid_, nullptr, 0);
        std::filesystem::remove_all(dir_);
    }
    int port() const { return port_; }
    std::string journal_path() const { return dir_ + "/journal.txt"; }
    std::string journal() const { return read_file(journal_path()); }
    size_t journal_count(const std::string& line_start) const {
        std::istringstream lines(journal());
        size_t n = 0;
        for (std::string l; std::getline(lines, l);)
            n += l.rfind(line_start, 0) == 0;
        return n;
    }
    // The mails in the Maildir, waiting up to `seconds` for at least `n`.
    std::vector<std::string> mails(size_t n = 0, int seconds = 0) const {
        const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
        for (;;) {
            std::vector<std::string> out;
            std::error_code ec;
            for (const auto& f : std::filesystem::directory_iterator(dir_ + "/Maildir/new", ec))
                out.push_back(read_file(f.path()));
            if (out.size() >= n || std::chrono::steady_clock::now() >= end)
                return out;
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
        }
    }

private:
    std::string dir_;
    pid_t pid_ = -1;
    int port_ = 0;
};

inline std::string base64_decode(const std::string& text) {
    std::string clean;
    for (char c : text) {
        if (!std::isspace(static_cast<unsigned char>(c)))
            clean += c;
    }
    std::string out(clean.size(), '\0');
    int n = EVP_DecodeBlock(reinterpret_cast<unsigned char*>(&out[0]),
                            reinterpret_cast<const unsigned char*>(clean.data()),
                            static_cast<int>(clean.size()));
    if (n < 0)
        return "<bad base64>";
    size_t pad = 0;
    while (pad < clean.size() && clean[clean.size() - 1 - pad] == '=')
        ++pad;
    out.resize(static_cast<size_t>(n) - pad);
    return out;
}

// A header's value with its folded lines joined (CRLF SP removed).
inline std::string header(const std::string& mail, const std::string& name) {
    size_t at = mail.find("\n" + name + ": ");
    if (mail.rfind(name + ": ", 0) == 0)
        at = 0;
    else if (at == std::string::npos)
        return std::string();
    else
        ++at;
    std::string value;
    size_t pos = at + name.size() + 2;
    for (;;) {
        size_t end = mail.find('\n', pos);
        std::string line = mail.substr(pos, end - pos);
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        value += line;
        if (end == std::string::npos || end + 1 >= mail.size() ||
            (mail[end + 1] != ' ' && mail[end + 1] != '\t'))
            return value;
        pos = end + 2;
    }
}

// Encoded words (=?UTF-8?B?...?=) decoded and joined.
inline std::string decode_words(const std::string& value) {
    std::string out;
    static const std::regex word("=\\?UTF-8\\?B\\?([A-Za-z0-9+/=]*)\\?=");
    for (auto it = std::sregex_iterator(value.begin(), value.end(), word);
         it != std::sregex_iterator(); ++it)
        out += base64_decode((*it)[1]);
    return out.empty() ? value : out;
}

inline std::string body_of(const std::string& mail) {
    size_t split = mail.find("\r\n\r\n");
    size_t skip = 4;
    if (split == std::string::npos) {
        split = mail.find("\n\n");
        skip = 2;
    }
    return base64_decode(mail.substr(split + skip));
}

// Flags for a relay on plain loopback, answers quickly.
inline std::vector<std::string> plain_relay(int port, std::vector<std::string> more = {}) {
    std::vector<std::string> args = {"--smtp-url",
                                     "smtp://127.0.0.1:" + std::to_string(port),
                                     "--smtp-allow-plaintext",
                                     "--mail-from",
                                     "Tarnix <no-reply@example.com>",
                                     "--smtp-timeout",
                                     "2"};
    args.insert(args.end(), more.begin(), more.end());
    return args;
}

// Waits up to `seconds` for `text` in the server's log.
inline bool log_shows(const ServerProcess& server, const std::string& text, int seconds) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
    while (read_file(server.log_path()).find(text) == std::string::npos) {
        if (std::chrono::steady_clock::now() >= end)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    return true;
}

} // namespace server_test
