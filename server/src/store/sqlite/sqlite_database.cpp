#include "store/sqlite/sqlite_database.h"

#include "base/files.h"
#include "base/log.h"
#include "store/store.h"

#include <sqlite3.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <functional>
#include <map>
#include <mutex>
#include <stdexcept>
#include <string_view>
#include <thread>
#include <vector>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace server {
namespace {

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

// One statement taken from the cache, its parameters bound (texts as BLOBs, so GBK
// bytes are kept exactly), given back when its rows are done with.
class SqliteRows final : public SqlRows {
public:
    SqliteRows(sqlite3* db, StatementCache& cache, const char* sql, const SqlParams& params)
        : db_(db), cache_(cache), stmt_(cache.take(sql)) {
        int i = 1;
        for (const SqlValue& p : params) {
            const int rc =
                p.kind == SqlValue::Integer
                    ? sqlite3_bind_int64(stmt_, i, p.number)
                    : sqlite3_bind_blob(stmt_, i, p.text.data(), static_cast<int>(p.text.size()),
                                        SQLITE_TRANSIENT);
            if (rc != SQLITE_OK) {
                cache_.give_back(stmt_);
                fail(db_, "bind");
            }
            ++i;
        }
    }
    ~SqliteRows() override { cache_.give_back(stmt_); }
    SqliteRows(const SqliteRows&) = delete;
    SqliteRows& operator=(const SqliteRows&) = delete;

    bool next() override {
        const int rc = sqlite3_step(stmt_);
        if (rc == SQLITE_ROW)
            return true;
        if (rc == SQLITE_DONE)
            return false;
        fail(db_, "step");
    }
    std::string bytes(int col) override {
        const void* p = sqlite3_column_blob(stmt_, col);
        const int n = sqlite3_column_bytes(stmt_, col);
        return p ? std::string(static_cast<const char*>(p), static_cast<size_t>(n)) : std::string();
    }
    std::string text(int col) override { return bytes(col); }
    int64_t integer(int col) override { return sqlite3_column_int64(stmt_, col); }

private:
    sqlite3* db_;
    StatementCache& cache_;
    sqlite3_stmt* stmt_;
};

class SqliteConnection final : public SqlConnection {
public:
    explicit SqliteConnection(sqlite3* db) : db_(db), statements_(db) {}
    ~SqliteConnection() override {
        statements_.clear();
        sqlite3_close(db_);
    }
    SqliteConnection(const SqliteConnection&) = delete;
    SqliteConnection& operator=(const SqliteConnection&) = delete;

    // BEGIN IMMEDIATE takes the write lock at once, so two writers never both read
    // and then collide on the upgrade.
    void begin() override { script("BEGIN IMMEDIATE"); }
    void commit() override { script("COMMIT"); }
    void rollback() noexcept override { sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr); }
    std::unique_ptr<SqlRows> query(const char* sql, const SqlParams& params) override {
        return std::make_unique<SqliteRows>(db_, statements_, sql, params);
    }
    int64_t exec(const char* sql, const SqlParams& params) override {
        SqliteRows rows(db_, statements_, sql, params);
        while (rows.next()) {
        }
        return sqlite3_changes(db_);
    }
    void script(const char* sql) override {
        if (sqlite3_exec(db_, sql, nullptr, nullptr, nullptr) != SQLITE_OK)
            fail(db_, sql);
    }

private:
    sqlite3* db_;
    StatementCache statements_;
};

// One file used by this process alone: one connection under one lock, and a second
// connection for the readiness check, which must not wait behind this process's
// requests for the lock, nor for 5 s.
class SqliteDatabase final : public Database {
public:
    SqliteDatabase(sqlite3* db, sqlite3* ping_db) : connection_(db), ping_db_(ping_db) {}
    ~SqliteDatabase() override { sqlite3_close(ping_db_); }

