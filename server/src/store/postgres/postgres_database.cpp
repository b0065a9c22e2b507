#include "store/postgres/postgres_database.h"

#include "store/store.h"

#include <libpq-fe.h>

#include <condition_variable>
#include <cstring>
#include <mutex>
#include <stdexcept>
#include <unordered_map>
#include <vector>

namespace server {
namespace {

// The SQL's `?` as PostgreSQL's numbered parameters ($1, $2, ...). The store's texts
// hold no `?` inside a quoted literal.
std::string numbered(const char* sql) {
    std::string out;
    int n = 0;
    for (const char* p = sql; *p; ++p) {
        if (*p == '?')
            out += "$" + std::to_string(++n);
        else
            out += *p;
    }
    return out;
}

class PostgresRows final : public SqlRows {
public:
    explicit PostgresRows(PGresult* r) : r_(r) {}
    ~PostgresRows() override { PQclear(r_); }
    PostgresRows(const PostgresRows&) = delete;
    PostgresRows& operator=(const PostgresRows&) = delete;

    bool next() override { return ++row_ < PQntuples(r_); }
    // A bytea column, sent as text (hex) and turned back into its bytes.
    std::string bytes(int col) override {
        size_t n = 0;
        unsigned char* p =
            PQunescapeBytea(reinterpret_cast<const unsigned char*>(PQgetvalue(r_, row_, col)), &n);
        if (!p)
            throw std::runtime_error("out of memory");
        std::string out(reinterpret_cast<char*>(p), n);
        PQfreemem(p);
        return out;
    }
    std::string text(int col) override { return PQgetvalue(r_, row_, col); }
    int64_t integer(int col) override { return std::stoll(PQgetvalue(r_, row_, col)); }

private:
    PGresult* r_;
    int row_ = -1;
};

class PostgresConnection final : public SqlConnection {
public:
    explicit PostgresConnection(PGconn* c) : c_(c) {}
    ~PostgresConnection() override { PQfinish(c_); }
    PostgresConnection(const PostgresConnection&) = delete;
    PostgresConnection& operator=(const PostgresConnection&) = delete;

    PGconn* get() const { return c_; }
    void begin() override { exec("BEGIN", {}); }
    void commit() override { exec("COMMIT", {}); }
    void rollback() noexcept override { PQclear(PQexec(c_, "ROLLBACK")); }
    std::unique_ptr<SqlRows> query(const char* sql, const SqlParams& params) override {
        return std::make_unique<PostgresRows>(run(sql, params));
    }
    int64_t exec(const char* sql, const SqlParams& params) override {
        PostgresRows done(run(sql, params));
        const char* changed = PQcmdTuples(run_result_);
        return changed && *changed ? std::stoll(changed) : 0;
    }
    void script(const char* sql) override {
        PGresult* r = PQexec(c_, sql);
        if (PQresultStatus(r) != PGRES_COMMAND_OK) {
            std::string message = std::string("schema: ") + PQerrorMessage(c_);
            PQclear(r);
            throw std::runtime_error(message);
        }
        PQclear(r);
    }

private:
    // Runs one statement; a failed one throws (and inside a transaction leaves it to
    // be rolled back). Bytes go as binary bytea, texts and numbers as text.
    PGresult* run(const char* sql, const SqlParams& params) {
        auto found = numbered_.find(sql);
        if (found == numbered_.end())
            found = numbered_.emplace(sql, numbered(sql)).first;
        std::vector<std::string> numbers(params.size());
        std::vector<const char*> values;
        std::vector<int> lengths, formats;
        for (size_t i = 0; i < params.size(); ++i) {
            const SqlValue& p = params[i];
            if (p.kind == SqlValue::Integer)
                numbers[i] = std::to_string(p.number);
            const std::string& v = p.kind == SqlValue::Integer ? numbers[i] : p.text;
            values.push_back(v.data());
            lengths.push_back(static_cast<int>(v.size()));
            formats.push_back(p.kind == SqlValue::Bytes ? 1 : 0);
        }
        PGresult* r = PQexecParams(c_, found->second.c_str(), static_cast<int>(params.size()),
                                   nullptr, values.data(), lengths.data(), formats.data(), 0);
        const ExecStatusType st = PQresultStatus(r);
        if (st != PGRES_COMMAND_OK && st != PGRES_TUPLES_OK) {
            std::string message = found->second + ": " + PQerrorMessage(c_);
            PQclear(r);
            throw std::runtime_error(message);
        }
        run_result_ = r;
        return r;
    }

