#include "base/charset.h"
#include "store/store.h"

#include <libpq-fe.h>

#include <atomic>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <stdexcept>
#include <vector>

namespace server {
namespace {

// One parameter: bytes (names, passwords, addresses are GBK, kept exactly) or a number.
struct Param {
    std::string value;
    bool bytes;
};
Param bytes(const std::string& s) {
    return Param{s, true};
}
Param number(int64_t v) {
    return Param{std::to_string(v), false};
}

class Result {
public:
    explicit Result(PGresult* r) : r_(r) {}
    ~Result() { PQclear(r_); }
    Result(const Result&) = delete;
    Result& operator=(const Result&) = delete;
    int rows() const { return PQntuples(r_); }
    int64_t integer(int row, int col) const { return std::stoll(PQgetvalue(r_, row, col)); }
    std::string text(int row, int col) const { return PQgetvalue(r_, row, col); }
    // A bytea column, sent as text (hex) and turned back into its bytes.
    std::string blob(int row, int col) const {
        size_t n = 0;
        unsigned char* p =
            PQunescapeBytea(reinterpret_cast<const unsigned char*>(PQgetvalue(r_, row, col)), &n);
        if (!p)
            throw std::runtime_error("out of memory");
        std::string out(reinterpret_cast<char*>(p), n);
        PQfreemem(p);
        return out;
    }

private:
    PGresult* r_;
};

// Runs one statement; a failed one throws (and inside a transaction leaves it to
// be rolled back).
std::unique_ptr<Result> run(PGconn* c, const char* sql, const std::vector<Param>& params = {}) {
    std::vector<const char*> values;
    std::vector<int> lengths, formats;
    for (const Param& p : params) {
        values.push_back(p.value.data());
        lengths.push_back(static_cast<int>(p.value.size()));
        formats.push_back(p.bytes ? 1 : 0);
    }
    PGresult* r = PQexecParams(c, sql, static_cast<int>(params.size()), nullptr, values.data(),
                               lengths.data(), formats.data(), 0);
    ExecStatusType st = PQresultStatus(r);
    if (st != PGRES_COMMAND_OK && st != PGRES_TUPLES_OK) {
        std::string message = std::string(sql) + ": " + PQerrorMessage(c);
        PQclear(r);
        throw std::runtime_error(message);
    }
    return std::unique_ptr<Result>(new Result(r));
}

// Several statements without parameters.
void run_script(PGconn* c, const char* sql) {
    PGresult* r = PQexec(c, sql);
    if (PQresultStatus(r) != PGRES_COMMAND_OK) {
        std::string message = std::string("schema: ") + PQerrorMessage(c);
        PQclear(r);
        throw std::runtime_error(message);
    }
    PQclear(r);
}

// Rolled back unless committed.
class Transaction {
public:
    explicit Transaction(PGconn* c) : c_(c) { run(c_, "BEGIN"); }
    ~Transaction() {
        if (!done_)
            PQclear(PQexec(c_, "ROLLBACK"));
    }
    Transaction(const Transaction&) = delete;
    Transaction& operator=(const Transaction&) = delete;
    void commit() {
        run(c_, "COMMIT");
        done_ = true;
    }

private:
    PGconn* c_;
    bool done_ = false;
};

// Numbered schema steps; a database holds the number of the last one it had.
const char* const kMigrations[] = {
    // 1: accounts and the codes sent to addresses.
    "CREATE TABLE accounts ("
    " name BYTEA PRIMARY KEY,"
    " password BYTEA NOT NULL,"
    " email BYTEA NOT NULL,"
    " created BIGINT NOT NULL,"
    " failures INTEGER NOT NULL DEFAULT 0,"
    " locked_until BIGINT NOT NULL DEFAULT 0);"
    "CREATE TABLE codes ("
    " id BIGSERIAL PRIMARY KEY,"
    " email BYTEA NOT NULL,"
    " code TEXT NOT NULL,"
    " created BIGINT NOT NULL,"
    " attempts INTEGER NOT NULL DEFAULT 0);"
    "CREATE INDEX codes_by_email ON codes(email, created);",
    // 2: sign-in challenges, shared by every instance.
    "CREATE TABLE challenges ("
    " account BYTEA PRIMARY KEY,"
    " text BYTEA NOT NULL,"
    " expires BIGINT NOT NULL);"
    "CREATE INDEX challenges_by_expiry ON challenges(expires);",
    // 3: devices that signed in to an account, each with its own failure count; the
    // account's own failures and lock are those of clients it does not know.
    "CREATE TABLE devices ("
    " account BYTEA NOT NULL,"
    " id BYTEA NOT NULL,"
    " last_success BIGINT NOT NULL,"
    " failures INTEGER NOT NULL DEFAULT 0,"
    " locked_until BIGINT NOT NULL DEFAULT 0,"
    " seq BIGSERIAL,"
    " PRIMARY KEY (account, id));",
    // 4: passwords by their format and key (secrets.h): finds the plain-text rows and
    // the rows of a key without reading every row.
    "CREATE INDEX IF NOT EXISTS accounts_by_key ON accounts (substring(password from 1 for 9));",
    // 5: password recovery links: the token's hash, never the token (state 0 live,
    // 1 used, 2 replaced by a later link).
    "CREATE TABLE reset_links ("
    " hash BYTEA PRIMARY KEY,"
    " account BYTEA NOT NULL,"
    " created BIGINT NOT NULL,"
    " expires BIGINT NOT NULL,"
    " state INTEGER NOT NULL DEFAULT 0);"
    "CREATE INDEX reset_links_by_account ON reset_links(account, created);",
    // 6: the mail queue, shared by every instance; finished rows stay a day for the
    // per-address daily cap. (IF NOT EXISTS: a database put back to an older version
    // by hand may still hold it.)
    "CREATE TABLE IF NOT EXISTS mails ("
    " id BIGSERIAL PRIMARY KEY,"
    " kind TEXT NOT NULL,"
    " recipient BYTEA NOT NULL,"
    " subject BYTEA NOT NULL,"
    " body BYTEA NOT NULL,"
    " message_id TEXT NOT NULL,"
    " created BIGINT NOT NULL,"
    " expires BIGINT NOT NULL,"
    " state INTEGER NOT NULL DEFAULT 0," // 0 queued, 1 sent, 2 abandoned
    " attempts INTEGER NOT NULL DEFAULT 0,"
    " next_attempt BIGINT NOT NULL,"
    " lease_until BIGINT NOT NULL DEFAULT 0);"
    "CREATE INDEX IF NOT EXISTS mails_due ON mails(state, next_attempt);"
    "CREATE INDEX IF NOT EXISTS mails_by_recipient ON mails(recipient, kind, created);",
    // 7: the clean-ups that every code and reset request runs find the old rows by
    // their time instead of reading the whole table (a day of mails) each time.
    "CREATE INDEX IF NOT EXISTS codes_by_created ON codes(created);"
    "CREATE INDEX IF NOT EXISTS mails_by_created ON mails(created);"
    "CREATE INDEX IF NOT EXISTS reset_links_by_expiry ON reset_links(expires);",
    // 8: challenges per account and asker (store.h), several each. A table of its own:
    // instances of the version before, still running during a rolling upgrade, keep
    // their one-per-account table (and their answers "no challenge" to ours).
    "CREATE TABLE IF NOT EXISTS sign_in_challenges ("
    " id BIGSERIAL PRIMARY KEY,"
    " account BYTEA NOT NULL,"
    " asker BYTEA NOT NULL,"
    " text BYTEA NOT NULL,"
    " expires BIGINT NOT NULL);"
    "CREATE INDEX IF NOT EXISTS sign_in_challenges_by_asker ON sign_in_challenges(account, asker, "
    "id);"
    "CREATE INDEX IF NOT EXISTS sign_in_challenges_by_expiry ON sign_in_challenges(expires);",
    // 9: the daily cap counts an address's mails however its letters were written.
    // (IF NOT EXISTS, as in step 6.)
    "ALTER TABLE mails ADD COLUMN IF NOT EXISTS recipient_key BYTEA NOT NULL DEFAULT ''::bytea;"
    "UPDATE mails SET recipient_key = recipient;"
    "DROP INDEX IF EXISTS mails_by_recipient;"
    "CREATE INDEX IF NOT EXISTS mails_by_recipient_key ON mails(recipient_key, kind, created);",
};

// The expression of the accounts_by_key index (step 4), as the queries must spell it
// to use it.
#define KEY_HEADER "substring(password from 1 for 9)"

// The columns claim_mail reads, in this order.
const char kMailColumns[] =
    "id, kind, recipient, subject, body, message_id, created, expires, attempts";

// Any fixed number, the same in every instance: only one migrates at a time.
const char kMigrationLock[] = "SELECT pg_advisory_xact_lock(7420861)";

// Expired challenges of accounts that never came back are swept this often.
constexpr unsigned kSweepEvery = 256;

class PostgresStore final : public Store {
public:
    explicit PostgresStore(const StoreConfig& config)
        : lifetime_(config.challenge_seconds),
          keys_(config.keys ? config.keys : std::make_shared<const Keyring>()),
          notice_(config.notice) {}
    ~PostgresStore() override {
        for (PGconn* c : idle_)
            PQfinish(c);
    }
    PostgresStore(const PostgresStore&) = delete;
    PostgresStore& operator=(const PostgresStore&) = delete;

