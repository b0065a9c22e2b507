#include "store.h"

#include <libpq-fe.h>

#include <atomic>
#include <condition_variable>
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
};

// Any fixed number, the same in every instance: only one migrates at a time.
const char kMigrationLock[] = "SELECT pg_advisory_xact_lock(7420861)";

// Expired challenges of accounts that never came back are swept this often.
constexpr unsigned kSweepEvery = 256;

class PostgresStore final : public Store {
public:
    explicit PostgresStore(const StoreConfig& config) : lifetime_(config.challenge_seconds) {}
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
        tx.commit();
    }

    CheckResult check_password(const std::string& name, const Attempt& who, int64_t now,
                               const std::function<bool(const std::string&)>& matches,
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
            [&](const std::string& stored) { return stored == old_password; }, policy);
        if (r.verdict == Verdict::Ok)
            run(c.get(), "UPDATE accounts SET password = $1 WHERE name = $2",
                {bytes(new_password), bytes(name)});
        tx.commit();
        return r;
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
        Lease c(*this);
        Transaction tx(c.get());
        // The code's row stays locked to the end, so its attempts count every try once.
        auto code = run(c.get(),
                        "SELECT id FROM codes WHERE email = $1 AND created >= $2 AND attempts < $3"
                        " ORDER BY created LIMIT 1 FOR UPDATE",
                        {bytes(email), number(codes_since), number(attempts_per_code)});
        if (code->rows() == 0)
            return SignUp::NoRecentCode;
        const int64_t id = code->integer(0, 0);
        // Of two instances creating one name, the second waits here and finds it taken.
        auto created = run(c.get(),
                           "INSERT INTO accounts (name, password, email, created)"
                           " VALUES ($1, $2, $3, $4) ON CONFLICT (name) DO NOTHING RETURNING 1",
                           {bytes(name), bytes(password), bytes(email), number(now)});
        if (created->rows() == 0) {
            run(c.get(), "UPDATE codes SET attempts = attempts + 1 WHERE id = $1", {number(id)});
            tx.commit();
            return SignUp::Exists;
        }
        run(c.get(), "DELETE FROM codes WHERE email = $1", {bytes(email)});
        tx.commit();
        return SignUp::Created;
    }

    bool issue_code(const std::string& email, const std::string& code, int64_t now,
                    int64_t not_after, int64_t forget_before,
                    const std::function<bool()>& deliver) override {
        Lease c(*this);
        Transaction tx(c.get());
        // Two instances sending to one address at once: the second waits, then sees
        // the first one's code.
        run(c.get(), "SELECT pg_advisory_xact_lock(hashtext(encode($1, 'hex')))", {bytes(email)});
        run(c.get(), "DELETE FROM codes WHERE created < $1", {number(forget_before)});
        if (run(c.get(), "SELECT 1 FROM codes WHERE email = $1 AND created > $2 LIMIT 1",
                {bytes(email), number(not_after)})
                ->rows() != 0)
            return false;
        run(c.get(), "INSERT INTO codes (email, code, created) VALUES ($1, $2, $3)",
            {bytes(email), Param{code, false}, number(now)});
        if (!deliver())
            throw std::runtime_error("cannot write the outbox");
        tx.commit();
        return true;
    }

    void put_challenge(const std::string& account, const std::string& text, int64_t now) override {
        Lease c(*this);
        if (puts_.fetch_add(1) % kSweepEvery == 0)
            run(c.get(), "DELETE FROM challenges WHERE expires <= $1", {number(now)});
        run(c.get(),
            "INSERT INTO challenges (account, text, expires) VALUES ($1, $2, $3)"
            " ON CONFLICT (account) DO UPDATE SET text = EXCLUDED.text, expires = EXCLUDED.expires",
            {bytes(account), bytes(text), number(now + lifetime_)});
    }

    std::string take_challenge(const std::string& account, int64_t now) override {
        Lease c(*this);
        // One statement: of two takers, only one gets the row.
        auto taken =
            run(c.get(), "DELETE FROM challenges WHERE account = $1 RETURNING text, expires",
                {bytes(account)});
        if (taken->rows() == 0 || taken->integer(0, 1) <= now)
            return std::string();
        return taken->blob(0, 0);
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
        run(c.get(), "DELETE FROM challenges WHERE account = $1", {bytes(name)});
        run(c.get(), "DELETE FROM devices WHERE account = $1", {bytes(name)});
        const bool found =
            run(c.get(), "DELETE FROM accounts WHERE name = $1 RETURNING 1", {bytes(name)})
                ->rows() == 1;
        tx.commit();
        return found;
    }

private:
    static constexpr char kAccountColumns[] =
        "SELECT name, email, created, failures, locked_until FROM accounts";

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

    // The account's row stays locked to the end of the transaction, so failures at
    // two instances at once are both counted, on the account's counter and on its
    // devices' alike.
    CheckResult check_locked(PGconn* c, const std::string& name, const Attempt& who, int64_t now,
                             const std::function<bool(const std::string&)>& matches,
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
            failures, locked_until, known, now, [&] { return matches(row->blob(0, 0)); }, policy);
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
    std::mutex mutex_;
    std::condition_variable available_;
    std::vector<PGconn*> idle_;
    std::atomic<unsigned> puts_{0};
};

} // namespace

std::unique_ptr<Store> open_postgres_store(const StoreConfig& config, std::string& error) {
    std::unique_ptr<PostgresStore> store(new PostgresStore(config));
    if (!store->connect(config.where, config.pool_size < 1 ? 1 : config.pool_size, error))
        return nullptr;
    try {
        store->migrate();
    } catch (const std::exception& e) {
        error = e.what();
        return nullptr;
    }
    return store;
}

} // namespace server