    PGconn* c_;
    PGresult* run_result_ = nullptr; // the last statement's, while its rows live
    // Each text's numbered form, by the text's address: the store's texts are literals.
    std::unordered_map<const char*, std::string> numbered_;
};

// A pool of connections, each lent to one operation at a time; a broken one is reset
// when it comes back.
class PostgresDatabase final : public Database {
public:
    PostgresDatabase() = default;
    PostgresDatabase(const PostgresDatabase&) = delete;
    PostgresDatabase& operator=(const PostgresDatabase&) = delete;

    bool connect(const std::string& uri, int pool_size, std::string& error) {
        for (int i = 0; i < pool_size; ++i) {
            PGconn* c = PQconnectdb(uri.c_str());
            if (PQstatus(c) != CONNECTION_OK) {
                error = PQerrorMessage(c);
                PQfinish(c);
                return false;
            }
            all_.push_back(std::make_unique<PostgresConnection>(c));
            idle_.push_back(all_.back().get());
        }
        return true;
    }

    const Dialect& dialect() const override {
        static const Dialect kPostgres{true, true, false};
        return kPostgres;
    }
    SqlLease lease() override {
        PostgresConnection* c = nullptr;
        {
            std::unique_lock<std::mutex> lock(mutex_);
            available_.wait(lock, [&] { return !idle_.empty(); });
            c = idle_.back();
            idle_.pop_back();
        }
        std::shared_ptr<void> back(c, [this](void* p) {
            auto* given = static_cast<PostgresConnection*>(p);
            if (PQstatus(given->get()) != CONNECTION_OK)
                PQreset(given->get());
            {
                std::lock_guard<std::mutex> lock(mutex_);
                idle_.push_back(given);
            }
            available_.notify_one();
        });
        return SqlLease(*c, std::move(back));
    }
    void ping() override { lease()->exec("SELECT 1"); }
    // Any fixed number, the same in every instance.
    void lock_schema(SqlConnection& c) override { c.exec("SELECT pg_advisory_xact_lock(7420861)"); }
    // The old row versions go from the table's files (not from PostgreSQL's WAL or
    // from backups made before).
    std::string after_sealing(SqlConnection& c, size_t) override {
        c.script("VACUUM FULL accounts");
        return "table accounts rewritten (VACUUM FULL)";
    }

private:
    std::vector<std::unique_ptr<PostgresConnection>> all_;
    std::mutex mutex_;
    std::condition_variable available_;
    std::vector<PostgresConnection*> idle_;
};

bool loopback_or_socket(const std::string& host) {
    return host.empty() || host[0] == '/' || host[0] == '@' || host == "localhost" ||
           host == "::1" || host.rfind("127.", 0) == 0;
}

} // namespace

std::unique_ptr<Database> open_postgres_database(const std::string& uri, int pool_size,
                                                 std::string& error) {
    auto db = std::make_unique<PostgresDatabase>();
    if (!db->connect(uri, pool_size < 1 ? 1 : pool_size, error))
        return nullptr;
    return db;
}

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
        if (!loopback_or_socket(host) && remote.empty())
            remote = host;
        start = comma + 1;
    }
    if (remote.empty())
        return std::string();
    return "warning: the database at " + remote +
           " is reached without sslmode=verify-full: what the server stores and reads"
           " crosses the network unverified (add ?sslmode=verify-full&sslrootcert=FILE)";
}

std::vector<std::string> durability_warnings(SqlConnection& c) {
    std::vector<std::string> out;
    auto setting = [&](const char* sql) {
        auto rows = c.query(sql);
        return rows->next() ? rows->text(0) : std::string();
    };
    const std::string commit = setting("SHOW synchronous_commit");
    if (commit != "on" && commit != "remote_apply")
        out.push_back("warning: the database runs with synchronous_commit=" + commit +
                      ": an answer such as 注册成功 may be given for a commit that a crash "
                      "of the database then loses (set synchronous_commit=on)");
    const std::string fsync = setting("SHOW fsync");
    if (fsync != "on")
        out.push_back("warning: the database runs with fsync=" + fsync +
                      ": committed accounts and passwords may be lost in a power cut");
    return out;
}

} // namespace server
