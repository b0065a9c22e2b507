// The SMTP transport: mail handed to a relay through libcurl, over TLS (STARTTLS or
// TLS from the start), one connection kept open between mails.
//
// Threads: one transport is used by the mail sender's thread alone; cancel() from
// any thread. Nothing is thrown; a send's failure is its SendResult.
#pragma once

#include "mail/mail.h"

#include <cstdint>
#include <memory>
#include <string>

namespace server {

// Made from the settings (mail_config in configs.h), which have checked that a
// sender is given and that a user comes with a password.
struct SmtpConfig {
    std::string url;              // smtp://host:port (STARTTLS required) or smtps://host:port
    bool allow_plaintext = false; // a relay without TLS, only on a loopback host
    std::string user;             // AUTH when not empty...
    std::string password;         // ...with this password
    std::string ca_file;          // extra authorities (PEM); empty: the system's
    MailFrom from;
    int64_t timeout_seconds = 30; // connecting, and each reply
};

// The SMTP transport (libcurl); nothing and a reason when the configuration cannot work.
std::unique_ptr<MailTransport> make_smtp_transport(const SmtpConfig& config, std::string& error);

// The transport; nothing and a reason when the configuration cannot work (the URL is
// not smtp:// or smtps://, plain text to a host off this machine, an unreadable CA
// file, a libcurl without TLS).
std::unique_ptr<MailTransport> make_smtp_transport(const SmtpConfig& config, std::string& error);

} // namespace server