    bool connect(const std::string& uri, int pool_size, std::string& error) {
        for (int i = 0; i < pool_size; ++i) {
            PGconn* c = PQconnectdb(uri.c_str());
            if (PQstatus(c) != CONNECTION_OK) {
                error = PQerrorMessage(c);
                PQfinish(c);
                return false;
            }
            idle_.push_back(c);
        }
        return true;
    }

    // Read only, on a database of any schema version (or none), before migrate().
    PasswordSurvey survey() {
        Lease c(*this);
        PasswordSurvey out;
        if (run(c.get(), "SELECT 1 WHERE to_regclass('accounts') IS NOT NULL")->rows() == 0)
            return out;
        out.any_plain =
            run(c.get(), "SELECT 1 FROM accounts WHERE " KEY_HEADER " >= $1 LIMIT 1", {bytes(" ")})
                ->rows() != 0;
        out.any_sealed =
            run(c.get(),
                "SELECT 1 FROM accounts WHERE " KEY_HEADER " > $1 AND " KEY_HEADER " < $2 LIMIT 1",
                {bytes(""), bytes(" ")})
                ->rows() != 0;
        for (const std::string& header : keys_->headers()) {
            auto some = run(c.get(),
                            "SELECT name, password FROM accounts WHERE " KEY_HEADER " = $1 LIMIT 8",
                            {bytes(header)});
            for (int i = 0; i < some->rows() && !out.opened; ++i) {
                try {
                    keys_->open(some->blob(i, 0), some->blob(i, 1));
                    out.opened = true;
                } catch (const UnreadablePassword&) {
                }
            }
        }
        return out;
    }

