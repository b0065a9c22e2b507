#include "store/challenges.h"
#include "base/charset.h"
#include "store/store.h"

#include <sqlite3.h>

#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <functional>
#include <map>
#include <mutex>
#include <stdexcept>
#include <string_view>
#include <thread>
#include <utility>
#include <vector>

#ifndef _WIN32
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace server {
namespace {

// The last of the numbered steps in SqliteStore::migrate.
constexpr int64_t kSchemaVersion = 8;

[[noreturn]] void fail(sqlite3* db, const char* what) {
    throw std::runtime_error(std::string(what) + ": " + sqlite3_errmsg(db));
}

// A connection's prepared statements, kept by their text once used: parsing the SQL of
// every statement anew was two thirds of a sign-in's work in the store. Used under the
// connection's lock; a statement in use is never handed out twice.
class StatementCache {
public:
    explicit StatementCache(sqlite3* db) : db_(db) {}
    ~StatementCache() { clear(); }
    StatementCache(const StatementCache&) = delete;
    StatementCache& operator=(const StatementCache&) = delete;

    sqlite3* db() const { return db_; }
    sqlite3_stmt* take(const char* sql) {
        auto it = idle_.find(std::string_view(sql));
        if (it != idle_.end() && !it->second.empty()) {
            sqlite3_stmt* stmt = it->second.back();
            it->second.pop_back();
            return stmt;
        }
        sqlite3_stmt* stmt = nullptr;
        if (sqlite3_prepare_v3(db_, sql, -1, SQLITE_PREPARE_PERSISTENT, &stmt, nullptr) !=
            SQLITE_OK) {
            sqlite3_finalize(stmt);
            fail(db_, "prepare");
        }
        return stmt;
    }
    // Reset and unbound, ready for its next use; past the bounds it is finalized.
    void give_back(sqlite3_stmt* stmt) {
        sqlite3_reset(stmt);
        sqlite3_clear_bindings(stmt);
        const char* sql = sqlite3_sql(stmt);
        auto it = idle_.find(std::string_view(sql));
        if (it == idle_.end() && idle_.size() < kMaxTexts)
            it = idle_.emplace(std::string(sql), std::vector<sqlite3_stmt*>()).first;
        if (it == idle_.end() || it->second.size() >= kMaxIdlePerText) {
            sqlite3_finalize(stmt);
            return;
        }
        it->second.push_back(stmt);
    }
    // Before the connection is closed: a connection with statements left cannot be.
    void clear() {
        for (auto& entry : idle_) {
            for (sqlite3_stmt* stmt : entry.second)
                sqlite3_finalize(stmt);
        }
        idle_.clear();
    }

private:
    static constexpr size_t kMaxTexts = 128;
    static constexpr size_t kMaxIdlePerText = 2;
    sqlite3* db_;
    std::map<std::string, std::vector<sqlite3_stmt*>, std::less<>> idle_;
};

// One prepared statement; texts are bound as BLOBs so GBK bytes are kept exactly.
class Statement {
public:
    Statement(sqlite3* db, const char* sql) : db_(db) {
        if (sqlite3_prepare_v2(db, sql, -1, &stmt_, nullptr) != SQLITE_OK) {
            sqlite3_finalize(stmt_);
            fail(db, "prepare");
        }
    }
    Statement(StatementCache& cache, const char* sql)
        : db_(cache.db()), stmt_(cache.take(sql)), cache_(&cache) {}
    ~Statement() {
        if (cache_)
            cache_->give_back(stmt_);
        else
            sqlite3_finalize(stmt_);
    }
    Statement(const Statement&) = delete;
    Statement& operator=(const Statement&) = delete;

    Statement& bind(int i, const std::string& s) {
        if (sqlite3_bind_blob(stmt_, i, s.data(), static_cast<int>(s.size()), SQLITE_TRANSIENT) !=
            SQLITE_OK)
            fail(db_, "bind");
        return *this;
    }
    Statement& bind(int i, int64_t v) {
        if (sqlite3_bind_int64(stmt_, i, v) != SQLITE_OK)
            fail(db_, "bind");
        return *this;
    }
    // True while there is a row.
    bool step() {
        int rc = sqlite3_step(stmt_);
        if (rc == SQLITE_ROW)
            return true;
        if (rc == SQLITE_DONE)
            return false;
        fail(db_, "step");
    }
    std::string text(int col) { return std::string(view(col)); }
    // The column's bytes as SQLite holds them, good until the next step.
    std::string_view view(int col) {
        const void* p = sqlite3_column_blob(stmt_, col);
        int n = sqlite3_column_bytes(stmt_, col);
        return p ? std::string_view(static_cast<const char*>(p), static_cast<size_t>(n))
                 : std::string_view();
    }
    int64_t integer(int col) { return sqlite3_column_int64(stmt_, col); }

private:
    sqlite3* db_;
    sqlite3_stmt* stmt_ = nullptr;
    StatementCache* cache_ = nullptr;
};

// BEGIN IMMEDIATE takes the write lock at once, so two writers never both read
// and then collide on the upgrade; rolled back unless committed.
class Transaction {
public:
    explicit Transaction(sqlite3* db) : db_(db) {
        if (sqlite3_exec(db, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr) != SQLITE_OK)
            fail(db, "begin");
    }
    ~Transaction() {
        if (!done_)
            sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr);
    }
    Transaction(const Transaction&) = delete;
    Transaction& operator=(const Transaction&) = delete;
    void commit() {
        if (sqlite3_exec(db_, "COMMIT", nullptr, nullptr, nullptr) != SQLITE_OK)
            fail(db_, "commit");
        done_ = true;
    }

private:
    sqlite3* db_;
    bool done_ = false;
};

// Accounts and codes in one SQLite file, used by this process alone: one lock
// around each operation, and challenges in memory.
class SqliteStore final : public Store {
public:
    SqliteStore(sqlite3* db, const StoreConfig& config)
        : db_(db), keys_(config.keys ? config.keys : std::make_shared<const Keyring>()),
          notice_(config.notice),
          challenges_(config.max_challenges, kChallengesPerAsker, config.challenge_seconds) {}
    ~SqliteStore() override {
        statements_.clear();
        sqlite3_close(db_);
        sqlite3_close(ping_db_);
    }
    SqliteStore(const SqliteStore&) = delete;
    SqliteStore& operator=(const SqliteStore&) = delete;

    // Checks the keys against the file, upgrades its schema and seals plain-text
    // passwords; why the file cannot be served, or "".
    std::string start();
    CheckResult check_password(const std::string& name, const Attempt& who, int64_t now,
                               const std::function<bool(const Secret&)>& matches,
                               const LockPolicy& policy) override;
    CheckResult change_password(const std::string& name, const Attempt& who,
                                const std::string& old_password, const std::string& new_password,
                                int64_t now, const LockPolicy& policy) override;
    std::vector<DeviceRecord> devices(const std::string& name) override;
    int64_t forget_devices(const std::string& name) override;
    bool unlock(const std::string& name) override;
    SignUp create_account(const std::string& name, const std::string& password,
                          const std::string& email, int64_t now, int64_t codes_since,
                          int attempts_per_code) override;
    CodeIssue issue_code(const CodeRequest& request, OutgoingMail& mail,
                         const std::function<bool()>& deliver) override;
    int64_t enqueue_mail(const OutgoingMail& mail) override;
    bool claim_mail(int64_t now, int64_t lease_until, OutgoingMail& mail) override;
    void retry_mail(int64_t id, int64_t next_attempt) override;
    void finish_mail(int64_t id, MailEnd end) override;
    int64_t mail_queue_depth() override;
    int64_t next_mail_due() override;
    std::vector<MailInfo> list_mails(bool abandoned) override;
    std::optional<MailInfo> find_mail(int64_t id) override;
    int64_t requeue_abandoned_mail(int64_t id, int64_t now) override;
    void put_challenge(const std::string& account, const std::string& asker,
                       const std::string& text, int64_t now) override {
        challenges_.put(account, asker, text, now);
    }
    std::vector<std::string> take_challenges(const std::string& account, const std::string& asker,
                                             int64_t now) override {
        return challenges_.take(account, asker, now);
    }
    int64_t account_count() override;
    void ping() override;
    std::optional<AccountInfo> find_account(const std::string& name) override;
    std::vector<AccountInfo> list_accounts(bool locked_only, int64_t now) override;
    bool delete_account(const std::string& name) override;
    RekeyStep rekey_step(std::string& after, size_t limit) override;
    int64_t count_not_under_current_key() override;
    ResetIssue issue_reset_link(const ResetLink& link,
                                const std::function<bool(const std::string&)>& email_matches,
                                std::string& email) override;
    LinkUse find_reset_link(const std::string& token_hash, int64_t now) override;
    LinkUse reset_password(const std::string& token_hash, const std::string& new_password,
                           int64_t now) override;

    // The readiness check's own connection, with a short busy time-out: it must not
    // wait behind this process's requests for the store's lock, nor for 5 s.
    bool open_ping(const std::string& path) {
        if (sqlite3_open_v2(path.c_str(), &ping_db_, SQLITE_OPEN_READWRITE, nullptr) != SQLITE_OK)
            return false;
        sqlite3_busy_timeout(ping_db_, 1000);
        return true;
    }

private:
    PasswordSurvey survey();
    void migrate();
    void seal_plain_passwords();
    void exec(const char* sql);
    // Every password write goes through here (a change and a reset alike).
    void write_password(const std::string& name, const std::string& password);
    LinkUse find_link_locked(const std::string& token_hash, int64_t now);
    CheckResult check_locked(const std::string& name, const Attempt& who, int64_t now,
                             const std::function<bool(const Secret&)>& matches,
                             const LockPolicy& policy);
    int64_t insert_mail(const OutgoingMail& mail, bool sent);

    sqlite3* db_;
    StatementCache statements_{db_};
    const std::shared_ptr<const Keyring> keys_;
    const std::function<void(const std::string&)> notice_;
    std::mutex mutex_;
    ChallengeStore challenges_;
    sqlite3* ping_db_ = nullptr;
    std::mutex ping_mutex_;
};

AccountInfo account_from(Statement& row) {
    AccountInfo a;
    a.name = row.text(0);
    a.email = row.text(1);
    a.created = row.integer(2);
    a.failures = row.integer(3);
    a.locked_until = row.integer(4);
    return a;
}

const char kAccountColumns[] = "SELECT name, email, created, failures, locked_until FROM accounts";

const char kMailInfoColumns[] =
    "SELECT id, kind, recipient, state, attempts, next_attempt, lease_until, created, expires,"
    " length(body) > 0 FROM mails";

// A refused mail keeps its text until it expires, for an operator's retry.
const char* finish_mail_sql(MailEnd end) {
    switch (end) {
    case MailEnd::Sent:
        return "UPDATE mails SET state = 1, attempts = attempts + 1, subject = x'', body = x'',"
               " lease_until = 0 WHERE id = ?";
    case MailEnd::Refused:
        return "UPDATE mails SET state = 2, attempts = attempts + 1, lease_until = 0 WHERE id = ?";
    case MailEnd::Expired:
        break;
    }
    return "UPDATE mails SET state = 2, subject = x'', body = x'', lease_until = 0 WHERE id = ?";
}

MailInfo mail_info_from(Statement& row) {
    MailInfo m;
    m.id = row.integer(0);
    m.kind = row.text(1);
    m.recipient = row.text(2);
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

bool make_owner_only(const std::string& path) {
#ifndef _WIN32
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0)
        return errno == ENOENT;
    return (st.st_mode & 0777) == 0600 || ::chmod(path.c_str(), 0600) == 0;
#else
    (void)path;
    return true;
#endif
}

bool is_postgres_uri(const std::string& where) {
    return where.rfind("postgresql://", 0) == 0 || where.rfind("postgres://", 0) == 0;
}

std::unique_ptr<Store> Store::open(const StoreConfig& config, std::string& error) {
    return is_postgres_uri(config.where) ? open_postgres_store(config, error)
                                         : open_sqlite_store(config, error);
}

std::unique_ptr<Store> open_sqlite_store(const StoreConfig& config, std::string& error) {
    const std::string& path = config.where;
#ifndef _WIN32
    // The file holds passwords (sealed, or without a key in plain text): for its owner
    // only, also when an older copy or a restore left it readable by others. SQLite gives new -wal
    // and -shm files the database's permissions, but keeps those of existing ones.
    int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    if (fd < 0) {
        error = "cannot open " + path;
        return nullptr;
    }
    bool owner_only = ::fchmod(fd, 0600) == 0;
    ::close(fd);
    if (!owner_only || !make_owner_only(path + "-wal") || !make_owner_only(path + "-shm")) {
        error = "cannot make " + path + " (and its -wal and -shm files) owner-only";
        return nullptr;
    }
#endif
    sqlite3* db = nullptr;
    if (sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, nullptr) !=
        SQLITE_OK) {
        error = db ? sqlite3_errmsg(db) : "out of memory";
        sqlite3_close(db);
        return nullptr;
    }
    std::unique_ptr<SqliteStore> store(new SqliteStore(db, config));
    try {
        // Other processes (a backup, the sqlite3 shell, a rekey) may hold the lock for a
        // moment.
        sqlite3_busy_timeout(db, 5000);
        error = store->start();
        if (error.empty() && !store->open_ping(path))
            throw std::runtime_error("cannot open a second connection to " + path);
    } catch (const std::exception& e) {
        error = e.what();
    }
    if (!error.empty())
        return nullptr;
    return store;
}

