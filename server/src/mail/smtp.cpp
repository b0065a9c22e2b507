#include "mail/smtp.h"

#include "base/files.h"
#include "base/text.h"

#include <curl/curl.h>

#include <arpa/inet.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cstdlib>
#include <cstring>
#include <sstream>

namespace server {
namespace {

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
        error = "smtp-url must be smtp://HOST[:PORT] (STARTTLS) or smtps://HOST[:PORT], not '" +
                config.url + "'";
        return nullptr;
    }
    if (config.allow_plaintext && scheme == "smtp" && !loopback_host(host)) {
        error = "smtp-allow-plaintext is only for a relay on a loopback address, not " + host;
        return nullptr;
    }
    std::string authorities, why;
    if (!config.ca_file.empty() && !read_whole_file(config.ca_file, authorities, &why)) {
        error = "smtp-ca-file: cannot read " + config.ca_file + ": " + why;
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
