#include "ops/admin.h"

#include "ops/admin_context.h"

#include "base/charset.h"
#include "base/clock.h"
#include "protocol/commands.h"
#include "web/recovery.h"
#include "ops/rekey.h"
#include "base/text.h"

#include <memory>
#include <pwd.h>
#include <unistd.h>
#include <optional>

namespace server {

Store* AdminContext::open() {
    std::string error;
    store = Store::open(config.store, error);
    if (!store)
        std::fprintf(err, "tarnix-server admin: cannot open the database: %s\n", error.c_str());
    return store.get();
}

bool admin_account_name(AdminContext& ctx, std::string& gbk_name) {
    auto converted = utf8_to_gbk(ctx.args[0]);
    if (!converted) {
        std::fprintf(ctx.err, "tarnix-server admin: %s is not UTF-8 text that GBK can hold\n",
                     ctx.args[0].c_str());
        return false;
    }
    gbk_name = *converted;
    return true;
}

int admin_no_such_account(AdminContext& ctx) {
    std::fprintf(ctx.err, "tarnix-server admin: no account %s\n", ctx.args[0].c_str());
    return kAdminNotFound;
}

namespace {

constexpr int kDone = kAdminDone;
constexpr int kNotFound = kAdminNotFound;
constexpr int kUsage = kAdminUsage;
using Context = AdminContext;

struct Row {
    const char* words[2];
    const char* arguments; // for the usage text
    size_t min_args;
    size_t max_args;
    int (*run)(Context&);
    // What the event record keeps of it (an action; reading commands are not kept).
    const char* recorded = nullptr;
};

bool account_name(Context& ctx, std::string& gbk_name) {
    return admin_account_name(ctx, gbk_name);
}

int no_such_account(Context& ctx) {
    return admin_no_such_account(ctx);
}

int accounts_show(Context& ctx) {
    std::string name;
    if (!account_name(ctx, name))
        return kUsage;
    Store* store = ctx.open();
    if (!store)
        return kNotFound;
    auto a = store->find_account(name);
    if (!a)
        return no_such_account(ctx);
    const bool locked = a->locked_until > now_seconds();
    std::fprintf(ctx.out, "name: %s\ncreated: %s\ne-mail: %s\nfailures: %lld\nlocked until: %s\n",
                 printable(a->name).c_str(), utc_time_text(a->created).c_str(),
                 printable(a->email).c_str(), static_cast<long long>(a->failures),
                 locked ? utc_time_text(a->locked_until).c_str() : "not locked");
    // Its known devices, one line each: id, last success, failures, locked until.
    const std::vector<DeviceRecord> devices = store->devices(name);
    std::fprintf(ctx.out, "devices: %zu\n", devices.size());
    for (const DeviceRecord& d : devices)
        std::fprintf(ctx.out, "device %s\t%s\t%lld\t%s\n", printable(d.id).c_str(),
                     utc_time_text(d.last_success).c_str(), static_cast<long long>(d.failures),
                     d.locked_until > now_seconds() ? utc_time_text(d.locked_until).c_str() : "-");
    return kDone;
}

int accounts_forget_devices(Context& ctx) {
    std::string name;
    if (!account_name(ctx, name))
        return kUsage;
    Store* store = ctx.open();
    if (!store)
        return kNotFound;
    if (!store->find_account(name))
        return no_such_account(ctx);
    std::fprintf(ctx.out, "forgot %lld devices of %s\n",
                 static_cast<long long>(store->forget_devices(name)), ctx.args[0].c_str());
    return kDone;
}

// A command's one optional flag: whether it was given; nothing (said on err) when
// another word was.
std::optional<bool> only_flag(Context& ctx, const char* flag) {
    if (ctx.args.empty())
        return false;
    if (ctx.args[0] == flag)
        return true;
    std::fprintf(ctx.err, "tarnix-server admin: %s takes only %s\n", ctx.command.c_str(), flag);
    return std::nullopt;
}

int accounts_list(Context& ctx) {
    const std::optional<bool> locked_only = only_flag(ctx, "--locked");
    if (!locked_only)
        return kUsage;
    Store* store = ctx.open();
    if (!store)
        return kNotFound;
    // One line each, tab-separated: name, created, e-mail, failures, locked until.
    const int64_t now = now_seconds();
    for (const AccountInfo& a : store->list_accounts(*locked_only, now))
        std::fprintf(ctx.out, "%s\t%s\t%s\t%lld\t%s\n", printable(a.name).c_str(),
                     utc_time_text(a.created).c_str(), printable(a.email).c_str(),
                     static_cast<long long>(a.failures),
                     a.locked_until > now ? utc_time_text(a.locked_until).c_str() : "-");
    return kDone;
}

// One store action on the named account, and the word that says it was done.
int on_account(Context& ctx, bool (Store::*action)(const std::string&), const char* done) {
    std::string name;
    if (!account_name(ctx, name))
        return kUsage;
    Store* store = ctx.open();
    if (!store)
        return kNotFound;
    if (!(store->*action)(name))
        return no_such_account(ctx);
    std::fprintf(ctx.out, "%s %s\n", done, ctx.args[0].c_str());
    return kDone;
}

int accounts_unlock(Context& ctx) {
    return on_account(ctx, &Store::unlock, "unlocked");
}

int accounts_delete(Context& ctx) {
    return on_account(ctx, &Store::delete_account, "deleted");
}

// A fresh recovery link, for support by phone: it ends the account's earlier links,
// is not counted against the hourly cap of mailed links, and is not mailed.
int accounts_reset_link(Context& ctx) {
    if (ctx.config.public_url.empty()) {
        std::fprintf(ctx.err, "tarnix-server admin: reset-link needs --public-url (the server's "
                              "own setting)\n");
        return kUsage;
    }
    std::string name;
    if (!account_name(ctx, name))
        return kUsage;
    Store* store = ctx.open();
    if (!store)
        return kNotFound;
    IssuedLink link = issue_reset_link(*store, name, now_seconds(), ctx.config.link_seconds, 0,
                                       [](const std::string&) { return true; });
    if (link.result != ResetIssue::Issued)
        return no_such_account(ctx);
    std::fprintf(ctx.out, "%s\n", reset_link_url(ctx.config.public_url, link.token).c_str());
    std::fprintf(ctx.err, "valid for %lld minutes, once; earlier links of %s no longer work\n",
                 static_cast<long long>((ctx.config.link_seconds + 59) / 60), ctx.args[0].c_str());
    return kDone;
}

int backup(Context& ctx) {
    if (is_postgres_uri(ctx.config.store.where)) {
        std::fprintf(ctx.err, "tarnix-server admin: the database is PostgreSQL: back it up with "
                              "pg_dump (or pg_basebackup)\n");
        return kUsage;
    }
    std::string error;
    if (!backup_sqlite(ctx.config.store.where, ctx.args[0], error)) {
        std::fprintf(ctx.err, "tarnix-server admin: backup failed: %s\n", error.c_str());
        return kNotFound;
    }
    std::fprintf(ctx.out, "backed up %s to %s (integrity check ok)\n",
                 ctx.config.store.where.c_str(), ctx.args[0].c_str());
    return kDone;
}

// Every password re-sealed under the current key (the servers run with the new key as
// secret-key-file and the old one as previous-secret-key-file meanwhile).
int rekey(Context& ctx) {
    if (!ctx.config.store.keys || !ctx.config.store.keys->encrypts()) {
        std::fprintf(ctx.err, "tarnix-server admin: rekey needs --secret-key-file (the new key) "
                              "and --previous-secret-key-file (the old ones)\n");
        return kUsage;
    }
    Store* store = ctx.open();
    if (!store)
        return kNotFound;
    const RekeyReport report = rekey_all(*store, 100, [&](const std::string& line) {
        std::fprintf(ctx.err, "tarnix-server admin: %s\n", line.c_str());
    });
    for (const std::string& name : report.unreadable)
        std::fprintf(ctx.err, "tarnix-server admin: %s: password opens under no given key\n",
                     printable(name).c_str());
    std::fprintf(ctx.out, "re-sealed %lld of %lld accounts under key %s; %lld not under it\n",
                 static_cast<long long>(report.resealed), static_cast<long long>(report.examined),
                 ctx.config.store.keys->current_id().c_str(), static_cast<long long>(report.left));
    return report.left == 0 ? kDone : kNotFound;
}

// What became of a queued mail, for mail list: when it is tried next; of an abandoned
// one, whether mail retry can put it back.
std::string mail_outlook(const MailInfo& m, int64_t now) {
    if (m.state == MailInfo::Queued) {
        if (m.sending_until > now)
            return "sending";
        return m.next_attempt <= now ? "now" : local_time_text(m.next_attempt);
    }
    if (m.expires <= now)
        return "expired";
    return m.text_kept ? "can retry" : "text not kept";
}

// One line each, tab-separated: id, kind, recipient, failed attempts, next attempt
// (or whether it can be retried), created, expires. Never the subject or body: a
// code mail's body holds the code.
int mail_list(Context& ctx) {
    const std::optional<bool> abandoned = only_flag(ctx, "--abandoned");
    if (!abandoned)
        return kUsage;
    Store* store = ctx.open();
    if (!store)
        return kNotFound;
    const int64_t now = now_seconds();
    for (const MailInfo& m : store->list_mails(*abandoned))
        std::fprintf(ctx.out, "%lld\t%s\t%s\t%d\t%s\t%s\t%s\n", static_cast<long long>(m.id),
                     m.kind.c_str(), m.recipient.c_str(), m.attempts, mail_outlook(m, now).c_str(),
                     local_time_text(m.created).c_str(), local_time_text(m.expires).c_str());
    return kDone;
}

// Why mail `id` was not put back.
int mail_not_retried(Context& ctx, Store& store, int64_t id) {
    const std::optional<MailInfo> m = store.find_mail(id);
    const long long n = static_cast<long long>(id);
    if (!m)
        std::fprintf(ctx.err, "tarnix-server admin: no mail %lld (finished mails are kept a day)\n",
                     n);
    else if (m->state == MailInfo::Queued)
        std::fprintf(ctx.err, "tarnix-server admin: mail %lld is still queued, not abandoned\n", n);
    else if (m->state == MailInfo::Sent)
        std::fprintf(ctx.err, "tarnix-server admin: mail %lld was sent\n", n);
    else if (m->expires <= now_seconds())
        // Its expiry is its code's: sent now it would carry a code that no longer works.
        std::fprintf(ctx.err,
                     "tarnix-server admin: mail %lld expired at %s: what it carries no longer "
                     "works, so it is not sent again (the user asks for a new one)\n",
                     n, local_time_text(m->expires).c_str());
    else
        std::fprintf(ctx.err,
                     "tarnix-server admin: mail %lld has no text to send (abandoned before its "
                     "text was kept): the user asks again\n",
                     n);
    return kNotFound;
}

// Abandoned mails back in the queue, due at once (a server sends them within its
// poll interval). Only those not yet expired: their expiry and attempts stay.
int mail_retry(Context& ctx) {
    const bool all = ctx.args[0] == "--abandoned";
    int64_t id = 0;
    if (!all && (!parse_integer(ctx.args[0], id) || id == 0)) {
        std::fprintf(ctx.err, "tarnix-server admin: mail retry takes a mail's id (from mail list "
                              "--abandoned) or --abandoned\n");
        return kUsage;
    }
    Store* store = ctx.open();
    if (!store)
        return kNotFound;
    const int64_t now = now_seconds();
    const int64_t put_back = store->requeue_abandoned_mail(id, now);
    if (!all) {
        if (put_back == 0)
            return mail_not_retried(ctx, *store, id);
        std::fprintf(ctx.out, "mail %lld is queued again, due now\n", static_cast<long long>(id));
        return kDone;
    }
    std::fprintf(ctx.out, "%lld abandoned mails queued again, due now\n",
                 static_cast<long long>(put_back));
    const size_t left = store->list_mails(true).size();
    if (left != 0)
        std::fprintf(ctx.err,
                     "tarnix-server admin: %zu abandoned mails left as they are: expired (what "
                     "they carry no longer works) or without their text\n",
                     left);
    return kDone;
}

// clang-format off
const Row kCommands[] = {
    {{"accounts", "show"}, "NAME", 1, 1, accounts_show},
    {{"accounts", "list"}, "[--locked]", 0, 1, accounts_list},
    {{"accounts", "unlock"}, "NAME", 1, 1, accounts_unlock, event::kAdmin},
    {{"accounts", "forget-devices"}, "NAME", 1, 1, accounts_forget_devices, event::kDevicesForgotten},
    {{"accounts", "delete"}, "NAME", 1, 1, accounts_delete, event::kAdmin},
    {{"accounts", "reset-link"}, "NAME", 1, 1, accounts_reset_link, event::kAdmin},
    {{"mail", "list"}, "[--abandoned]", 0, 1, mail_list},
    {{"mail", "retry"}, "ID|--abandoned", 1, 1, mail_retry, event::kAdmin},
    {{"backup", nullptr}, "DEST", 1, 1, backup, event::kAdmin},
    {{"rekey", nullptr}, "", 0, 0, rekey, event::kAdmin},
    {{"events", "list"}, "[--account NAME] [--since TIME]", 0, 4, events_list},
    {{"events", "verify"}, "", 0, 0, events_verify},
    {{"events", "prune"}, "", 0, 0, events_prune},
    {{"passwords", "audit"}, "[--notify]", 0, 1, passwords_audit, event::kAdmin},
    {{"rollout", "start"}, "VERSION --file PATH --signature PATH [--description TEXT] [--percent N]",
     5, 9, rollout_start, event::kAdmin},
    {{"rollout", "percent"}, "N", 1, 1, rollout_percent, event::kAdmin},
    {{"rollout", "pause"}, "", 0, 0, rollout_pause, event::kAdmin},
    {{"rollout", "resume"}, "", 0, 0, rollout_resume, event::kAdmin},
    {{"rollout", "pull"}, "", 0, 0, rollout_pull, event::kAdmin},
    {{"rollout", "finish"}, "", 0, 0, rollout_finish, event::kAdmin},
    {{"rollout", "status"}, "", 0, 0, rollout_status},
};
// clang-format on

// Keeps an action in the event record: its words, the account it named and how it
// ended; the operator's login as the client. Said on err when it cannot be kept.
void record_action(Context& ctx, const Row& row, int code) {
    if (ctx.config.event_key.empty())
        return;
    NewEvent e;
    e.at = now_seconds();
    e.kind = row.recorded;
    if (row.arguments == std::string("NAME"))
        e.account = utf8_to_gbk(ctx.args[0]).value_or(std::string());
    e.detail = ctx.command + (code == kDone ? ": done" : ": exit " + std::to_string(code));
    const passwd* user = getpwuid(geteuid());
    e.client = std::string("admin:") + (user ? user->pw_name : std::to_string(geteuid()));
    try {
        Store* store = ctx.store ? ctx.store.get() : ctx.open();
        if (store)
            store->append_events({e}, ctx.config.event_key, ctx.config.instance);
    } catch (const std::exception& ex) {
        std::fprintf(ctx.err, "tarnix-server admin: not kept in the event record: %s\n", ex.what());
    }
}

size_t word_count(const Row& row) {
    return row.words[1] ? 2 : 1;
}

} // namespace

std::string admin_usage() {
    std::string text;
    for (const Row& row : kCommands) {
        text += "  tarnix-server admin [--db DB] ";
        text += row.words[0];
        if (row.words[1])
            text += std::string(" ") + row.words[1];
        if (*row.arguments)
            text += std::string(" ") + row.arguments;
        text += "\n";
    }
    return text;
}

int run_admin(const AdminConfig& config, const std::vector<std::string>& words, std::FILE* out,
              std::FILE* err) {
    for (const Row& row : kCommands) {
        const size_t n = word_count(row);
        if (words.size() < n || words[0] != row.words[0] || (n == 2 && words[1] != row.words[1]))
            continue;
        Context ctx{config,
                    n == 2 ? words[0] + " " + words[1] : words[0],
                    std::vector<std::string>(words.begin() + n, words.end()),
                    out,
                    err,
                    nullptr};
        if (ctx.args.size() < row.min_args || ctx.args.size() > row.max_args)
            break;
        int code = kNotFound;
        try {
            code = row.run(ctx);
        } catch (const std::exception& e) {
            std::fprintf(err, "tarnix-server admin: %s\n", e.what());
        }
        if (row.recorded && code != kUsage)
            record_action(ctx, row, code);
        return code;
    }
    std::fprintf(err, "usage:\n%s", admin_usage().c_str());
    return kUsage;
}

} // namespace server