    // A commit answered as done must be on the primary's disk: say so when the
    // database's settings do not promise it (nothing is refused).
    void check_durability() {
        if (!notice_)
            return;
        Lease c(*this);
        const std::string commit = run(c.get(), "SHOW synchronous_commit")->text(0, 0);
        if (commit != "on" && commit != "remote_apply")
            notice_("warning: the database runs with synchronous_commit=" + commit +
                    ": an answer such as 注册成功 may be given for a commit that a crash "
                    "of the database then loses (set synchronous_commit=on)");
        const std::string fsync = run(c.get(), "SHOW fsync")->text(0, 0);
        if (fsync != "on")
            notice_("warning: the database runs with fsync=" + fsync +
                    ": committed accounts and passwords may be lost in a power cut");
    }

    void migrate() {
        Lease c(*this);
        Transaction tx(c.get());
        run(c.get(), kMigrationLock);
        run(c.get(), "CREATE TABLE IF NOT EXISTS schema_version (version INTEGER NOT NULL)");
        const int64_t version =
            run(c.get(), "SELECT COALESCE(MAX(version), 0) FROM schema_version")->integer(0, 0);
        const int64_t latest = sizeof kMigrations / sizeof kMigrations[0];
        if (version > latest)
            throw std::runtime_error("the database was made by a newer server (schema version " +
                                     std::to_string(version) + ")");
        for (int64_t v = version; v < latest; ++v)
            run_script(c.get(), kMigrations[v]);
        if (version < latest) {
            run(c.get(), "DELETE FROM schema_version");
            run(c.get(), "INSERT INTO schema_version (version) VALUES ($1)", {number(latest)});
        }
        // Plain-text rows (from before a key was given) are sealed here, under the same
        // lock, so instances starting together seal them once.
        size_t sealed = 0;
        if (keys_->encrypts()) {
            auto plain =
                run(c.get(), "SELECT name, password FROM accounts WHERE " KEY_HEADER " >= $1",
                    {bytes(" ")});
            for (int i = 0; i < plain->rows(); ++i) {
                const std::string name = plain->blob(i, 0);
                run(c.get(), "UPDATE accounts SET password = $1 WHERE name = $2",
                    {bytes(keys_->seal(name, plain->blob(i, 1))), // the password itself
                     bytes(name)});
                ++sealed;
            }
        }
        tx.commit();
        if (sealed != 0) {
            // The old row versions go from the table's files (not from PostgreSQL's
            // WAL or from backups made before).
            run_script(c.get(), "VACUUM FULL accounts");
            if (notice_)
                notice_("sealed " + std::to_string(sealed) + " plain-text passwords under key " +
                        keys_->current_id() + "; table accounts rewritten (VACUUM FULL)");
        }
    }

    CheckResult check_password(const std::string& name, const Attempt& who, int64_t now,
                               const std::function<bool(const Secret&)>& matches,
                               const LockPolicy& policy) override {
        Lease c(*this);
        Transaction tx(c.get());
        CheckResult r = check_locked(c.get(), name, who, now, matches, policy);
        tx.commit();
        return r;
    }

    CheckResult change_password(const std::string& name, const Attempt& who,
                                const std::string& old_password, const std::string& new_password,
                                int64_t now, const LockPolicy& policy) override {
        Lease c(*this);
        Transaction tx(c.get());
        CheckResult r = check_locked(
            c.get(), name, who, now,
            [&](const Secret& stored) { return stored.equals(old_password); }, policy);
        if (r.verdict == Verdict::Ok)
            write_password(c.get(), name, new_password);
        tx.commit();
        return r;
    }

