// The store's body, second half: verification codes and sign-ups, the mail queue,
// recovery links and sign-in challenges.
#include "store/sql_store.h"

#include "base/charset.h"
#include "base/policy.h"

#include <algorithm>
#include <stdexcept>
#include <utility>

namespace server {

using sql::bytes;
using sql::integer;
using sql::text;

namespace {

// A recovery link's states in reset_links.state.
enum LinkRow : int64_t { kLinkLive = 0, kLinkUsed = 1, kLinkReplaced = 2 };

// Texts that differ between the dialects, SQLite's first (see sql_store.cpp). A code's
// row is SQLite's rowid; PostgreSQL serializes two instances sending to one address
// with an advisory lock, and a sender skips a mail another one is claiming.
const char* const kCodeForSignUp[2] = {
    "SELECT rowid FROM codes WHERE email = ? AND created >= ? AND attempts < ?"
    " ORDER BY created LIMIT 1",
    "SELECT id FROM codes WHERE email = ? AND created >= ? AND attempts < ?"
    " ORDER BY created LIMIT 1 FOR UPDATE"};
const char* const kCodeAttempted[2] = {"UPDATE codes SET attempts = attempts + 1 WHERE rowid = ?",
                                       "UPDATE codes SET attempts = attempts + 1 WHERE id = ?"};
const char* const kAddressLock[2] = {nullptr,
                                     "SELECT pg_advisory_xact_lock(hashtext(encode(?, 'hex')))"};
const char* const kClaimMail[2] = {
    "UPDATE mails SET lease_until = ? WHERE id = (SELECT id FROM mails WHERE state = 0"
    " AND next_attempt <= ? AND lease_until <= ? ORDER BY next_attempt, id LIMIT 1)"
    " RETURNING id, kind, recipient, subject, body, message_id, created, expires, attempts",
    "UPDATE mails SET lease_until = ? WHERE id = (SELECT id FROM mails WHERE state = 0"
    " AND next_attempt <= ? AND lease_until <= ? ORDER BY next_attempt, id LIMIT 1"
    " FOR UPDATE SKIP LOCKED)"
    " RETURNING id, kind, recipient, subject, body, message_id, created, expires, attempts"};
const char* const kNextDue[2] = {
    "SELECT COALESCE(MIN(MAX(next_attempt, lease_until)), 0) FROM mails WHERE state = 0",
    "SELECT COALESCE(MIN(GREATEST(next_attempt, lease_until)), 0) FROM mails WHERE state = 0"};
const char* const kAccountEmail[2] = {"SELECT email FROM accounts WHERE name = ?",
                                      "SELECT email FROM accounts WHERE name = ? FOR UPDATE"};
const char* const kFindLink[2] = {
    "SELECT l.account, l.expires, l.state, a.email FROM reset_links l"
    " JOIN accounts a ON a.name = l.account WHERE l.hash = ?",
    "SELECT l.account, l.expires, l.state, a.email FROM reset_links l"
    " JOIN accounts a ON a.name = l.account WHERE l.hash = ? FOR UPDATE"};

// The mail columns an operator may see (never the subject or body).
const char kMailInfoById[] =
    "SELECT id, kind, recipient, state, attempts, next_attempt, lease_until, created, expires,"
    " CASE WHEN length(body) > 0 THEN 1 ELSE 0 END FROM mails WHERE id = ?";
const char kMailInfoByState[] =
    "SELECT id, kind, recipient, state, attempts, next_attempt, lease_until, created, expires,"
    " CASE WHEN length(body) > 0 THEN 1 ELSE 0 END FROM mails WHERE state = ? ORDER BY id";

MailInfo mail_info_from(SqlRows& row) {
    MailInfo m;
    m.id = row.integer(0);
    m.kind = row.text(1);
    m.recipient = row.bytes(2);
    m.state = static_cast<MailInfo::State>(row.integer(3));
    m.attempts = static_cast<int>(row.integer(4));
    m.next_attempt = row.integer(5);
    m.sending_until = row.integer(6);
    m.created = row.integer(7);
    m.expires = row.integer(8);
    m.text_kept = row.integer(9) != 0;
    return m;
}

} // namespace

// Codes are kept by the address with its letters folded (the interval and the daily
// cap hold however it is written); the account keeps the address as it was given.
SignUp SqlStore::create_account(const std::string& name, const std::string& password,
                                const std::string& email, int64_t now, int64_t codes_since,
                                int attempts_per_code) {
    const std::string key = fold_address_gbk(email);
    SqlLease c = db_->lease();
    SqlTransaction tx(*c);
    // The code's row stays locked to the end, so its attempts count every try once.
    int64_t code = 0;
    {
        auto row = c->query(pick(kCodeForSignUp),
                            {bytes(key), integer(codes_since), integer(attempts_per_code)});
        if (!row->next())
            return SignUp::NoRecentCode;
        code = row->integer(0);
    }
    // Of two instances creating one name, the second waits here and finds it taken.
    if (c->exec("INSERT INTO accounts (name, password, email, created) VALUES (?, ?, ?, ?)"
                " ON CONFLICT (name) DO NOTHING",
                {bytes(name), bytes(keys_->seal(name, password)), bytes(email), integer(now)}) ==
        0) {
        c->exec(pick(kCodeAttempted), {integer(code)});
        tx.commit();
        return SignUp::Exists;
    }
    c->exec("DELETE FROM codes WHERE email = ?", {bytes(key)});
    tx.commit();
    return SignUp::Created;
}

CodeIssue SqlStore::issue_code(const CodeRequest& request, OutgoingMail& mail,
                               const std::function<bool()>& deliver) {
    const std::string key = fold_address_gbk(request.email);
    SqlLease c = db_->lease();
    SqlTransaction tx(*c);
    // Two instances sending to one address at once: the second waits, then sees the
    // first one's code and counts its mail.
    if (const char* lock = pick(kAddressLock))
        c->exec(lock, {bytes(key)});
    c->exec("DELETE FROM codes WHERE created < ?", {integer(request.forget_before)});
    c->exec("DELETE FROM mails WHERE state <> 0 AND created < ?", {integer(request.day_since)});
    if (c->query("SELECT 1 FROM codes WHERE email = ? AND created > ? LIMIT 1",
                 {bytes(key), integer(request.not_after)})
            ->next())
        return CodeIssue::TooSoon;
    if (request.per_day > 0) {
        auto today = c->query("SELECT COUNT(*) FROM mails WHERE recipient_key = ? AND kind = ?"
                              " AND created > ?",
                              {bytes(fold_address_utf8(mail.recipient)), text(mail.kind),
                               integer(request.day_since)});
        if (today->next() && today->integer(0) >= request.per_day)
            return CodeIssue::DailyLimit;
    }
    c->exec("INSERT INTO codes (email, code, created) VALUES (?, ?, ?)",
            {bytes(key), text(request.code), integer(request.now)});
    mail.id = insert_mail(*c, mail, static_cast<bool>(deliver));
    if (deliver && !deliver())
        throw std::runtime_error("cannot hand the mail over");
    tx.commit();
    return CodeIssue::Issued;
}

// A mail handed over at once keeps no subject or body; a queued one keeps them sealed
// (they may carry a live code or link).
int64_t SqlStore::insert_mail(SqlConnection& c, const OutgoingMail& mail, bool sent) {
    // Abandoned mails past their expiry can never be sent again: their text goes.
    c.exec("UPDATE mails SET subject = ?, body = ? WHERE state = 2 AND expires <= ?"
           " AND length(body) > 0",
           {bytes(""), bytes(""), integer(mail.created)});
    auto id = c.query(
        "INSERT INTO mails (kind, recipient, subject, body, message_id, created, expires, state,"
        " next_attempt, recipient_key) VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?, ?) RETURNING id",
        {text(mail.kind), bytes(mail.recipient),
         bytes(sent ? std::string() : keys_->seal_mail_text(mail.message_id, mail.subject)),
         bytes(sent ? std::string() : keys_->seal_mail_text(mail.message_id, mail.body)),
         text(mail.message_id), integer(mail.created), integer(mail.expires),
         integer(sent ? MailInfo::Sent : MailInfo::Queued), integer(mail.created),
         bytes(fold_address_utf8(mail.recipient))});
    if (!id->next())
        throw std::runtime_error("the mail was not stored");
    const int64_t out = id->integer(0);
    while (id->next()) {
    }
    return out;
}

int64_t SqlStore::enqueue_mail(const OutgoingMail& mail) {
    SqlLease c = db_->lease();
    SqlTransaction tx(*c);
    const int64_t id = insert_mail(*c, mail, false);
    tx.commit();
    return id;
}

// One statement claims it: once claimed, its lease keeps it from every other sender.
bool SqlStore::claim_mail(int64_t now, int64_t lease_until, OutgoingMail& mail) {
    SqlLease c = db_->lease();
    for (;;) {
        {
            auto row =
                c->query(pick(kClaimMail), {integer(lease_until), integer(now), integer(now)});
            if (!row->next())
                return false;
            mail = OutgoingMail();
            mail.id = row->integer(0);
            mail.kind = row->text(1);
            mail.recipient = row->bytes(2);
            mail.subject = row->bytes(3);
            mail.body = row->bytes(4);
            mail.message_id = row->text(5);
            mail.created = row->integer(6);
            mail.expires = row->integer(7);
            mail.attempts = static_cast<int>(row->integer(8));
            while (row->next()) {
            }
        }
        if (open_mail_text(mail, keys_, notice_))
            return true;
        finish_mail(*c, mail.id, MailEnd::Expired);
    }
}

void SqlStore::retry_mail(int64_t id, int64_t next_attempt) {
    SqlLease c = db_->lease();
    c->exec("UPDATE mails SET attempts = attempts + 1, next_attempt = ?, lease_until = 0"
            " WHERE id = ?",
            {integer(next_attempt), integer(id)});
}

// A refused mail keeps its text until it expires, for an operator's retry.
void SqlStore::finish_mail(SqlConnection& c, int64_t id, MailEnd end) {
    switch (end) {
    case MailEnd::Sent:
        c.exec("UPDATE mails SET state = ?, attempts = attempts + 1, subject = ?, body = ?,"
               " lease_until = 0 WHERE id = ?",
               {integer(MailInfo::Sent), bytes(""), bytes(""), integer(id)});
        return;
    case MailEnd::Refused:
        c.exec("UPDATE mails SET state = ?, attempts = attempts + 1, lease_until = 0 WHERE id = ?",
               {integer(MailInfo::Abandoned), integer(id)});
        return;
    case MailEnd::Expired:
        c.exec("UPDATE mails SET state = ?, subject = ?, body = ?, lease_until = 0 WHERE id = ?",
               {integer(MailInfo::Abandoned), bytes(""), bytes(""), integer(id)});
        return;
    }
}

void SqlStore::finish_mail(int64_t id, MailEnd end) {
    SqlLease c = db_->lease();
    finish_mail(*c, id, end);
}

std::vector<MailInfo> SqlStore::list_mails(bool abandoned) {
    SqlLease c = db_->lease();
    auto rows =
        c->query(kMailInfoByState, {integer(abandoned ? MailInfo::Abandoned : MailInfo::Queued)});
    std::vector<MailInfo> out;
    while (rows->next())
        out.push_back(mail_info_from(*rows));
    return out;
}

std::optional<MailInfo> SqlStore::find_mail(int64_t id) {
    SqlLease c = db_->lease();
    auto row = c->query(kMailInfoById, {integer(id)});
    if (!row->next())
        return std::nullopt;
    return mail_info_from(*row);
}

int64_t SqlStore::requeue_abandoned_mail(int64_t id, int64_t now) {
    SqlLease c = db_->lease();
    return c->exec("UPDATE mails SET state = ?, next_attempt = ?, lease_until = 0"
                   " WHERE state = ? AND expires > ? AND length(body) > 0"
                   " AND (CAST(? AS BIGINT) = 0 OR id = ?)",
                   {integer(MailInfo::Queued), integer(now), integer(MailInfo::Abandoned),
                    integer(now), integer(id), integer(id)});
}

int64_t SqlStore::mail_queue_depth() {
    SqlLease c = db_->lease();
    auto rows = c->query("SELECT COUNT(*) FROM mails WHERE state = ?", {integer(MailInfo::Queued)});
    return rows->next() ? rows->integer(0) : 0;
}

int64_t SqlStore::next_mail_due() {
    SqlLease c = db_->lease();
    auto rows = c->query(pick(kNextDue));
    return rows->next() ? rows->integer(0) : 0;
}

// The account's row stays locked (PostgreSQL), so two instances count its links one
// after the other.
ResetIssue SqlStore::issue_reset_link(const ResetLink& link,
                                      const std::function<bool(const std::string&)>& email_matches,
                                      std::string& email) {
    SqlLease c = db_->lease();
    SqlTransaction tx(*c);
    {
        auto account = c->query(pick(kAccountEmail), {bytes(link.account)});
        if (!account->next())
            return ResetIssue::NoMatch;
        email = account->bytes(0);
    }
    if (!email_matches(email)) {
        email.clear();
        return ResetIssue::NoMatch;
    }
    // Links past their expiry by a day are forgotten.
    c->exec("DELETE FROM reset_links WHERE expires < ?", {integer(link.now - kDaySeconds)});
    if (link.per_window > 0) {
        auto recent =
            c->query("SELECT COUNT(*) FROM reset_links WHERE account = ? AND created >= ?",
                     {bytes(link.account), integer(link.window_start)});
        if (recent->next() && recent->integer(0) >= link.per_window) {
            recent.reset();
            tx.commit();
            return ResetIssue::TooMany;
        }
    }
    c->exec("UPDATE reset_links SET state = ? WHERE account = ? AND state = ?",
            {integer(kLinkReplaced), bytes(link.account), integer(kLinkLive)});
    c->exec(
        "INSERT INTO reset_links (hash, account, created, expires) VALUES (?, ?, ?, ?)",
        {bytes(link.token_hash), bytes(link.account), integer(link.now), integer(link.expires)});
    tx.commit();
    return ResetIssue::Issued;
}

LinkUse SqlStore::find_link(SqlConnection& c, const std::string& token_hash, int64_t now,
                            bool for_update) {
    LinkUse use;
    auto row = c.query(for_update ? pick(kFindLink) : kFindLink[0], {bytes(token_hash)});
    if (!row->next())
        return use;
    use.account = row->bytes(0);
    const int64_t state = row->integer(2);
    use.state = state == kLinkUsed       ? LinkState::Used
                : state == kLinkReplaced ? LinkState::Replaced
                : row->integer(1) <= now ? LinkState::Expired
                                         : LinkState::Live;
    if (use.state == LinkState::Live)
        use.email = row->bytes(3);
    return use;
}

LinkUse SqlStore::find_reset_link(const std::string& token_hash, int64_t now) {
    SqlLease c = db_->lease();
    return find_link(*c, token_hash, now, false);
}

// Locked to the end: of two uses of one link at once, the second finds it used.
LinkUse SqlStore::reset_password(const std::string& token_hash, const std::string& new_password,
                                 int64_t now) {
    SqlLease c = db_->lease();
    SqlTransaction tx(*c);
    LinkUse use = find_link(*c, token_hash, now, true);
    if (use.state != LinkState::Live)
        return use;
    write_password(*c, use.account, new_password);
    c->exec("UPDATE reset_links SET state = ? WHERE hash = ?",
            {integer(kLinkUsed), bytes(token_hash)});
    c->exec("UPDATE accounts SET failures = 0, locked_until = 0 WHERE name = ?",
            {bytes(use.account)});
    c->exec("UPDATE devices SET failures = 0, locked_until = 0 WHERE account = ?",
            {bytes(use.account)});
    drop_challenges(*c, use.account);
    tx.commit();
    return use;
}

void SqlStore::put_challenge(const std::string& account, const std::string& asker,
                             const std::string& text_, int64_t now) {
    if (memory_challenges_) {
        memory_challenges_->put(account, asker, text_, now);
        return;
    }
    SqlLease c = db_->lease();
    // Expired challenges of accounts that never came back are swept now and then.
    constexpr unsigned kSweepEvery = 256;
    if (puts_.fetch_add(1) % kSweepEvery == 0)
        c->exec("DELETE FROM sign_in_challenges WHERE expires <= ?", {integer(now)});
    // A plain insert: the bound per asker is applied when the challenges are taken,
    // and the table is bounded by the challenges' lifetime and the request budgets.
    c->exec("INSERT INTO sign_in_challenges (account, asker, text, expires) VALUES (?, ?, ?, ?)",
            {bytes(account), bytes(asker), bytes(text_), integer(now + lifetime_)});
}

std::vector<std::string> SqlStore::take_challenges(const std::string& account,
                                                   const std::string& asker, int64_t now) {
    if (memory_challenges_)
        return memory_challenges_->take(account, asker, now);
    SqlLease c = db_->lease();
    // One statement: of two takers, only one gets the rows.
    auto taken = c->query("DELETE FROM sign_in_challenges WHERE account = ? AND asker = ?"
                          " RETURNING id, text, expires",
                          {bytes(account), bytes(asker)});
    std::vector<std::pair<int64_t, std::string>> live;
    while (taken->next()) {
        if (taken->integer(2) > now)
            live.emplace_back(taken->integer(0), taken->bytes(1));
    }
    // The asker's newest kChallengesPerAsker count; older ones went with the rest.
    std::sort(live.begin(), live.end(),
              [](const auto& a, const auto& b) { return a.first > b.first; });
    if (live.size() > kChallengesPerAsker)
        live.resize(kChallengesPerAsker);
    std::vector<std::string> out;
    for (auto& entry : live)
        out.push_back(std::move(entry.second));
    return out;
}

void SqlStore::drop_challenges(SqlConnection& c, const std::string& account) {
    if (memory_challenges_)
        memory_challenges_->drop(account);
    else
        c.exec("DELETE FROM sign_in_challenges WHERE account = ?", {bytes(account)});
}

} // namespace server