std::string SqliteStore::start() {
    // Freed space is zeroed, so a changed password leaves nothing in free pages.
    exec("PRAGMA secure_delete=ON");
    // Read before anything is written: a refused file stays byte for byte as it was.
    std::string refused = key_mismatch(survey(), *keys_);
    if (!refused.empty())
        return refused;
    migrate();
    if (keys_->encrypts() && survey().any_plain)
        seal_plain_passwords();
    return std::string();
}

// Schema versions, each step run once in order; the number reached is kept in
// schema_version. Files from before the version table get the steps that are
// written to be harmless on what those files already hold.
void SqliteStore::migrate() {
    // Before anything is written (even the journal mode): a newer server's file is
    // left as it is.
    {
        Statement known(statements_,
                        "SELECT COUNT(*) FROM sqlite_master WHERE name = 'schema_version'");
        known.step();
        if (known.integer(0) != 0) {
            Statement get(statements_, "SELECT MAX(version) FROM schema_version");
            get.step();
            if (get.integer(0) > kSchemaVersion)
                throw std::runtime_error(
                    "the database was made by a newer server (schema version " +
                    std::to_string(get.integer(0)) + ")");
        }
    }
    exec("PRAGMA journal_mode=WAL");
    // NORMAL would skip the WAL's sync at commit: a power cut could then take away an
    // account or a password change that was already answered as done.
#ifdef TARNIX_SQLITE_SYNCHRONOUS
    // For measuring the cost of FULL only: bench/server_load.sh builds a tree of its
    // own with -DTARNIX_SQLITE_SYNCHRONOUS=NORMAL. No product build sets it.
#define TARNIX_TEXT_OF(x) #x
#define TARNIX_TEXT(x) TARNIX_TEXT_OF(x)
    exec("PRAGMA synchronous=" TARNIX_TEXT(TARNIX_SQLITE_SYNCHRONOUS));
    if (notice_)
        notice_("warning: a bench build: SQLite commits with synchronous=" TARNIX_TEXT(
            TARNIX_SQLITE_SYNCHRONOUS));
#else
    exec("PRAGMA synchronous=FULL");
#endif
    Transaction tx(db_);
    exec("CREATE TABLE IF NOT EXISTS schema_version (version INTEGER NOT NULL)");
    int64_t version = 0;
    {
        Statement get(statements_, "SELECT MAX(version) FROM schema_version");
        get.step();
        version = get.integer(0);
    }
    if (version < 1) {
        exec("CREATE TABLE IF NOT EXISTS accounts ("
             " name BLOB PRIMARY KEY,"
             " password BLOB NOT NULL,"
             " email BLOB NOT NULL,"
             " created INTEGER NOT NULL,"
             " failures INTEGER NOT NULL DEFAULT 0,"
             " locked_until INTEGER NOT NULL DEFAULT 0)");
        exec("CREATE TABLE IF NOT EXISTS codes ("
             " email BLOB NOT NULL,"
             " code TEXT NOT NULL,"
             " created INTEGER NOT NULL)");
        exec("CREATE INDEX IF NOT EXISTS codes_by_email ON codes(email, created)");
    }
    if (version < 2) {
        // Files from before the sign-up count per code may lack the column, or not.
        bool has_attempts = false;
        {
            Statement has(
                db_, "SELECT COUNT(*) FROM pragma_table_info('codes') WHERE name = 'attempts'");
            has.step();
            has_attempts = has.integer(0) != 0;
        }
        if (!has_attempts)
            exec("ALTER TABLE codes ADD COLUMN attempts INTEGER NOT NULL DEFAULT 0");
    }
    if (version < 3) {
        // Devices that signed in to an account, each with its own failure count; the
        // account's own failures and lock are those of clients it does not know.
        exec("CREATE TABLE devices ("
             " account BLOB NOT NULL,"
             " id BLOB NOT NULL,"
             " last_success INTEGER NOT NULL,"
             " failures INTEGER NOT NULL DEFAULT 0,"
             " locked_until INTEGER NOT NULL DEFAULT 0,"
             " PRIMARY KEY (account, id))");
    }
    if (version < 4) {
        // Passwords by their format and key (secrets.h): finds the plain-text rows and
        // the rows of a key without reading every row.
        exec("CREATE INDEX IF NOT EXISTS accounts_by_key ON accounts(substr(password, 1, 9))");
    }
    if (version < 5) {
        // Password recovery links: the token's hash, never the token (state 0 live,
        // 1 used, 2 replaced by a later link).
        exec("CREATE TABLE reset_links ("
             " hash BLOB PRIMARY KEY,"
             " account BLOB NOT NULL,"
             " created INTEGER NOT NULL,"
             " expires INTEGER NOT NULL,"
             " state INTEGER NOT NULL DEFAULT 0)");
        exec("CREATE INDEX reset_links_by_account ON reset_links(account, created)");
    }
    if (version < 6) {
        // The mail queue; finished rows stay a day for the per-address daily cap.
        exec("CREATE TABLE mails ("
             " id INTEGER PRIMARY KEY,"
             " kind TEXT NOT NULL,"
             " recipient BLOB NOT NULL,"
             " subject BLOB NOT NULL,"
             " body BLOB NOT NULL,"
             " message_id TEXT NOT NULL,"
             " created INTEGER NOT NULL,"
             " expires INTEGER NOT NULL,"
             " state INTEGER NOT NULL DEFAULT 0," // 0 queued, 1 sent, 2 abandoned
             " attempts INTEGER NOT NULL DEFAULT 0,"
             " next_attempt INTEGER NOT NULL,"
             " lease_until INTEGER NOT NULL DEFAULT 0)");
        exec("CREATE INDEX mails_due ON mails(state, next_attempt)");
        exec("CREATE INDEX mails_by_recipient ON mails(recipient, kind, created)");
    }
    if (version < 7) {
        // The clean-ups that every code and reset request runs find the old rows by their
        // time instead of reading the whole table (a day of mails) each time.
        exec("CREATE INDEX codes_by_created ON codes(created)");
        exec("CREATE INDEX mails_by_created ON mails(created)");
        exec("CREATE INDEX reset_links_by_expiry ON reset_links(expires)");
    }
    if (version < 8) {
        // The daily cap counts an address's mails however its letters were written.
        exec("ALTER TABLE mails ADD COLUMN recipient_key BLOB NOT NULL DEFAULT x''");
        exec("UPDATE mails SET recipient_key = recipient");
        exec("DROP INDEX IF EXISTS mails_by_recipient");
        exec("CREATE INDEX mails_by_recipient_key ON mails(recipient_key, kind, created)");
    }
    if (version < kSchemaVersion) {
        exec("DELETE FROM schema_version");
        Statement set(statements_, "INSERT INTO schema_version (version) VALUES (?)");
        set.bind(1, kSchemaVersion).step();
    }
    // This process alone uses the file: a lease left by one that was killed mid-send
    // is over.
    exec("UPDATE mails SET lease_until = 0 WHERE state = 0 AND lease_until <> 0");
    tx.commit();
}