    ResetIssue issue_reset_link(const ResetLink& link,
                                const std::function<bool(const std::string&)>& email_matches,
                                std::string& email) override {
        Lease c(*this);
        Transaction tx(c.get());
        // The account's row stays locked, so two instances count its links one after
        // the other.
        auto account = run(c.get(), "SELECT email FROM accounts WHERE name = $1 FOR UPDATE",
                           {bytes(link.account)});
        if (account->rows() == 0 || !email_matches(account->blob(0, 0)))
            return ResetIssue::NoMatch;
        email = account->blob(0, 0);
        run(c.get(), "DELETE FROM reset_links WHERE expires < $1", {number(link.now - 86400)});
        if (link.per_window > 0 &&
            run(c.get(), "SELECT COUNT(*) FROM reset_links WHERE account = $1 AND created >= $2",
                {bytes(link.account), number(link.window_start)})
                    ->integer(0, 0) >= link.per_window) {
            tx.commit();
            return ResetIssue::TooMany;
        }
        run(c.get(), "UPDATE reset_links SET state = 2 WHERE account = $1 AND state = 0",
            {bytes(link.account)});
        run(c.get(),
            "INSERT INTO reset_links (hash, account, created, expires) VALUES ($1, $2, $3, $4)",
            {bytes(link.token_hash), bytes(link.account), number(link.now), number(link.expires)});
        tx.commit();
        return ResetIssue::Issued;
    }

    LinkUse find_reset_link(const std::string& token_hash, int64_t now) override {
        Lease c(*this);
        return find_link(c.get(), token_hash, now, false);
    }

    LinkUse reset_password(const std::string& token_hash, const std::string& new_password,
                           int64_t now) override {
        Lease c(*this);
        Transaction tx(c.get());
        // Locked to the end: of two uses of one link at once, the second finds it used.
        LinkUse use = find_link(c.get(), token_hash, now, true);
        if (use.state != LinkState::Live)
            return use;
        write_password(c.get(), use.account, new_password);
        run(c.get(), "UPDATE reset_links SET state = 1 WHERE hash = $1", {bytes(token_hash)});
        run(c.get(), "UPDATE accounts SET failures = 0, locked_until = 0 WHERE name = $1",
            {bytes(use.account)});
        run(c.get(), "UPDATE devices SET failures = 0, locked_until = 0 WHERE account = $1",
            {bytes(use.account)});
        run(c.get(), "DELETE FROM sign_in_challenges WHERE account = $1", {bytes(use.account)});
        tx.commit();
        return use;
    }

    std::vector<DeviceRecord> devices(const std::string& name) override {
        Lease c(*this);
        auto rows = run(c.get(),
                        "SELECT id, last_success, failures, locked_until FROM devices"
                        " WHERE account = $1 ORDER BY last_success DESC, seq DESC",
                        {bytes(name)});
        std::vector<DeviceRecord> out;
        for (int i = 0; i < rows->rows(); ++i)
            out.push_back(DeviceRecord{rows->blob(i, 0), rows->integer(i, 1), rows->integer(i, 2),
                                       rows->integer(i, 3)});
        return out;
    }

    int64_t forget_devices(const std::string& name) override {
        Lease c(*this);
        return run(c.get(), "DELETE FROM devices WHERE account = $1 RETURNING 1", {bytes(name)})
            ->rows();
    }

    bool unlock(const std::string& name) override {
        Lease c(*this);
        Transaction tx(c.get());
        if (run(c.get(),
                "UPDATE accounts SET failures = 0, locked_until = 0 WHERE name = $1 RETURNING 1",
                {bytes(name)})
                ->rows() == 0)
            return false;
        run(c.get(), "UPDATE devices SET failures = 0, locked_until = 0 WHERE account = $1",
            {bytes(name)});
        tx.commit();
        return true;
    }

    SignUp create_account(const std::string& name, const std::string& password,
                          const std::string& email, int64_t now, int64_t codes_since,
                          int attempts_per_code) override {
        const std::string key = fold_address_gbk(email);
        Lease c(*this);
        Transaction tx(c.get());
        // The code's row stays locked to the end, so its attempts count every try once.
        auto code = run(c.get(),
                        "SELECT id FROM codes WHERE email = $1 AND created >= $2 AND attempts < $3"
                        " ORDER BY created LIMIT 1 FOR UPDATE",
                        {bytes(key), number(codes_since), number(attempts_per_code)});
        if (code->rows() == 0)
            return SignUp::NoRecentCode;
        const int64_t id = code->integer(0, 0);
        // Of two instances creating one name, the second waits here and finds it taken.
        auto created =
            run(c.get(),
                "INSERT INTO accounts (name, password, email, created)"
                " VALUES ($1, $2, $3, $4) ON CONFLICT (name) DO NOTHING RETURNING 1",
                {bytes(name), bytes(keys_->seal(name, password)), bytes(email), number(now)});
        if (created->rows() == 0) {
            run(c.get(), "UPDATE codes SET attempts = attempts + 1 WHERE id = $1", {number(id)});
            tx.commit();
            return SignUp::Exists;
        }
        run(c.get(), "DELETE FROM codes WHERE email = $1", {bytes(key)});
        tx.commit();
        return SignUp::Created;
    }

