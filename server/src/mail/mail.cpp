#include "mail/mail.h"

#include "base/charset.h"
#include "base/clock.h"
#include "base/crypto.h"

#include <curl/curl.h>
#include <openssl/evp.h>

#include <arpa/inet.h>
#include <sys/stat.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fstream>
#include <sstream>

namespace server {
namespace {

bool is_ascii(const std::string& s) {
    for (unsigned char c : s) {
        if (c >= 0x80)
            return false;
    }
    return true;
}

// Pieces of at most `max` bytes that end on UTF-8 character boundaries.
std::vector<std::string> utf8_pieces(const std::string& s, size_t max) {
    std::vector<std::string> out;
    size_t start = 0;
    while (start < s.size()) {
        size_t end = std::min(s.size(), start + max);
        while (end < s.size() && end > start && (static_cast<unsigned char>(s[end]) & 0xC0) == 0x80)
            --end;
        out.push_back(s.substr(start, end - start));
        start = end;
    }
    return out;
}

std::string render(const std::string& text, const std::map<std::string, std::string>& values) {
    std::string out;
    for (size_t i = 0; i < text.size();) {
        if (text[i] == '{') {
            size_t close = text.find('}', i);
            if (close != std::string::npos) {
                auto it = values.find(text.substr(i + 1, close - i - 1));
                if (it != values.end()) {
                    out += it->second;
                    i = close + 1;
                    continue;
                }
            }
        }
        out += text[i++];
    }
    return out;
}

// A {word} that is not one of `names`; "" when there is none. Other braces are text.
std::string unknown_placeholder(const std::string& text, const std::vector<std::string>& names) {
    for (size_t i = text.find('{'); i != std::string::npos; i = text.find('{', i + 1)) {
        size_t j = i + 1;
        while (j < text.size() && (std::isalnum(static_cast<unsigned char>(text[j])) ||
                                   text[j] == '_' || text[j] == '-'))
            ++j;
        if (j == i + 1 || j >= text.size() || text[j] != '}')
            continue;
        const std::string name = text.substr(i + 1, j - i - 1);
        if (std::find(names.begin(), names.end(), name) == names.end())
            return name;
    }
    return std::string();
}

bool loopback_host(std::string host) {
    if (host == "localhost")
        return true;
    if (host.size() > 2 && host.front() == '[' && host.back() == ']')
        host = host.substr(1, host.size() - 2);
    unsigned char addr[16];
    if (inet_pton(AF_INET, host.c_str(), addr) == 1)
        return addr[0] == 127;
    static const unsigned char kLoopback6[16] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1};
    return inet_pton(AF_INET6, host.c_str(), addr) == 1 && std::memcmp(addr, kLoopback6, 16) == 0;
}

// The relay through libcurl. One easy handle is kept between mails, so mails sent
// one after another go over its open connection; any failure drops it, so the next
// mail starts on a fresh session (libcurl sends no RSET). The debug callback is our
// only view of the dialogue: which command was sent last, the reply to it, and
// whether the relay offers SMTPUTF8. Nothing it sees is ever logged (AUTH carries
// the password, the data the code).
class SmtpTransport final : public MailTransport {
public:
    explicit SmtpTransport(SmtpConfig config) : config_(std::move(config)) {}
    ~SmtpTransport() override { close(); }
    SmtpTransport(const SmtpTransport&) = delete;
    SmtpTransport& operator=(const SmtpTransport&) = delete;

    bool immediate() const override { return false; }

    std::string describe() const override {
        return "SMTP relay " + config_.url + (config_.user.empty() ? "" : " as " + config_.user);
    }

    void close() override {
        if (curl_)
            curl_easy_cleanup(curl_);
        curl_ = nullptr;
        ehlo_seen_ = false;
        smtputf8_ = false;
    }

