// tarnix-server admin passwords audit [--notify]: every stored password, opened with
// the key, through the screen new passwords pass (password_screen.h). The accounts
// that fail are listed with the reason, never the password. With --notify each gets a
// mail with a recovery link and the reason, once per account and corpus file (or
// rules file, for a simple password; the audit_notices table remembers), so a second
// run after a new corpus mails only whom that corpus newly finds.
//
// Beside live servers: the accounts are read a batch at a time in short reads, the
// checks run with no transaction open, and progress goes to err after each batch.
#include "base/charset.h"
#include "base/clock.h"
#include "base/text.h"
#include "ops/admin_context.h"
#include "web/recovery.h"

namespace server {
namespace {

constexpr size_t kBatch = 100;
constexpr int64_t kAuditLinkSeconds = kDaySeconds;

} // namespace

int passwords_audit(AdminContext& ctx) {
    bool notify = false;
    if (!ctx.args.empty()) {
        if (ctx.args[0] != "--notify") {
            std::fprintf(ctx.err, "tarnix-server admin: passwords audit takes only --notify\n");
            return kAdminUsage;
        }
        notify = true;
    }
    PasswordScreen screen(ctx.config.passwords);
    if (!screen.enabled()) {
        std::fprintf(ctx.err, "tarnix-server admin: passwords audit needs --breached-passwords or "
                              "--password-quality-file (the servers' own settings)\n");
        return kAdminUsage;
    }
    if (!ctx.config.store.keys || !ctx.config.store.keys->encrypts())
        std::fprintf(ctx.err, "tarnix-server admin: no --secret-key-file: reading the passwords "
                              "as plain text\n");
    std::string error;
    if (!screen.load(error)) {
        std::fprintf(ctx.err, "tarnix-server admin: %s\n", error.c_str());
        return kAdminNotFound;
    }
    Store* store = ctx.open();
    if (!store)
        return kAdminNotFound;
    SendMail send;
    if (notify) {
        if (ctx.config.public_url.empty()) {
            std::fprintf(ctx.err, "tarnix-server admin: --notify needs --public-url (the "
                                  "recovery links)\n");
            return kAdminUsage;
        }
        NoticeMailing mailing;
        if (!ctx.config.notice_mailing || !ctx.config.notice_mailing(mailing, error)) {
            std::fprintf(ctx.err, "tarnix-server admin: %s\n", error.c_str());
            return kAdminNotFound;
        }
        mailing.link_seconds = kAuditLinkSeconds;
        send = make_notice_sender(*store, mailing);
    }
    // Once per account and corpus file for a breached password, once per account and
    // rules file for a simple one.
    const std::string corpus = screen.corpus_identity();
    const std::string rules = "rules:" + ctx.config.passwords.quality_file;
    std::string after;
    std::vector<std::string> unreadable;
    size_t examined = 0, refused = 0, mailed = 0;
    for (;;) {
        const size_t n = store->visit_passwords(
            after, kBatch,
            [&](const AccountInfo& account, const Secret& password) {
                const Refusal why = screen.check(password.view(), account.name);
                if (why == Refusal::None)
                    return;
                ++refused;
                std::fprintf(ctx.out, "%s\t%s\n", printable(account.name).c_str(),
                             refusal_label(why));
                if (!notify || !store->note_audit_notice(account.name,
                                                         why == Refusal::Breached ? corpus : rules,
                                                         now_seconds()))
                    return;
                const int64_t now = now_seconds();
                IssuedLink link = issue_reset_link(*store, account.name, now, kAuditLinkSeconds, 0,
                                                   [](const std::string&) { return true; });
                if (link.result != ResetIssue::Issued)
                    return;
                send("audit", link.email,
                     {{"service", ctx.config.service},
                      {"account", gbk_to_utf8(account.name).value_or(printable(account.name))},
                      {"reason", refusal_text(why)},
                      {"link", reset_link_url(ctx.config.public_url, link.token)},
                      {"hours", std::to_string(kAuditLinkSeconds / kHourSeconds)}});
                ++mailed;
            },
            unreadable);
        if (n == 0)
            break;
        examined += n;
        std::fprintf(ctx.err, "tarnix-server admin: audited %zu accounts, %zu refused so far\n",
                     examined, refused);
    }
    for (const std::string& name : unreadable)
        std::fprintf(ctx.err, "tarnix-server admin: %s: password opens under no given key\n",
                     printable(name).c_str());
    std::fprintf(ctx.err, "tarnix-server admin: %zu accounts audited, %zu refused%s\n", examined,
                 refused, notify ? (", " + std::to_string(mailed) + " mailed now").c_str() : "");
    return kAdminDone;
}

} // namespace server