    CodeIssue issue_code(const CodeRequest& request, OutgoingMail& mail,
                         const std::function<bool()>& deliver) override {
        Lease c(*this);
        Transaction tx(c.get());
        // Two instances sending to one address at once: the second waits, then sees
        // the first one's code and counts its mail.
        const std::string key = fold_address_gbk(request.email);
        run(c.get(), "SELECT pg_advisory_xact_lock(hashtext(encode($1, 'hex')))", {bytes(key)});
        run(c.get(), "DELETE FROM codes WHERE created < $1", {number(request.forget_before)});
        run(c.get(), "DELETE FROM mails WHERE state <> 0 AND created < $1",
            {number(request.day_since)});
        if (run(c.get(), "SELECT 1 FROM codes WHERE email = $1 AND created > $2 LIMIT 1",
                {bytes(key), number(request.not_after)})
                ->rows() != 0)
            return CodeIssue::TooSoon;
        if (request.per_day > 0 &&
            run(c.get(),
                "SELECT COUNT(*) FROM mails WHERE recipient_key = $1 AND kind = $2"
                " AND created > $3",
                {bytes(fold_address_utf8(mail.recipient)), Param{mail.kind, false},
                 number(request.day_since)})
                    ->integer(0, 0) >= request.per_day)
            return CodeIssue::DailyLimit;
        run(c.get(), "INSERT INTO codes (email, code, created) VALUES ($1, $2, $3)",
            {bytes(key), Param{request.code, false}, number(request.now)});
        mail.id = insert_mail(c.get(), mail, static_cast<bool>(deliver));
        if (deliver && !deliver())
            throw std::runtime_error("cannot hand the mail over");
        tx.commit();
        return CodeIssue::Issued;
    }

    int64_t enqueue_mail(const OutgoingMail& mail) override {
        Lease c(*this);
        return insert_mail(c.get(), mail, false);
    }

    bool claim_mail(int64_t now, int64_t lease_until, OutgoingMail& mail) override {
        Lease c(*this);
        for (;;) {
            // One statement: a row another sender is claiming is skipped, not waited
            // for, and once claimed its lease keeps it from everyone else.
            auto row =
                run(c.get(),
                    (std::string("UPDATE mails SET lease_until = $1 WHERE id = ("
                                 " SELECT id FROM mails WHERE state = 0 AND next_attempt <= $2"
                                 " AND lease_until <= $2 ORDER BY next_attempt, id LIMIT 1"
                                 " FOR UPDATE SKIP LOCKED) RETURNING ") +
                     kMailColumns)
                        .c_str(),
                    {number(lease_until), number(now)});
            if (row->rows() == 0)
                return false;
            mail = OutgoingMail();
            mail.id = row->integer(0, 0);
            mail.kind = row->text(0, 1);
            mail.recipient = row->blob(0, 2);
            mail.subject = row->blob(0, 3);
            mail.body = row->blob(0, 4);
            mail.message_id = row->text(0, 5);
            mail.created = row->integer(0, 6);
            mail.expires = row->integer(0, 7);
            mail.attempts = static_cast<int>(row->integer(0, 8));
            if (open_mail_text(mail, keys_, notice_))
                return true;
            run(c.get(), finish_mail_sql(MailEnd::Expired), {number(mail.id)});
        }
    }

    void retry_mail(int64_t id, int64_t next_attempt) override {
        Lease c(*this);
        run(c.get(),
            "UPDATE mails SET attempts = attempts + 1, next_attempt = $1, lease_until = 0"
            " WHERE id = $2",
            {number(next_attempt), number(id)});
    }

    void finish_mail(int64_t id, MailEnd end) override {
        Lease c(*this);
        run(c.get(), finish_mail_sql(end), {number(id)});
    }

    std::vector<MailInfo> list_mails(bool abandoned) override {
        Lease c(*this);
        auto rows =
            run(c.get(), (std::string(kMailInfoColumns) + " WHERE state = $1 ORDER BY id").c_str(),
                {number(abandoned ? MailInfo::Abandoned : MailInfo::Queued)});
        std::vector<MailInfo> out;
        for (int i = 0; i < rows->rows(); ++i)
            out.push_back(mail_info_from(*rows, i));
        return out;
    }

    std::optional<MailInfo> find_mail(int64_t id) override {
        Lease c(*this);
        auto row =
            run(c.get(), (std::string(kMailInfoColumns) + " WHERE id = $1").c_str(), {number(id)});
        if (row->rows() == 0)
            return std::nullopt;
        return mail_info_from(*row, 0);
    }

    int64_t requeue_abandoned_mail(int64_t id, int64_t now) override {
        Lease c(*this);
        return run(c.get(),
                   "UPDATE mails SET state = 0, next_attempt = $1, lease_until = 0"
                   " WHERE state = 2 AND expires > $1 AND length(body) > 0"
                   " AND ($2::bigint = 0 OR id = $2::bigint) RETURNING 1",
                   {number(now), number(id)})
            ->rows();
    }

    int64_t mail_queue_depth() override {
        Lease c(*this);
        return run(c.get(), "SELECT COUNT(*) FROM mails WHERE state = 0")->integer(0, 0);
    }

    int64_t next_mail_due() override {
        Lease c(*this);
        return run(c.get(), "SELECT COALESCE(MIN(GREATEST(next_attempt, lease_until)), 0)"
                            " FROM mails WHERE state = 0")
            ->integer(0, 0);
    }

