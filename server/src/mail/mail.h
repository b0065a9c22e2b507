// Mail that the server sends (verification codes; other notices can share every
// piece): the address rules, the template, the message as it goes on the wire and
// the transports that carry it away.
//
// Threads: the free functions are pure and safe anywhere. A transport is used by one
// thread at a time: the file transport by request threads (it locks), the SMTP
// transport (smtp.h) by the mail sender's thread alone.
#pragma once

#include "store/mail_queue.h"

#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace server {

// True for an address the client may give: 3 to 100 bytes, whole GBK characters,
// exactly one '@' with something on each side, and nothing that could end or split
// an envelope command or a header (control bytes, space, <>()[],;:"\).
bool acceptable_address(const std::string& gbk);

// The domain of a UTF-8 (or GBK) address, for the log: what follows its last '@'.
std::string address_domain(const std::string& address);

// A subject and body with {name} placeholders.
struct MailTemplate {
    std::string subject; // UTF-8, one line
    std::string body;    // UTF-8, LF line ends

    // The verification code's mail in Chinese, with {service}, {code} and {minutes}.
    static MailTemplate builtin_code();

    // Text as in a template file: "Subject: ...", an empty line, the body. False (with
    // `error`) when it is not UTF-8, lacks the subject line or has a {placeholder}
    // not among `names`.
    static bool parse(const std::string& text, const std::vector<std::string>& names,
                      MailTemplate& out, std::string& error);

    // Every {name} replaced by its value (names were checked by parse).
    std::string render_subject(const std::map<std::string, std::string>& values) const;
    std::string render_body(const std::map<std::string, std::string>& values) const;
};

// The placeholders a code template may use.
const std::vector<std::string>& code_template_names();

// The sender as --mail-from gives it: `Name <address>` or a bare address.
struct MailFrom {
    std::string header;  // the From header's value, RFC 2047 encoded where needed
    std::string address; // for MAIL FROM
    std::string domain;  // for Message-IDs
};
bool parse_mail_from(const std::string& text, MailFrom& out, std::string& error);

// A fresh Message-ID on `domain`: 128 random bits and the time.
std::string new_message_id(const std::string& domain, int64_t now);

// RFC 2047 encoded-words (UTF-8, base64) for a header value that is not plain
// ASCII, each word within 75 characters and never splitting a character; the
// words are joined by CRLF SP. ASCII text comes back as it is.
std::string encode_header_text(const std::string& utf8);

// The whole message, CRLF line ends: From, To, Subject, Date, Message-ID,
// MIME-Version, a text/plain UTF-8 body in base64 (76-character lines).
std::string build_message(const OutgoingMail& mail, const MailFrom& from);

// RFC 5322 date-time of `seconds` in UTC ("Tue, 02 Jan 2024 03:04:05 +0000").
std::string mail_date(int64_t seconds);

// What one attempt gave.
struct SendResult {
    enum Outcome { Sent, Retry, Abandon };
    Outcome outcome = Retry;
    int reply = 0;      // the relay's last reply code (0: none)
    std::string detail; // for the log: never an address, a code or a password
};

class MailTransport {
public:
    virtual ~MailTransport() = default;
    // True: send() runs inside the store's transaction, and a failure rolls the code
    // back. False: mails are queued and sent by a MailSender.
    virtual bool immediate() const = 0;
    virtual SendResult send(const OutgoingMail& mail) = 0;
    // Nothing more is due soon: a connection kept open may be closed.
    virtual void close() {}
    // Any thread: a send in progress ends soon, and so does every later one (the
    // server is stopping).
    virtual void cancel() {}
    // Where mail goes, for the start-up line (no secrets).
    virtual std::string describe() const = 0;
};

// Appends `file_line` of each mail to a file (the outbox: one line per code).
class FileTransport final : public MailTransport {
public:
    explicit FileTransport(std::string path) : path_(std::move(path)) {}
    bool immediate() const override { return true; }
    SendResult send(const OutgoingMail& mail) override;
    std::string describe() const override { return "outbox " + path_; }

private:
    std::string path_;
    std::mutex mutex_;
};

} // namespace server