// Read only: runs on files of any schema version, before migrate().
PasswordSurvey SqliteStore::survey() {
    PasswordSurvey out;
    {
        Statement table(statements_,
                        "SELECT 1 FROM sqlite_master WHERE type = 'table' AND name = 'accounts'");
        if (!table.step())
            return out;
    }
    {
        Statement plain(statements_,
                        "SELECT 1 FROM accounts WHERE substr(password, 1, 9) >= x'20' LIMIT 1");
        out.any_plain = plain.step();
    }
    {
        Statement sealed(statements_, "SELECT 1 FROM accounts WHERE substr(password, 1, 9) > x''"
                                      " AND substr(password, 1, 9) < x'20' LIMIT 1");
        out.any_sealed = sealed.step();
    }
    for (const std::string& header : keys_->headers()) {
        Statement some(
            db_, "SELECT name, password FROM accounts WHERE substr(password, 1, 9) = ? LIMIT 8");
        some.bind(1, header);
        while (!out.opened && some.step()) {
            try {
                keys_->open(some.text(0), some.view(1));
                out.opened = true;
            } catch (const UnreadablePassword&) {
            }
        }
    }
    return out;
}

// The rows written without a key, sealed in one transaction; then no copy of the plain
// text is left in the file: the WAL is copied back and truncated, and the file rebuilt
// (secure_delete zeroes what the update freed; VACUUM drops the free pages, with its
// temporary copy in memory rather than in a file).
void SqliteStore::seal_plain_passwords() {
    size_t sealed = 0;
    {
        Transaction tx(db_);
        std::vector<std::string> names;
        {
            Statement plain(statements_,
                            "SELECT name FROM accounts WHERE substr(password, 1, 9) >= x'20'");
            while (plain.step())
                names.push_back(plain.text(0));
        }
        for (const std::string& name : names) {
            std::string stored;
            {
                Statement get(statements_, "SELECT password FROM accounts WHERE name = ?");
                get.bind(1, name);
                get.step();
                stored = keys_->seal(name, get.view(0)); // a plain row is the password
            }
            Statement set(statements_, "UPDATE accounts SET password = ? WHERE name = ?");
            set.bind(1, stored).bind(2, name).step();
            ++sealed;
        }
        tx.commit();
    }
    auto checkpoint = [&] {
        Statement truncate(statements_, "PRAGMA wal_checkpoint(TRUNCATE)");
        if (!truncate.step() || truncate.integer(0) != 0)
            throw std::runtime_error("cannot truncate the WAL after sealing the passwords: "
                                     "another process holds the database");
    };
    checkpoint();
    exec("PRAGMA temp_store=MEMORY");
    exec("VACUUM");
    checkpoint();
    if (notice_)
        notice_("sealed " + std::to_string(sealed) + " plain-text passwords under key " +
                keys_->current_id() + "; WAL truncated and file vacuumed");
}