    void put_challenge(const std::string& account, const std::string& asker,
                       const std::string& text, int64_t now) override {
        Lease c(*this);
        if (puts_.fetch_add(1) % kSweepEvery == 0)
            run(c.get(), "DELETE FROM sign_in_challenges WHERE expires <= $1", {number(now)});
        run(c.get(),
            "INSERT INTO sign_in_challenges (account, asker, text, expires) VALUES ($1, $2, $3, "
            "$4)",
            {bytes(account), bytes(asker), bytes(text), number(now + lifetime_)});
        // Two instances adding at once may each leave one over for a moment.
        run(c.get(),
            "DELETE FROM sign_in_challenges WHERE account = $1 AND asker = $2 AND id NOT IN"
            " (SELECT id FROM sign_in_challenges WHERE account = $1 AND asker = $2"
            "  ORDER BY id DESC LIMIT $3)",
            {bytes(account), bytes(asker), number(static_cast<int64_t>(kChallengesPerAsker))});
    }

    std::vector<std::string> take_challenges(const std::string& account, const std::string& asker,
                                             int64_t now) override {
        Lease c(*this);
        // One statement: of two takers, only one gets the rows.
        auto taken = run(c.get(),
                         "DELETE FROM sign_in_challenges WHERE account = $1 AND asker = $2"
                         " RETURNING text, expires",
                         {bytes(account), bytes(asker)});
        std::vector<std::string> live;
        for (int i = 0; i < taken->rows(); ++i) {
            if (taken->integer(i, 1) > now)
                live.push_back(taken->blob(i, 0));
        }
        return live;
    }

    int64_t account_count() override {
        Lease c(*this);
        return run(c.get(), "SELECT COUNT(*) FROM accounts")->integer(0, 0);
    }

    void ping() override {
        Lease c(*this);
        run(c.get(), "SELECT 1");
    }

    std::optional<AccountInfo> find_account(const std::string& name) override {
        Lease c(*this);
        auto row = run(c.get(), (std::string(kAccountColumns) + " WHERE name = $1").c_str(),
                       {bytes(name)});
        if (row->rows() == 0)
            return std::nullopt;
        return account_from(*row, 0);
    }

    std::vector<AccountInfo> list_accounts(bool locked_only, int64_t now) override {
        Lease c(*this);
        auto rows =
            locked_only
                ? run(c.get(),
                      (std::string(kAccountColumns) + " WHERE locked_until > $1 ORDER BY name")
                          .c_str(),
                      {number(now)})
                : run(c.get(), (std::string(kAccountColumns) + " ORDER BY name").c_str());
        std::vector<AccountInfo> out;
        for (int i = 0; i < rows->rows(); ++i)
            out.push_back(account_from(*rows, i));
        return out;
    }

    bool delete_account(const std::string& name) override {
        Lease c(*this);
        Transaction tx(c.get());
        run(c.get(), "DELETE FROM sign_in_challenges WHERE account = $1", {bytes(name)});
        run(c.get(), "DELETE FROM devices WHERE account = $1", {bytes(name)});
        run(c.get(), "DELETE FROM reset_links WHERE account = $1", {bytes(name)});
        const bool found =
            run(c.get(), "DELETE FROM accounts WHERE name = $1 RETURNING 1", {bytes(name)})
                ->rows() == 1;
        tx.commit();
        return found;
    }

    RekeyStep rekey_step(std::string& after, size_t limit) override {
        Lease c(*this);
        Transaction tx(c.get());
        const std::string current = keys_->current_header();
        // The rows stay locked to the commit, so a password change waits for it and is
        // then sealed under the current key by its own writer.
        auto rows = run(c.get(),
                        "SELECT name, password FROM accounts WHERE name > $1 ORDER BY name"
                        " LIMIT $2 FOR UPDATE",
                        {bytes(after), number(static_cast<int64_t>(limit))});
        RekeyStep step;
        std::string name = after; // moved on only once the step is committed
        for (int i = 0; i < rows->rows(); ++i) {
            ++step.examined;
            name = rows->blob(i, 0);
            const std::string stored = rows->blob(i, 1);
            if (!current.empty() && stored.compare(0, current.size(), current) == 0)
                continue;
            std::string sealed;
            try {
                sealed = keys_->seal(name, keys_->open(name, stored).view());
            } catch (const UnreadablePassword&) {
                step.unreadable.push_back(name);
                continue;
            }
            run(c.get(), "UPDATE accounts SET password = $1 WHERE name = $2",
                {bytes(sealed), bytes(name)});
            ++step.resealed;
        }
        tx.commit();
        after = name;
        return step;
    }

    int64_t count_not_under_current_key() override {
        Lease c(*this);
        return run(c.get(),
                   "SELECT COUNT(*) FROM accounts WHERE " KEY_HEADER " IS DISTINCT FROM $1",
                   {bytes(keys_->current_header())})
            ->integer(0, 0);
    }

    const Keyring& keys() const { return *keys_; }

private:
    // Every password write goes through here (a change and a reset alike).
    void write_password(PGconn* c, const std::string& name, const std::string& password) {
        run(c, "UPDATE accounts SET password = $1 WHERE name = $2",
            {bytes(keys_->seal(name, password)), bytes(name)});
    }