    SendResult send(const OutgoingMail& mail) override {
        SendResult a;
        if (!curl_ && !open()) {
            a.detail = "cannot make a libcurl handle";
            return a;
        }
        if (!is_ascii(mail.recipient)) {
            // Whether the relay takes a UTF-8 address is known only from its EHLO
            // reply; on a connection not yet open, a NOOP opens it and shows it.
            if (!ehlo_seen_ && perform(nullptr, "NOOP") != CURLE_OK)
                return failed(a);
            if (!smtputf8_) {
                a.outcome = SendResult::Abandon;
                a.reply = last_reply_;
                a.detail = "the relay does not offer SMTPUTF8 for a non-ASCII address";
                return a;
            }
        }
        message_ = build_message(mail, config_.from);
        offset_ = 0;
        curl_slist* rcpt = curl_slist_append(nullptr, ("<" + mail.recipient + ">").c_str());
        const CURLcode rc = perform(rcpt, nullptr);
        curl_slist_free_all(rcpt);
        message_.clear();
        if (rc != CURLE_OK) {
            a.detail = curl_easy_strerror(rc);
            return failed(a);
        }
        a.outcome = SendResult::Sent;
        a.reply = last_reply_;
        a.detail = "accepted";
        return a;
    }

    void cancel() override { cancelled_ = true; }

private:
    bool open() {
        curl_ = curl_easy_init();
        if (!curl_)
            return false;
        const bool implicit_tls = config_.url.rfind("smtps://", 0) == 0;
        curl_easy_setopt(curl_, CURLOPT_URL, config_.url.c_str());
        curl_easy_setopt(curl_, CURLOPT_USE_SSL,
                         implicit_tls || !config_.allow_plaintext
                             ? static_cast<long>(CURLUSESSL_ALL)
                             : static_cast<long>(CURLUSESSL_TRY));
        curl_easy_setopt(curl_, CURLOPT_SSL_VERIFYPEER, 1L);
        curl_easy_setopt(curl_, CURLOPT_SSL_VERIFYHOST, 2L);
        if (!config_.ca_file.empty())
            curl_easy_setopt(curl_, CURLOPT_CAINFO, config_.ca_file.c_str());
        if (!config_.user.empty()) {
            curl_easy_setopt(curl_, CURLOPT_USERNAME, config_.user.c_str());
            curl_easy_setopt(curl_, CURLOPT_PASSWORD, config_.password.c_str());
        }
        curl_easy_setopt(curl_, CURLOPT_MAIL_FROM, ("<" + config_.from.address + ">").c_str());
        curl_easy_setopt(curl_, CURLOPT_CONNECTTIMEOUT, static_cast<long>(config_.timeout_seconds));
        curl_easy_setopt(curl_, CURLOPT_SERVER_RESPONSE_TIMEOUT,
                         static_cast<long>(config_.timeout_seconds));
        // The whole of one mail's dialogue, whatever the relay drips.
        curl_easy_setopt(curl_, CURLOPT_TIMEOUT, static_cast<long>(4 * config_.timeout_seconds));
        // A relay that stops reading the data.
        curl_easy_setopt(curl_, CURLOPT_LOW_SPEED_LIMIT, 1L);
        curl_easy_setopt(curl_, CURLOPT_LOW_SPEED_TIME, static_cast<long>(config_.timeout_seconds));
        curl_easy_setopt(curl_, CURLOPT_NOSIGNAL, 1L);
        curl_easy_setopt(curl_, CURLOPT_VERBOSE, 1L);
        curl_easy_setopt(curl_, CURLOPT_DEBUGFUNCTION, &SmtpTransport::on_debug);
        curl_easy_setopt(curl_, CURLOPT_DEBUGDATA, this);
        curl_easy_setopt(curl_, CURLOPT_READFUNCTION, &SmtpTransport::on_read);
        curl_easy_setopt(curl_, CURLOPT_READDATA, this);
        curl_easy_setopt(curl_, CURLOPT_WRITEFUNCTION, &SmtpTransport::on_write);
        curl_easy_setopt(curl_, CURLOPT_NOPROGRESS, 0L);
        curl_easy_setopt(curl_, CURLOPT_XFERINFOFUNCTION, &SmtpTransport::on_progress);
        curl_easy_setopt(curl_, CURLOPT_XFERINFODATA, this);
        return true;
    }