    const Dialect& dialect() const override {
        static const Dialect kSqlite{false, false, true};
        return kSqlite;
    }
    SqlLease lease() override {
        auto lock = std::make_shared<std::unique_lock<std::mutex>>(mutex_);
        return SqlLease(connection_, lock);
    }
    void ping() override {
        std::lock_guard<std::mutex> lock(ping_mutex_);
        // The write lock, taken and given back at once: a file another process holds
        // locked fails here after the time-out, as a sign-up would.
        if (sqlite3_exec(ping_db_, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr) != SQLITE_OK)
            fail(ping_db_, "begin");
        sqlite3_exec(ping_db_, "ROLLBACK", nullptr, nullptr, nullptr);
    }
    void before_schema(SqlConnection& c) override {
        c.script("PRAGMA journal_mode=WAL");
        // NORMAL would skip the WAL's sync at commit: a power cut could then take away an
        // account or a password change that was already answered as done.
#ifdef TARNIX_SQLITE_SYNCHRONOUS
        // For measuring the cost of FULL only: bench/server_load.sh builds a tree of its
        // own with -DTARNIX_SQLITE_SYNCHRONOUS=NORMAL. No product build sets it.
#define TARNIX_TEXT_OF(x) #x
#define TARNIX_TEXT(x) TARNIX_TEXT_OF(x)
        c.script("PRAGMA synchronous=" TARNIX_TEXT(TARNIX_SQLITE_SYNCHRONOUS));
        log_line("warning: a bench build: SQLite commits with "
                 "synchronous=" TARNIX_TEXT(TARNIX_SQLITE_SYNCHRONOUS));
#else
        c.script("PRAGMA synchronous=FULL");
#endif
    }
    // No copy of the plain text is left in the file: the WAL is copied back and
    // truncated, and the file rebuilt (secure_delete zeroes what the update freed;
    // VACUUM drops the free pages, with its temporary copy in memory).
    std::string after_sealing(SqlConnection& c, size_t) override {
        auto checkpoint = [&] {
            auto truncate = c.query("PRAGMA wal_checkpoint(TRUNCATE)");
            if (!truncate->next() || truncate->integer(0) != 0)
                throw std::runtime_error("cannot truncate the WAL after sealing the passwords: "
                                         "another process holds the database");
        };
        checkpoint();
        c.script("PRAGMA temp_store=MEMORY");
        c.script("VACUUM");
        checkpoint();
        return "WAL truncated and file vacuumed";
    }

private:
    SqliteConnection connection_;
    std::mutex mutex_;
    sqlite3* ping_db_;
    std::mutex ping_mutex_;
};

// How long a connection waits for another process's lock (a backup, the sqlite3 shell,
// an admin rekey or a server beside it).
constexpr int kBusyMs = 5000;

// SQLite's own busy time-out sleeps up to 100 ms between tries. A process waiting for
// the write lock of a busy server (admin rekey) then misses every gap between the
// server's short transactions and can wait out its whole time-out again and again.
// Trying again every millisecond takes the next gap.
int retry_every_millisecond(void* limit, int tries) {
    if (tries >= *static_cast<const int*>(limit))
        return 0;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
    return 1;
}

} // namespace

std::unique_ptr<Database> open_sqlite_database(const std::string& path, std::string& error) {
    // The file holds passwords (sealed, or without a key in plain text): for its owner
    // only, also when an older copy or a restore left it readable by others. SQLite gives
    // new -wal and -shm files the database's permissions, but keeps those of existing ones.
    int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    if (fd < 0) {
        error = "cannot open " + path + ": " + std::strerror(errno);
        return nullptr;
    }
    const bool owner_only = ::fchmod(fd, 0600) == 0;
    ::close(fd);
    if (!owner_only || !make_owner_only(path + "-wal") || !make_owner_only(path + "-shm")) {
        error = "cannot make " + path +
                " (and its -wal and -shm files) owner-only: " + std::strerror(errno);
        return nullptr;
    }
    sqlite3* db = nullptr;
    sqlite3* ping_db = nullptr;
    auto refuse = [&](sqlite3* which) {
        error = which ? sqlite3_errmsg(which) : "out of memory";
        sqlite3_close(db);
        sqlite3_close(ping_db);
        return nullptr;
    };
    if (sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, nullptr) !=
        SQLITE_OK)
        return refuse(db);
    // Other processes may hold the lock for a moment. Freed space is zeroed, so a
    // changed password leaves nothing in free pages.
    sqlite3_busy_handler(db, retry_every_millisecond, const_cast<int*>(&kBusyMs));
    if (sqlite3_exec(db, "PRAGMA secure_delete=ON", nullptr, nullptr, nullptr) != SQLITE_OK)
        return refuse(db);
    if (sqlite3_open_v2(path.c_str(), &ping_db, SQLITE_OPEN_READWRITE, nullptr) != SQLITE_OK)
        return refuse(ping_db);
    sqlite3_busy_timeout(ping_db, 1000);
    return std::make_unique<SqliteDatabase>(db, ping_db);
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
    // The copy holds the same passwords: owner-only from its first byte; an existing
    // file is not overwritten.
    if (!create_owner_only_file(dest, "", error)) {
        close_both();
        return false;
    }
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