    static LinkUse find_link(PGconn* c, const std::string& token_hash, int64_t now,
                             bool for_update) {
        LinkUse use;
        auto row =
            run(c,
                for_update ? "SELECT l.account, l.expires, l.state, a.email FROM reset_links l"
                             " JOIN accounts a ON a.name = l.account WHERE l.hash = $1"
                             " FOR UPDATE"
                           : "SELECT l.account, l.expires, l.state, a.email FROM reset_links l"
                             " JOIN accounts a ON a.name = l.account WHERE l.hash = $1",
                {bytes(token_hash)});
        if (row->rows() == 0)
            return use;
        use.account = row->blob(0, 0);
        const int64_t state = row->integer(0, 2);
        use.state = state == 1                  ? LinkState::Used
                    : state == 2                ? LinkState::Replaced
                    : row->integer(0, 1) <= now ? LinkState::Expired
                                                : LinkState::Live;
        if (use.state == LinkState::Live)
            use.email = row->blob(0, 3);
        return use;
    }

    static constexpr char kAccountColumns[] =
        "SELECT name, email, created, failures, locked_until FROM accounts";

    static constexpr char kMailInfoColumns[] =
        "SELECT id, kind, recipient, state, attempts, next_attempt, lease_until, created, expires,"
        " CASE WHEN length(body) > 0 THEN 1 ELSE 0 END FROM mails";

    // A refused mail keeps its text until it expires, for an operator's retry.
    static const char* finish_mail_sql(MailEnd end) {
        switch (end) {
        case MailEnd::Sent:
            return "UPDATE mails SET state = 1, attempts = attempts + 1, subject = ''::bytea,"
                   " body = ''::bytea, lease_until = 0 WHERE id = $1";
        case MailEnd::Refused:
            return "UPDATE mails SET state = 2, attempts = attempts + 1, lease_until = 0"
                   " WHERE id = $1";
        case MailEnd::Expired:
            break;
        }
        return "UPDATE mails SET state = 2, subject = ''::bytea, body = ''::bytea, lease_until = 0"
               " WHERE id = $1";
    }

    static MailInfo mail_info_from(const Result& r, int row) {
        MailInfo m;
        m.id = r.integer(row, 0);
        m.kind = r.text(row, 1);
        m.recipient = r.blob(row, 2);
        m.state = static_cast<MailInfo::State>(r.integer(row, 3));
        m.attempts = static_cast<int>(r.integer(row, 4));
        m.next_attempt = r.integer(row, 5);
        m.sending_until = r.integer(row, 6);
        m.created = r.integer(row, 7);
        m.expires = r.integer(row, 8);
        m.text_kept = r.integer(row, 9) != 0;
        return m;
    }

    static AccountInfo account_from(const Result& r, int row) {
        AccountInfo a;
        a.name = r.blob(row, 0);
        a.email = r.blob(row, 1);
        a.created = r.integer(row, 2);
        a.failures = r.integer(row, 3);
        a.locked_until = r.integer(row, 4);
        return a;
    }

    // A connection of the pool for one operation; a broken one is reset on return.
    class Lease {
    public:
        explicit Lease(PostgresStore& store) : store_(store) {
            std::unique_lock<std::mutex> lock(store_.mutex_);
            store_.available_.wait(lock, [&] { return !store_.idle_.empty(); });
            c_ = store_.idle_.back();
            store_.idle_.pop_back();
        }
        ~Lease() {
            if (PQstatus(c_) != CONNECTION_OK)
                PQreset(c_);
            {
                std::lock_guard<std::mutex> lock(store_.mutex_);
                store_.idle_.push_back(c_);
            }
            store_.available_.notify_one();
        }
        Lease(const Lease&) = delete;
        Lease& operator=(const Lease&) = delete;
        PGconn* get() const { return c_; }

    private:
        PostgresStore& store_;
        PGconn* c_;
    };

    int64_t insert_mail(PGconn* c, const OutgoingMail& mail, bool sent) {
        // Abandoned mails past their expiry can never be sent again: their text goes.
        run(c,
            "UPDATE mails SET subject = ''::bytea, body = ''::bytea WHERE state = 2"
            " AND expires <= $1 AND length(body) > 0",
            {number(mail.created)});
        // A mail handed over at once keeps no subject or body.
        return run(c,
                   "INSERT INTO mails (kind, recipient, subject, body, message_id, created,"
                   " expires, state, next_attempt, recipient_key)"
                   " VALUES ($1, $2, $3, $4, $5, $6, $7, $8, $6, $9) RETURNING id",
                   {Param{mail.kind, false}, bytes(mail.recipient),
                    bytes(sent ? std::string()
                               : keys_->seal_mail_text(mail.message_id, mail.subject)),
                    bytes(sent ? std::string() : keys_->seal_mail_text(mail.message_id, mail.body)),
                    Param{mail.message_id, false}, number(mail.created), number(mail.expires),
                    number(sent ? 1 : 0), bytes(fold_address_utf8(mail.recipient))})
            ->integer(0, 0);
    }