void SqliteStore::exec(const char* sql) {
    if (sqlite3_exec(db_, sql, nullptr, nullptr, nullptr) != SQLITE_OK)
        fail(db_, sql);
}

CheckResult SqliteStore::check_locked(const std::string& name, const Attempt& who, int64_t now,
                                      const std::function<bool(const Secret&)>& matches,
                                      const LockPolicy& policy) {
    Statement get(statements_,
                  "SELECT password, failures, locked_until FROM accounts WHERE name = ?");
    get.bind(1, name);
    if (!get.step())
        return CheckResult();
    const std::string stored = get.text(0);
    int64_t failures = get.integer(1);
    int64_t locked_until = get.integer(2);
    bool known = false;
    if (!who.device.empty()) {
        Statement device(statements_, "SELECT failures, locked_until FROM devices"
                                      " WHERE account = ? AND id = ?");
        device.bind(1, name).bind(2, who.device);
        if (device.step()) {
            known = true;
            failures = device.integer(0);
            locked_until = device.integer(1);
        }
    }
    const int64_t failures_before = failures;
    const int64_t locked_before = locked_until;
    CheckResult r = judge_attempt(
        failures, locked_until, known, now, [&] { return matches(keys_->open(name, stored)); },
        policy);
    if (known && (r.verdict == Verdict::Ok || failures != failures_before ||
                  locked_until != locked_before)) {
        Statement count(statements_, "UPDATE devices SET failures = ?, locked_until = ?,"
                                     " last_success = CASE WHEN ? THEN ? ELSE last_success END"
                                     " WHERE account = ? AND id = ?");
        count.bind(1, failures)
            .bind(2, locked_until)
            .bind(3, static_cast<int64_t>(r.verdict == Verdict::Ok))
            .bind(4, now)
            .bind(5, name)
            .bind(6, who.device)
            .step();
    } else if (!known && (failures != failures_before || locked_until != locked_before)) {
        Statement count(statements_,
                        "UPDATE accounts SET failures = ?, locked_until = ? WHERE name = ?");
        count.bind(1, failures).bind(2, locked_until).bind(3, name).step();
    }
    if (r.verdict == Verdict::Ok && known) {
        r.device = who.device;
    } else if (r.verdict == Verdict::Ok && !who.new_device.empty()) {
        Statement add(statements_,
                      "INSERT INTO devices (account, id, last_success) VALUES (?, ?, ?)");
        add.bind(1, name).bind(2, who.new_device).bind(3, now).step();
        Statement drop(statements_, "DELETE FROM devices WHERE account = ? AND id NOT IN"
                                    " (SELECT id FROM devices WHERE account = ?"
                                    "  ORDER BY last_success DESC, rowid DESC LIMIT ?)");
        drop.bind(1, name).bind(2, name).bind(3, static_cast<int64_t>(policy.max_devices)).step();
        r.device = who.new_device;
    }
    return r;
}