    // One transfer: a mail to `rcpt`, or `command` alone.
    CURLcode perform(curl_slist* rcpt, const char* command) {
        curl_easy_setopt(curl_, CURLOPT_MAIL_RCPT, rcpt);
        curl_easy_setopt(curl_, CURLOPT_UPLOAD, rcpt ? 1L : 0L);
        curl_easy_setopt(curl_, CURLOPT_CUSTOMREQUEST, command);
        last_command_.clear();
        last_reply_ = 0;
        quitting_ = false;
        unreadable_ = false;
        const CURLcode rc = curl_easy_perform(curl_);
        curl_easy_setopt(curl_, CURLOPT_MAIL_RCPT, nullptr);
        return unreadable_ ? CURLE_ABORTED_BY_CALLBACK : rc;
    }

    // A refusal (5xx) of the mail itself ends it; anything else may pass.
    SendResult& failed(SendResult& a) {
        a.reply = last_reply_;
        const bool about_the_mail =
            last_command_ == "MAIL" || last_command_ == "RCPT" || last_command_ == "DATA";
        a.outcome = about_the_mail && last_reply_ >= 500 && last_reply_ < 600 ? SendResult::Abandon
                                                                              : SendResult::Retry;
        close();
        return a;
    }

    // libcurl is C: nothing may be thrown through it. What cannot be read fails the
    // transfer (on_progress stops it) and the attempt.
    static int on_debug(CURL*, curl_infotype type, char* data, size_t size,
                        void* self_ptr) noexcept {
        auto* self = static_cast<SmtpTransport*>(self_ptr);
        try {
            self->see(type, std::string(data, size));
        } catch (...) {
            self->unreadable_ = true;
        }
        return 0;
    }

    void see(curl_infotype type, const std::string& text) {
        if (type == CURLINFO_HEADER_OUT) {
            std::string command = text.substr(0, text.find_first_of(" \r\n"));
            for (char& c : command)
                c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
            // libcurl ends a refused mail with QUIT: what counts is the reply before it.
            if (command == "QUIT") {
                quitting_ = true;
                return;
            }
            quitting_ = false;
            last_command_ = command;
            if (last_command_ == "EHLO") {
                ehlo_seen_ = true;
                smtputf8_ = false;
            }
        } else if (type == CURLINFO_HEADER_IN && !quitting_) {
            // Any line may come, of any length: one that is not a reply is passed over.
            std::istringstream lines(text);
            std::string line;
            while (std::getline(lines, line)) {
                if (line.size() < 3 || !std::isdigit(static_cast<unsigned char>(line[0])) ||
                    !std::isdigit(static_cast<unsigned char>(line[1])) ||
                    !std::isdigit(static_cast<unsigned char>(line[2])))
                    continue;
                last_reply_ = std::atoi(line.substr(0, 3).c_str());
                if (last_command_ == "EHLO" && line.size() > 4 &&
                    line.compare(4, 8, "SMTPUTF8") == 0)
                    smtputf8_ = true;
            }
        }
    }

    static size_t on_read(char* buffer, size_t size, size_t count, void* self_ptr) noexcept {
        auto* self = static_cast<SmtpTransport*>(self_ptr);
        const size_t n = std::min(size * count, self->message_.size() - self->offset_);
        std::memcpy(buffer, self->message_.data() + self->offset_, n);
        self->offset_ += n;
        return n;
    }

    static size_t on_write(char*, size_t size, size_t count, void*) noexcept {
        return size * count;
    }

    static int on_progress(void* self_ptr, curl_off_t, curl_off_t, curl_off_t,
                           curl_off_t) noexcept {
        const auto* self = static_cast<SmtpTransport*>(self_ptr);
        return self->cancelled_ || self->unreadable_ ? 1 : 0;
    }

    const SmtpConfig config_;
    CURL* curl_ = nullptr;
    std::string message_;
    size_t offset_ = 0;
    std::string last_command_;
    int last_reply_ = 0;
    bool ehlo_seen_ = false;
    bool smtputf8_ = false;
    bool quitting_ = false;
    bool unreadable_ = false; // the debug callback failed: this transfer cannot be trusted
    std::atomic<bool> cancelled_{false};
};

} // namespace

bool acceptable_address(const std::string& gbk) {
    if (gbk.size() < 3 || gbk.size() > 100 || !well_formed_gbk(gbk))
        return false;
    for (unsigned char c : gbk) {
        if (c <= 0x20 || c == 0x7F || std::strchr("<>()[],;:\"\\", c))
            return false;
    }
    const size_t at = find_in_gbk(gbk, '@');
    return at != std::string::npos && at > 0 && at + 1 < gbk.size() &&
           find_in_gbk(gbk, '@', at + 1) == std::string::npos;
}