    // The account's row stays locked to the end of the transaction, so failures at
    // two instances at once are both counted, on the account's counter and on its
    // devices' alike.
    CheckResult check_locked(PGconn* c, const std::string& name, const Attempt& who, int64_t now,
                             const std::function<bool(const Secret&)>& matches,
                             const LockPolicy& policy) {
        auto row = run(c,
                       "SELECT password, failures, locked_until FROM accounts WHERE name = $1"
                       " FOR UPDATE",
                       {bytes(name)});
        if (row->rows() == 0)
            return CheckResult();
        int64_t failures = row->integer(0, 1);
        int64_t locked_until = row->integer(0, 2);
        bool known = false;
        if (!who.device.empty()) {
            auto device = run(c,
                              "SELECT failures, locked_until FROM devices"
                              " WHERE account = $1 AND id = $2",
                              {bytes(name), bytes(who.device)});
            if (device->rows() != 0) {
                known = true;
                failures = device->integer(0, 0);
                locked_until = device->integer(0, 1);
            }
        }
        const int64_t failures_before = failures;
        const int64_t locked_before = locked_until;
        CheckResult r = judge_attempt(
            failures, locked_until, known, now,
            [&] { return matches(keys_->open(name, row->blob(0, 0))); }, policy);
        const bool changed = failures != failures_before || locked_until != locked_before;
        if (known && (r.verdict == Verdict::Ok || changed))
            run(c,
                "UPDATE devices SET failures = $1, locked_until = $2,"
                " last_success = CASE WHEN $3 THEN $4 ELSE last_success END"
                " WHERE account = $5 AND id = $6",
                {number(failures), number(locked_until),
                 Param{r.verdict == Verdict::Ok ? "true" : "false", false}, number(now),
                 bytes(name), bytes(who.device)});
        else if (!known && changed)
            run(c, "UPDATE accounts SET failures = $1, locked_until = $2 WHERE name = $3",
                {number(failures), number(locked_until), bytes(name)});
        if (r.verdict == Verdict::Ok && known) {
            r.device = who.device;
        } else if (r.verdict == Verdict::Ok && !who.new_device.empty()) {
            run(c, "INSERT INTO devices (account, id, last_success) VALUES ($1, $2, $3)",
                {bytes(name), bytes(who.new_device), number(now)});
            run(c,
                "DELETE FROM devices WHERE account = $1 AND id NOT IN"
                " (SELECT id FROM devices WHERE account = $1 ORDER BY last_success DESC,"
                "  seq DESC LIMIT $2)",
                {bytes(name), number(policy.max_devices)});
            r.device = who.new_device;
        }
        return r;
    }

    const int64_t lifetime_;
    const std::shared_ptr<const Keyring> keys_;
    const std::function<void(const std::string&)> notice_;
    std::mutex mutex_;
    std::condition_variable available_;
    std::vector<PGconn*> idle_;
    std::atomic<unsigned> puts_{0};
};

} // namespace

std::string database_transport_warning(const std::string& uri) {
    PQconninfoOption* options = PQconninfoParse(uri.c_str(), nullptr);
    if (!options)
        return std::string(); // not a URI libpq takes: the connection reports that
    std::string hosts, sslmode;
    for (PQconninfoOption* o = options; o->keyword; ++o) {
        if (o->val &&
            (std::strcmp(o->keyword, "host") == 0 || std::strcmp(o->keyword, "hostaddr") == 0))
            hosts += std::string(hosts.empty() ? "" : ",") + o->val;
        else if (o->val && std::strcmp(o->keyword, "sslmode") == 0)
            sslmode = o->val;
    }
    PQconninfoFree(options);
    if (sslmode == "verify-full")
        return std::string();
    std::string remote;
    for (size_t start = 0; start <= hosts.size();) {
        size_t comma = hosts.find(',', start);
        if (comma == std::string::npos)
            comma = hosts.size();
        const std::string host = hosts.substr(start, comma - start);
        const bool local = host.empty() || host[0] == '/' || host[0] == '@' ||
                           host == "localhost" || host == "::1" || host.rfind("127.", 0) == 0;
        if (!local && remote.empty())
            remote = host;
        start = comma + 1;
    }
    if (remote.empty())
        return std::string();
    return "warning: the database at " + remote +
           " is reached without sslmode=verify-full: what the server stores and reads"
           " crosses the network unverified (add ?sslmode=verify-full&sslrootcert=FILE)";
}

std::unique_ptr<Store> open_postgres_store(const StoreConfig& config, std::string& error) {
    const std::string warning = database_transport_warning(config.where);
    if (!warning.empty() && config.notice)
        config.notice(warning);
    std::unique_ptr<PostgresStore> store(new PostgresStore(config));
    if (!store->connect(config.where, config.pool_size < 1 ? 1 : config.pool_size, error))
        return nullptr;
    try {
        // Read before anything is written: a refused database is left as it was.
        error = key_mismatch(store->survey(), store->keys());
        if (!error.empty())
            return nullptr;
        store->migrate();
        store->check_durability();
    } catch (const std::exception& e) {
        error = e.what();
        return nullptr;
    }
    return store;
}

} // namespace server