CheckResult SqliteStore::check_password(const std::string& name, const Attempt& who, int64_t now,
                                        const std::function<bool(const Secret&)>& matches,
                                        const LockPolicy& policy) {
    std::lock_guard<std::mutex> lock(mutex_);
    Transaction tx(db_);
    CheckResult r = check_locked(name, who, now, matches, policy);
    tx.commit();
    return r;
}

CheckResult SqliteStore::change_password(const std::string& name, const Attempt& who,
                                         const std::string& old_password,
                                         const std::string& new_password, int64_t now,
                                         const LockPolicy& policy) {
    std::lock_guard<std::mutex> lock(mutex_);
    Transaction tx(db_);
    CheckResult r = check_locked(
        name, who, now, [&](const Secret& stored) { return stored.equals(old_password); }, policy);
    if (r.verdict == Verdict::Ok)
        write_password(name, new_password);
    tx.commit();
    return r;
}

void SqliteStore::write_password(const std::string& name, const std::string& password) {
    Statement set(statements_, "UPDATE accounts SET password = ? WHERE name = ?");
    set.bind(1, keys_->seal(name, password)).bind(2, name).step();
}

ResetIssue
SqliteStore::issue_reset_link(const ResetLink& link,
                              const std::function<bool(const std::string&)>& email_matches,
                              std::string& email) {
    std::lock_guard<std::mutex> lock(mutex_);
    Transaction tx(db_);
    Statement account(statements_, "SELECT email FROM accounts WHERE name = ?");
    account.bind(1, link.account);
    if (!account.step() || !email_matches(account.text(0)))
        return ResetIssue::NoMatch;
    email = account.text(0);
    Statement forget(statements_, "DELETE FROM reset_links WHERE expires < ?");
    forget.bind(1, link.now - 86400).step();
    if (link.per_window > 0) {
        Statement recent(statements_,
                         "SELECT COUNT(*) FROM reset_links WHERE account = ? AND created >= ?");
        recent.bind(1, link.account).bind(2, link.window_start).step();
        if (recent.integer(0) >= link.per_window) {
            tx.commit();
            return ResetIssue::TooMany;
        }
    }
    Statement replace(statements_,
                      "UPDATE reset_links SET state = 2 WHERE account = ? AND state = 0");
    replace.bind(1, link.account).step();
    Statement add(statements_,
                  "INSERT INTO reset_links (hash, account, created, expires) VALUES (?, ?, ?, ?)");
    add.bind(1, link.token_hash)
        .bind(2, link.account)
        .bind(3, link.now)
        .bind(4, link.expires)
        .step();
    tx.commit();
    return ResetIssue::Issued;
}

