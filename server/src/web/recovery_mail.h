// The recovery's mails (the link, and the notices to an owner whose password changed
// or whose account locked) made from their templates and handed to the transport the
// code mail uses: queued for the mail sender, or appended to the outbox at once.
//
// Threads: the SendMail it makes is called on the recovery's thread.
#pragma once

#include "base/policy.h"
#include "mail/mail.h"
#include "web/recovery.h"

#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <vector>

namespace server {

class Store;

// The kinds of mail the recovery sends, in the order their templates are configured.
const std::vector<std::string>& notice_kinds();

// The placeholders a kind's template may use.
const std::vector<std::string>& notice_template_names(const std::string& kind);

// The built-in Chinese template of a kind.
MailTemplate builtin_notice(const std::string& kind);

struct NoticeMailing {
    MailTransport* transport = nullptr; // the code mail's (not owned)
    std::string message_domain = "localhost";
    std::map<std::string, MailTemplate> templates; // by kind; a missing kind: built-in
    int64_t link_seconds = kLinkSeconds;           // a link's mail is useless after the link
    std::function<void()> queued;                  // a mail was queued (wakes the sender)
};

// Renders each mail, and queues it (or, with the file transport, appends its line:
// "time TAB address TAB kind TAB link-or-empty"); each is logged. A failure is logged,
// never thrown.
SendMail make_notice_sender(Store& store, NoticeMailing mailing);

} // namespace server