std::string address_domain(const std::string& address) {
    const size_t at = address.rfind('@');
    return at == std::string::npos ? std::string() : address.substr(at + 1);
}

MailTemplate MailTemplate::builtin_code() {
    MailTemplate t;
    t.subject = "{service}邮箱验证码";
    t.body = "您好！\n"
             "\n"
             "您正在注册{service}账号，本次的邮箱验证码是：\n"
             "\n"
             "    {code}\n"
             "\n"
             "验证码{minutes}分钟内有效，请回到注册页面输入。\n"
             "如果这不是您本人的操作，请忽略本邮件，您的邮箱不会被注册。\n"
             "\n"
             "此邮件由系统自动发出，请勿回复。\n"
             "{service}\n";
    return t;
}

const std::vector<std::string>& code_template_names() {
    static const std::vector<std::string> names = {"code", "minutes", "service"};
    return names;
}

bool MailTemplate::parse(const std::string& raw, const std::vector<std::string>& names,
                         MailTemplate& out, std::string& error) {
    std::string text = raw;
    if (text.compare(0, 3, "\xEF\xBB\xBF") == 0)
        text.erase(0, 3);
    if (!valid_utf8(text)) {
        error = "the template is not UTF-8 text";
        return false;
    }
    std::string lf;
    for (char c : text) {
        if (c != '\r')
            lf += c;
    }
    const size_t line_end = lf.find('\n');
    const std::string first = lf.substr(0, line_end);
    static const char kSubject[] = "Subject:";
    if (first.compare(0, sizeof kSubject - 1, kSubject) != 0 || line_end == std::string::npos ||
        lf.compare(line_end, 2, "\n\n") != 0) {
        error = "the template must start with a \"Subject:\" line and an empty line";
        return false;
    }
    size_t start = sizeof kSubject - 1;
    while (start < first.size() && first[start] == ' ')
        ++start;
    out.subject = first.substr(start);
    out.body = lf.substr(line_end + 2);
    for (unsigned char c : out.subject + out.body) {
        if ((c < 0x20 && c != '\n' && c != '\t') || c == 0x7F) {
            error = "the template holds control characters";
            return false;
        }
    }
    if (out.subject.empty() || out.body.empty()) {
        error = "the template's subject and body cannot be empty";
        return false;
    }
    const std::string unknown = unknown_placeholder(out.subject + "\n" + out.body, names);
    if (!unknown.empty()) {
        error = "the template has an unknown placeholder {" + unknown + "}";
        return false;
    }
    return true;
}

std::string MailTemplate::render_subject(const std::map<std::string, std::string>& values) const {
    return render(subject, values);
}

std::string MailTemplate::render_body(const std::map<std::string, std::string>& values) const {
    return render(body, values);
}

bool parse_mail_from(const std::string& text, MailFrom& out, std::string& error) {
    std::string name, address = text;
    const size_t open = text.find('<');
    if (open != std::string::npos) {
        const size_t close = text.find('>', open);
        if (close == std::string::npos || close + 1 != text.size()) {
            error = "--mail-from must be an address or \"Name <address>\"";
            return false;
        }
        address = text.substr(open + 1, close - open - 1);
        name = text.substr(0, open);
        while (!name.empty() && name.back() == ' ')
            name.pop_back();
    }
    if (!is_ascii(address) || !acceptable_address(address) || !valid_utf8(name)) {
        error = "--mail-from needs an ASCII address with one @ (and a UTF-8 name)";
        return false;
    }
    for (unsigned char c : name) {
        if (c < 0x20 || c == 0x7F || c == '"' || c == '\\') {
            error = "--mail-from's name cannot hold quotes, backslashes or control characters";
            return false;
        }
    }
    out.address = address;
    out.domain = address_domain(address);
    if (name.empty())
        out.header = address;
    else if (is_ascii(name))
        out.header = "\"" + name + "\" <" + address + ">";
    else
        out.header = encode_header_text(name) + " <" + address + ">";
    return true;
}