LinkUse SqliteStore::find_link_locked(const std::string& token_hash, int64_t now) {
    LinkUse use;
    Statement get(statements_, "SELECT l.account, l.expires, l.state, a.email FROM reset_links l"
                               " JOIN accounts a ON a.name = l.account WHERE l.hash = ?");
    get.bind(1, token_hash);
    if (!get.step())
        return use;
    use.account = get.text(0);
    const int64_t state = get.integer(2);
    use.state = state == 1              ? LinkState::Used
                : state == 2            ? LinkState::Replaced
                : get.integer(1) <= now ? LinkState::Expired
                                        : LinkState::Live;
    if (use.state == LinkState::Live)
        use.email = get.text(3);
    return use;
}

LinkUse SqliteStore::find_reset_link(const std::string& token_hash, int64_t now) {
    std::lock_guard<std::mutex> lock(mutex_);
    return find_link_locked(token_hash, now);
}

LinkUse SqliteStore::reset_password(const std::string& token_hash, const std::string& new_password,
                                    int64_t now) {
    std::lock_guard<std::mutex> lock(mutex_);
    Transaction tx(db_);
    LinkUse use = find_link_locked(token_hash, now);
    if (use.state != LinkState::Live)
        return use;
    write_password(use.account, new_password);
    Statement used(statements_, "UPDATE reset_links SET state = 1 WHERE hash = ?");
    used.bind(1, token_hash).step();
    Statement account(statements_,
                      "UPDATE accounts SET failures = 0, locked_until = 0 WHERE name = ?");
    account.bind(1, use.account).step();
    Statement devices(statements_,
                      "UPDATE devices SET failures = 0, locked_until = 0 WHERE account = ?");
    devices.bind(1, use.account).step();
    tx.commit();
    challenges_.drop(use.account);
    return use;
}

std::vector<DeviceRecord> SqliteStore::devices(const std::string& name) {
    std::lock_guard<std::mutex> lock(mutex_);
    Statement get(statements_, "SELECT id, last_success, failures, locked_until FROM devices"
                               " WHERE account = ? ORDER BY last_success DESC, rowid DESC");
    get.bind(1, name);
    std::vector<DeviceRecord> out;
    while (get.step())
        out.push_back(DeviceRecord{get.text(0), get.integer(1), get.integer(2), get.integer(3)});
    return out;
}

int64_t SqliteStore::forget_devices(const std::string& name) {
    std::lock_guard<std::mutex> lock(mutex_);
    Statement drop(statements_, "DELETE FROM devices WHERE account = ?");
    drop.bind(1, name).step();
    return sqlite3_changes(db_);
}

bool SqliteStore::unlock(const std::string& name) {
    std::lock_guard<std::mutex> lock(mutex_);
    Transaction tx(db_);
    Statement account(statements_,
                      "UPDATE accounts SET failures = 0, locked_until = 0 WHERE name = ?");
    account.bind(1, name).step();
    if (sqlite3_changes(db_) == 0)
        return false;
    Statement devices(statements_,
                      "UPDATE devices SET failures = 0, locked_until = 0 WHERE account = ?");
    devices.bind(1, name).step();
    tx.commit();
    return true;
}

SignUp SqliteStore::create_account(const std::string& name, const std::string& password,
                                   const std::string& email, int64_t now, int64_t codes_since,
                                   int attempts_per_code) {
    std::lock_guard<std::mutex> lock(mutex_);
    Transaction tx(db_);
    Statement code(statements_,
                   "SELECT rowid FROM codes WHERE email = ? AND created >= ? AND attempts < ?"
                   " ORDER BY created LIMIT 1");
    const std::string key = fold_address_gbk(email);
    code.bind(1, key).bind(2, codes_since).bind(3, static_cast<int64_t>(attempts_per_code));
    if (!code.step())
        return SignUp::NoRecentCode;
    const int64_t code_row = code.integer(0);
    Statement exists(statements_, "SELECT 1 FROM accounts WHERE name = ?");
    exists.bind(1, name);
    if (exists.step()) {
        Statement used(statements_, "UPDATE codes SET attempts = attempts + 1 WHERE rowid = ?");
        used.bind(1, code_row).step();
        tx.commit();
        return SignUp::Exists;
    }
    Statement insert(statements_,
                     "INSERT INTO accounts (name, password, email, created) VALUES (?, ?, ?, ?)");
    insert.bind(1, name).bind(2, keys_->seal(name, password)).bind(3, email).bind(4, now).step();
    Statement used(statements_, "DELETE FROM codes WHERE email = ?");
    used.bind(1, key).step();
    tx.commit();
    return SignUp::Created;
}

int64_t SqliteStore::insert_mail(const OutgoingMail& mail, bool sent) {
    // Abandoned mails past their expiry can never be sent again: their text goes.
    Statement dead(statements_, "UPDATE mails SET subject = x'', body = x'' WHERE state = 2"
                                " AND expires <= ? AND length(body) > 0");
    dead.bind(1, mail.created).step();
    Statement insert(statements_,
                     "INSERT INTO mails (kind, recipient, subject, body, message_id, created,"
                     " expires, state, next_attempt, recipient_key)"
                     " VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?, ?)");
    // A mail handed over at once keeps no subject or body.
    insert.bind(1, mail.kind)
        .bind(2, mail.recipient)
        .bind(3, sent ? std::string() : keys_->seal_mail_text(mail.message_id, mail.subject))
        .bind(4, sent ? std::string() : keys_->seal_mail_text(mail.message_id, mail.body))
        .bind(5, mail.message_id)
        .bind(6, mail.created)
        .bind(7, mail.expires)
        .bind(8, static_cast<int64_t>(sent ? 1 : 0))
        .bind(9, mail.created)
        .bind(10, fold_address_utf8(mail.recipient))
        .step();
    return sqlite3_last_insert_rowid(db_);
}

