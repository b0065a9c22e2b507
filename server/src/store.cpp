#include "store.h"

#include <sqlite3.h>

#include <cerrno>
#include <stdexcept>

#ifndef _WIN32
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace server {
namespace {

[[noreturn]] void fail(sqlite3* db, const char* what) {
    throw std::runtime_error(std::string(what) + ": " + sqlite3_errmsg(db));
}

// One prepared statement; texts are bound as BLOBs so GBK bytes are kept exactly.
class Statement {
public:
    Statement(sqlite3* db, const char* sql) : db_(db) {
        if (sqlite3_prepare_v2(db, sql, -1, &stmt_, nullptr) != SQLITE_OK)
            fail(db, "prepare");
    }
    ~Statement() { sqlite3_finalize(stmt_); }
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
    std::string text(int col) {
        const void* p = sqlite3_column_blob(stmt_, col);
        int n = sqlite3_column_bytes(stmt_, col);
        return p ? std::string(static_cast<const char*>(p), static_cast<size_t>(n)) : std::string();
    }
    int64_t integer(int col) { return sqlite3_column_int64(stmt_, col); }

private:
    sqlite3* db_;
    sqlite3_stmt* stmt_ = nullptr;
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

std::unique_ptr<Store> Store::open(const std::string& path, std::string& error) {
#ifndef _WIN32
    // The file holds passwords in plain text: for its owner only, also when an older
    // copy or a restore left it readable by others. SQLite gives new -wal and -shm
    // files the database's permissions, but keeps those of existing ones.
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
    std::unique_ptr<Store> store(new Store(db));
    try {
        // Other processes (a backup, the sqlite3 shell) may hold the lock for a moment.
        sqlite3_busy_timeout(db, 5000);
        store->exec("PRAGMA journal_mode=WAL");
        store->exec("PRAGMA synchronous=NORMAL");
        store->exec("CREATE TABLE IF NOT EXISTS accounts ("
                    " name BLOB PRIMARY KEY,"
                    " password BLOB NOT NULL,"
                    " email BLOB NOT NULL,"
                    " created INTEGER NOT NULL,"
                    " failures INTEGER NOT NULL DEFAULT 0,"
                    " locked_until INTEGER NOT NULL DEFAULT 0)");
        store->exec("CREATE TABLE IF NOT EXISTS codes ("
                    " email BLOB NOT NULL,"
                    " code TEXT NOT NULL,"
                    " created INTEGER NOT NULL)");
        store->exec("CREATE INDEX IF NOT EXISTS codes_by_email ON codes(email, created)");
        // Databases from before the sign-up count per code lack the column.
        Statement has(db,
                      "SELECT COUNT(*) FROM pragma_table_info('codes') WHERE name = 'attempts'");
        has.step();
        if (has.integer(0) == 0)
            store->exec("ALTER TABLE codes ADD COLUMN attempts INTEGER NOT NULL DEFAULT 0");
    } catch (const std::exception& e) {
        error = e.what();
        return nullptr;
    }
    return store;
}

Store::~Store() {
    sqlite3_close(db_);
}

void Store::exec(const char* sql) {
    if (sqlite3_exec(db_, sql, nullptr, nullptr, nullptr) != SQLITE_OK)
        fail(db_, sql);
}

Verdict Store::check_locked(const std::string& name, int64_t now,
                            const std::function<bool(const std::string&)>& matches,
                            const LockPolicy& policy) {
    Statement get(db_, "SELECT password, failures, locked_until FROM accounts WHERE name = ?");
    get.bind(1, name);
    if (!get.step())
        return Verdict::Wrong;
    std::string password = get.text(0);
    int64_t failures = get.integer(1);
    int64_t locked_until = get.integer(2);
    if (locked_until > now)
        return Verdict::Locked;
    if (matches(password)) {
        if (failures != 0 || locked_until != 0) {
            Statement reset(db_,
                            "UPDATE accounts SET failures = 0, locked_until = 0 WHERE name = ?");
            reset.bind(1, name).step();
        }
        return Verdict::Ok;
    }
    ++failures;
    Verdict verdict = Verdict::Wrong;
    if (failures >= policy.max_failures) {
        failures = 0;
        locked_until = now + policy.lock_seconds;
        verdict = Verdict::Locked;
    }
    Statement count(db_, "UPDATE accounts SET failures = ?, locked_until = ? WHERE name = ?");
    count.bind(1, failures).bind(2, locked_until).bind(3, name).step();
    return verdict;
}

Verdict Store::check_password(const std::string& name, int64_t now,
                              const std::function<bool(const std::string&)>& matches,
                              const LockPolicy& policy) {
    std::lock_guard<std::mutex> lock(mutex_);
    Transaction tx(db_);
    Verdict v = check_locked(name, now, matches, policy);
    tx.commit();
    return v;
}

Verdict Store::change_password(const std::string& name, const std::string& old_password,
                               const std::string& new_password, int64_t now,
                               const LockPolicy& policy) {
    std::lock_guard<std::mutex> lock(mutex_);
    Transaction tx(db_);
    Verdict v = check_locked(
        name, now, [&](const std::string& stored) { return stored == old_password; }, policy);
    if (v == Verdict::Ok) {
        Statement set(db_, "UPDATE accounts SET password = ? WHERE name = ?");
        set.bind(1, new_password).bind(2, name).step();
    }
    tx.commit();
    return v;
}

SignUp Store::create_account(const std::string& name, const std::string& password,
                             const std::string& email, int64_t now, int64_t codes_since,
                             int attempts_per_code) {
    std::lock_guard<std::mutex> lock(mutex_);
    Transaction tx(db_);
    Statement code(db_, "SELECT rowid FROM codes WHERE email = ? AND created >= ? AND attempts < ?"
                        " ORDER BY created LIMIT 1");
    code.bind(1, email).bind(2, codes_since).bind(3, static_cast<int64_t>(attempts_per_code));
    if (!code.step())
        return SignUp::NoRecentCode;
    const int64_t code_row = code.integer(0);
    Statement exists(db_, "SELECT 1 FROM accounts WHERE name = ?");
    exists.bind(1, name);
    if (exists.step()) {
        Statement used(db_, "UPDATE codes SET attempts = attempts + 1 WHERE rowid = ?");
        used.bind(1, code_row).step();
        tx.commit();
        return SignUp::Exists;
    }
    Statement insert(db_,
                     "INSERT INTO accounts (name, password, email, created) VALUES (?, ?, ?, ?)");
    insert.bind(1, name).bind(2, password).bind(3, email).bind(4, now).step();
    Statement used(db_, "DELETE FROM codes WHERE email = ?");
    used.bind(1, email).step();
    tx.commit();
    return SignUp::Created;
}

bool Store::issue_code(const std::string& email, const std::string& code, int64_t now,
                       int64_t not_after, int64_t forget_before,
                       const std::function<bool()>& deliver) {
    std::lock_guard<std::mutex> lock(mutex_);
    Transaction tx(db_);
    Statement old(db_, "DELETE FROM codes WHERE created < ?");
    old.bind(1, forget_before).step();
    Statement recent(db_, "SELECT 1 FROM codes WHERE email = ? AND created > ? LIMIT 1");
    recent.bind(1, email).bind(2, not_after);
    if (recent.step())
        return false;
    Statement insert(db_, "INSERT INTO codes (email, code, created) VALUES (?, ?, ?)");
    insert.bind(1, email).bind(2, code).bind(3, now).step();
    if (!deliver())
        throw std::runtime_error("cannot write the outbox");
    tx.commit();
    return true;
}

int64_t Store::account_count() {
    std::lock_guard<std::mutex> lock(mutex_);
    Statement get(db_, "SELECT COUNT(*) FROM accounts");
    get.step();
    return get.integer(0);
}

} // namespace server