std::string new_message_id(const std::string& domain, int64_t now) {
    return "<" + std::to_string(now) + "." +
           random_text(22, "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789") + "@" +
           domain + ">";
}

std::string encode_header_text(const std::string& utf8) {
    bool plain = utf8.size() <= 60;
    for (unsigned char c : utf8)
        plain = plain && c >= 0x20 && c < 0x7F;
    if (plain)
        return utf8;
    // 36 bytes make 48 base64 characters, a 60-character word: "Subject: " and one
    // word stay within 78.
    std::string out;
    for (const std::string& piece : utf8_pieces(utf8, 36)) {
        if (!out.empty())
            out += "\r\n ";
        out += "=?UTF-8?B?" + base64(piece) + "?=";
    }
    return out;
}

std::string mail_date(int64_t seconds) {
    return rfc_date_text(seconds, "+0000");
}

std::string build_message(const OutgoingMail& mail, const MailFrom& from) {
    std::string body;
    for (char c : mail.body) {
        if (c == '\n')
            body += '\r';
        body += c;
    }
    std::string m = "From: " + from.header + "\r\n" + "To: " + mail.recipient + "\r\n" +
                    "Subject: " + encode_header_text(mail.subject) + "\r\n" +
                    "Date: " + mail_date(mail.created) + "\r\n" + "Message-ID: " + mail.message_id +
                    "\r\n" + "MIME-Version: 1.0\r\n" +
                    "Content-Type: text/plain; charset=UTF-8\r\n" +
                    "Content-Transfer-Encoding: base64\r\n\r\n";
    const std::string encoded = base64(body);
    for (size_t i = 0; i < encoded.size(); i += 76)
        m += encoded.substr(i, 76) + "\r\n";
    return m;
}

SendResult FileTransport::send(const OutgoingMail& mail) {
    SendResult a;
    std::lock_guard<std::mutex> lock(mutex_);
    std::FILE* f = std::fopen(path_.c_str(), "ab");
    if (!f) {
        a.detail = "cannot open " + path_;
        return a;
    }
    bool ok =
        std::fwrite(mail.file_line.data(), 1, mail.file_line.size(), f) == mail.file_line.size();
    ok = std::fclose(f) == 0 && ok;
    a.outcome = ok ? SendResult::Sent : SendResult::Retry;
    a.detail = ok ? "written" : "cannot write " + path_;
    return a;
}

std::unique_ptr<MailTransport> make_smtp_transport(const SmtpConfig& config, std::string& error) {
    CURLU* url = curl_url();
    std::string scheme, host;
    if (url && curl_url_set(url, CURLUPART_URL, config.url.c_str(), 0) == CURLUE_OK) {
        char* part = nullptr;
        if (curl_url_get(url, CURLUPART_SCHEME, &part, 0) == CURLUE_OK)
            scheme = part;
        curl_free(part);
        part = nullptr;
        if (curl_url_get(url, CURLUPART_HOST, &part, 0) == CURLUE_OK)
            host = part;
        curl_free(part);
    }
    curl_url_cleanup(url);
    if ((scheme != "smtp" && scheme != "smtps") || host.empty()) {
        error = "--smtp-url must be smtp://HOST[:PORT] (STARTTLS) or smtps://HOST[:PORT], not '" +
                config.url + "'";
        return nullptr;
    }
    if (config.allow_plaintext && scheme == "smtp" && !loopback_host(host)) {
        error = "--smtp-allow-plaintext is only for a relay on a loopback address, not " + host;
        return nullptr;
    }
    if (config.from.address.empty()) {
        error = "--smtp-url needs --mail-from";
        return nullptr;
    }
    if (!config.user.empty() && config.password.empty()) {
        error = "--smtp-user needs --smtp-password-file";
        return nullptr;
    }
    if (!config.ca_file.empty() && !std::ifstream(config.ca_file)) {
        error = "cannot read --smtp-ca-file " + config.ca_file;
        return nullptr;
    }
    curl_version_info_data* info = curl_version_info(CURLVERSION_NOW);
    if (!info || !(info->features & CURL_VERSION_SSL)) {
        error = "this libcurl has no TLS";
        return nullptr;
    }
    return std::unique_ptr<MailTransport>(new SmtpTransport(config));
}

} // namespace server