CodeIssue SqliteStore::issue_code(const CodeRequest& request, OutgoingMail& mail,
                                  const std::function<bool()>& deliver) {
    std::lock_guard<std::mutex> lock(mutex_);
    Transaction tx(db_);
    Statement old(statements_, "DELETE FROM codes WHERE created < ?");
    old.bind(1, request.forget_before).step();
    Statement done(statements_, "DELETE FROM mails WHERE state <> 0 AND created < ?");
    done.bind(1, request.day_since).step();
    const std::string key = fold_address_gbk(request.email);
    Statement recent(statements_, "SELECT 1 FROM codes WHERE email = ? AND created > ? LIMIT 1");
    recent.bind(1, key).bind(2, request.not_after);
    if (recent.step())
        return CodeIssue::TooSoon;
    if (request.per_day > 0) {
        Statement today(statements_, "SELECT COUNT(*) FROM mails WHERE recipient_key = ?"
                                     " AND kind = ? AND created > ?");
        today.bind(1, fold_address_utf8(mail.recipient))
            .bind(2, mail.kind)
            .bind(3, request.day_since)
            .step();
        if (today.integer(0) >= request.per_day)
            return CodeIssue::DailyLimit;
    }
    Statement insert(statements_, "INSERT INTO codes (email, code, created) VALUES (?, ?, ?)");
    insert.bind(1, key).bind(2, request.code).bind(3, request.now).step();
    mail.id = insert_mail(mail, static_cast<bool>(deliver));
    if (deliver && !deliver())
        throw std::runtime_error("cannot hand the mail over");
    tx.commit();
    return CodeIssue::Issued;
}

int64_t SqliteStore::enqueue_mail(const OutgoingMail& mail) {
    std::lock_guard<std::mutex> lock(mutex_);
    Transaction tx(db_);
    const int64_t id = insert_mail(mail, false);
    tx.commit();
    return id;
}

bool SqliteStore::claim_mail(int64_t now, int64_t lease_until, OutgoingMail& mail) {
    std::lock_guard<std::mutex> lock(mutex_);
    for (;;) {
        {
            Statement claim(statements_,
                            "UPDATE mails SET lease_until = ? WHERE id = ("
                            " SELECT id FROM mails WHERE state = 0 AND next_attempt <= ?"
                            " AND lease_until <= ? ORDER BY next_attempt, id LIMIT 1)"
                            " RETURNING id, kind, recipient, subject, body, message_id, created,"
                            " expires, attempts");
            claim.bind(1, lease_until).bind(2, now).bind(3, now);
            if (!claim.step())
                return false;
            mail = OutgoingMail();
            mail.id = claim.integer(0);
            mail.kind = claim.text(1);
            mail.recipient = claim.text(2);
            mail.subject = claim.text(3);
            mail.body = claim.text(4);
            mail.message_id = claim.text(5);
            mail.created = claim.integer(6);
            mail.expires = claim.integer(7);
            mail.attempts = static_cast<int>(claim.integer(8));
            while (claim.step()) {
            }
        }
        if (open_mail_text(mail, keys_, notice_))
            return true;
        Statement finish(statements_, finish_mail_sql(MailEnd::Expired));
        finish.bind(1, mail.id).step();
    }
}

void SqliteStore::retry_mail(int64_t id, int64_t next_attempt) {
    std::lock_guard<std::mutex> lock(mutex_);
    Statement retry(statements_, "UPDATE mails SET attempts = attempts + 1, next_attempt = ?,"
                                 " lease_until = 0 WHERE id = ?");
    retry.bind(1, next_attempt).bind(2, id).step();
}

void SqliteStore::finish_mail(int64_t id, MailEnd end) {
    std::lock_guard<std::mutex> lock(mutex_);
    Statement finish(statements_, finish_mail_sql(end));
    finish.bind(1, id).step();
}

std::vector<MailInfo> SqliteStore::list_mails(bool abandoned) {
    std::lock_guard<std::mutex> lock(mutex_);
    Statement get(statements_,
                  (std::string(kMailInfoColumns) + " WHERE state = ? ORDER BY id").c_str());
    get.bind(1, static_cast<int64_t>(abandoned ? MailInfo::Abandoned : MailInfo::Queued));
    std::vector<MailInfo> out;
    while (get.step())
        out.push_back(mail_info_from(get));
    return out;
}

std::optional<MailInfo> SqliteStore::find_mail(int64_t id) {
    std::lock_guard<std::mutex> lock(mutex_);
    Statement get(statements_, (std::string(kMailInfoColumns) + " WHERE id = ?").c_str());
    get.bind(1, id);
    if (!get.step())
        return std::nullopt;
    return mail_info_from(get);
}

int64_t SqliteStore::requeue_abandoned_mail(int64_t id, int64_t now) {
    std::lock_guard<std::mutex> lock(mutex_);
    Statement put(statements_,
                  "UPDATE mails SET state = 0, next_attempt = ?, lease_until = 0"
                  " WHERE state = 2 AND expires > ? AND length(body) > 0 AND (? = 0 OR id = ?)");
    put.bind(1, now).bind(2, now).bind(3, id).bind(4, id).step();
    return sqlite3_changes(db_);
}

int64_t SqliteStore::mail_queue_depth() {
    std::lock_guard<std::mutex> lock(mutex_);
    Statement get(statements_, "SELECT COUNT(*) FROM mails WHERE state = 0");
    get.step();
    return get.integer(0);
}

int64_t SqliteStore::next_mail_due() {
    std::lock_guard<std::mutex> lock(mutex_);
    Statement get(statements_,
                  "SELECT MIN(MAX(next_attempt, lease_until)) FROM mails WHERE state = 0");
    get.step();
    return get.integer(0);
}

int64_t SqliteStore::account_count() {
    std::lock_guard<std::mutex> lock(mutex_);
    Statement get(statements_, "SELECT COUNT(*) FROM accounts");
    get.step();
    return get.integer(0);
}

} // namespace server

namespace server {

void SqliteStore::ping() {
    std::lock_guard<std::mutex> lock(ping_mutex_);
    // The write lock, taken and given back at once: a file another process holds
    // locked fails here after the time-out, as a sign-up would.
    if (sqlite3_exec(ping_db_, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr) != SQLITE_OK)
        fail(ping_db_, "begin");
    sqlite3_exec(ping_db_, "ROLLBACK", nullptr, nullptr, nullptr);
}

std::optional<AccountInfo> SqliteStore::find_account(const std::string& name) {
    std::lock_guard<std::mutex> lock(mutex_);
    Statement get(statements_, (std::string(kAccountColumns) + " WHERE name = ?").c_str());
    get.bind(1, name);
    if (!get.step())
        return std::nullopt;
    return account_from(get);
}

std::vector<AccountInfo> SqliteStore::list_accounts(bool locked_only, int64_t now) {
    std::lock_guard<std::mutex> lock(mutex_);
    Statement get(statements_,
                  (std::string(kAccountColumns) + " WHERE locked_until > ? ORDER BY name").c_str());
    get.bind(1, locked_only ? now : INT64_MIN);
    std::vector<AccountInfo> out;
    while (get.step())
        out.push_back(account_from(get));
    return out;
}

bool SqliteStore::delete_account(const std::string& name) {
    std::lock_guard<std::mutex> lock(mutex_);
    Transaction tx(db_);
    Statement devices(statements_, "DELETE FROM devices WHERE account = ?");
    devices.bind(1, name).step();
    Statement links(statements_, "DELETE FROM reset_links WHERE account = ?");
    links.bind(1, name).step();
    Statement remove(statements_, "DELETE FROM accounts WHERE name = ?");
    remove.bind(1, name).step();
    const bool found = sqlite3_changes(db_) == 1;
    tx.commit();
    challenges_.drop(name);
    return found;
}

RekeyStep SqliteStore::rekey_step(std::string& after, size_t limit) {
    std::lock_guard<std::mutex> lock(mutex_);
    const std::string current = keys_->current_header();
    RekeyStep step;
    Transaction tx(db_);
    std::vector<std::pair<std::string, std::string>> rows;
    {
        Statement list(statements_,
                       "SELECT name, password FROM accounts WHERE name > ? ORDER BY name"
                       " LIMIT ?");
        list.bind(1, after).bind(2, static_cast<int64_t>(limit));
        while (list.step())
            rows.emplace_back(list.text(0), list.text(1));
    }
    std::string last = after; // moved on only once the step is committed
    for (const auto& row : rows) {
        ++step.examined;
        last = row.first;
        if (row.second.compare(0, current.size(), current) == 0 && !current.empty())
            continue;
        std::string sealed;
        try {
            sealed = keys_->seal(row.first, keys_->open(row.first, row.second).view());
        } catch (const UnreadablePassword&) {
            step.unreadable.push_back(row.first);
            continue;
        }
        Statement set(statements_, "UPDATE accounts SET password = ? WHERE name = ?");
        set.bind(1, sealed).bind(2, row.first).step();
        ++step.resealed;
    }
    tx.commit();
    after = last;
    return step;
}

int64_t SqliteStore::count_not_under_current_key() {
    std::lock_guard<std::mutex> lock(mutex_);
    Statement get(statements_,
                  "SELECT COUNT(*) FROM accounts WHERE substr(password, 1, 9) IS NOT ?");
    get.bind(1, keys_->current_header());
    get.step();
    return get.integer(0);
}

bool backup_sqlite(const std::string& path, const std::string& dest, std::string& error) {
    sqlite3* src = nullptr;
    sqlite3* out = nullptr;
    auto close_both = [&] {
        sqlite3_close(src);
        sqlite3_close(out);
    };
    if (sqlite3_open_v2(path.c_str(), &src, SQLITE_OPEN_READONLY, nullptr) != SQLITE_OK) {
        error = "cannot open " + path + ": " + sqlite3_errmsg(src);
        close_both();
        return false;
    }
    sqlite3_busy_timeout(src, 5000);
#ifndef _WIN32
    // The copy holds the same passwords: owner-only from its first byte; an existing
    // file is not overwritten.
    int fd = ::open(dest.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (fd < 0) {
        error = "cannot create " + dest + ": " + std::strerror(errno);
        close_both();
        return false;
    }
    ::close(fd);
#endif
    if (sqlite3_open_v2(dest.c_str(), &out, SQLITE_OPEN_READWRITE, nullptr) != SQLITE_OK) {
        error = "cannot open " + dest + ": " + sqlite3_errmsg(out);
        close_both();
        std::remove(dest.c_str());
        return false;
    }
    // All pages in one step: one read transaction, so one snapshot however much the
    // servers write meanwhile (in WAL mode they are not held up).
    int rc = SQLITE_OK;
    sqlite3_backup* b = sqlite3_backup_init(out, "main", src, "main");
    if (!b) {
        error = sqlite3_errmsg(out);
    } else {
        for (int tries = 0; tries < 100; ++tries) {
            rc = sqlite3_backup_step(b, -1);
            if (rc != SQLITE_BUSY && rc != SQLITE_LOCKED)
                break;
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
        sqlite3_backup_finish(b);
        if (rc != SQLITE_DONE)
            error = std::string("backup: ") + sqlite3_errstr(rc);
    }
    bool ok = b && rc == SQLITE_DONE;
    if (ok) {
        // The copy stands alone: no -wal file beside it.
        sqlite3_exec(out, "PRAGMA journal_mode=DELETE", nullptr, nullptr, nullptr);
        sqlite3_stmt* check = nullptr;
        ok = sqlite3_prepare_v2(out, "PRAGMA integrity_check", -1, &check, nullptr) == SQLITE_OK &&
             sqlite3_step(check) == SQLITE_ROW &&
             std::string(reinterpret_cast<const char*>(sqlite3_column_text(check, 0))) == "ok";
        sqlite3_finalize(check);
        if (!ok)
            error = "the copy failed its integrity check";
    }
    close_both();
    if (!ok)
        std::remove(dest.c_str());
    return ok;
}

} // namespace server
