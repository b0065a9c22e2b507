// The small interface under the store's one body (sql_store.h): a connection that
// begins and commits, runs a statement with parameters and reads its rows, and a
// database that lends connections and says what its backend can do. Each backend
// (store/sqlite, store/postgres) fills it; the logic above is written once.
//
// SQL is written once with `?` for each parameter; a backend that numbers its
// parameters rewrites them. The few texts that really differ between the dialects
// stand side by side (Dialect, and the pairs in sql_store.cpp).
//
// Threads: a connection is used by one thread at a time, the one holding its lease.
// Failures of the database are thrown as std::runtime_error.
#pragma once

#include <cstdint>
#include <memory>
#include <utility>
#include <string>
#include <vector>

namespace server {

// One parameter: bytes (names, passwords, addresses: GBK or UTF-8, kept exactly), a
// text column's value, or a whole number.
struct SqlValue {
    enum Kind { Bytes, Text, Integer };
    Kind kind;
    std::string text; // Bytes and Text
    int64_t number = 0;
};
namespace sql {
inline SqlValue bytes(std::string s) {
    return SqlValue{SqlValue::Bytes, std::move(s), 0};
}
inline SqlValue text(std::string s) {
    return SqlValue{SqlValue::Text, std::move(s), 0};
}
inline SqlValue integer(int64_t v) {
    return SqlValue{SqlValue::Integer, std::string(), v};
}
} // namespace sql
using SqlParams = std::vector<SqlValue>;

// The rows of one statement, read forward once. A column is read as the kind it was
// written as: bytes() for a byte column, text() for a text column.
class SqlRows {
public:
    virtual ~SqlRows() = default;
    // Moves to the next row; false when there is none.
    virtual bool next() = 0;
    virtual std::string bytes(int column) = 0;
    virtual std::string text(int column) = 0;
    virtual int64_t integer(int column) = 0;
};

class SqlConnection {
public:
    virtual ~SqlConnection() = default;
    // A transaction that holds the rows it changes (SQLite: the whole file) to commit.
    virtual void begin() = 0;
    virtual void commit() = 0;
    virtual void rollback() noexcept = 0;
    virtual std::unique_ptr<SqlRows> query(const char* sql, const SqlParams& params = {}) = 0;
    // A statement without rows to read; the number of rows it changed.
    virtual int64_t exec(const char* sql, const SqlParams& params = {}) = 0;
    // Several statements without parameters (the schema's steps).
    virtual void script(const char* sql) = 0;
};

// What differs between the backends, as data.
struct Dialect {
    bool postgres;
    // Challenges live in a table shared by every instance (true), or in this
    // process's memory (false: a single process serves the file).
    bool challenges_in_table;
    // Only this process uses the database: leases of a mail sender that was killed
    // mid-send are over at start-up.
    bool single_process;
};

// A connection lent for one operation, given back when the lease ends.
class SqlLease {
public:
    SqlLease(SqlConnection& c, std::shared_ptr<void> hold) : c_(&c), hold_(std::move(hold)) {}
    SqlConnection* operator->() const { return c_; }
    SqlConnection& operator*() const { return *c_; }

private:
    SqlConnection* c_;
    std::shared_ptr<void> hold_; // gives the connection back when the last copy goes
};

class Database {
public:
    virtual ~Database() = default;
    virtual const Dialect& dialect() const = 0;
    // Waits for a connection of its own (SQLite: the one, under a lock).
    virtual SqlLease lease() = 0;
    // Throws unless the database can take a write within about a second.
    virtual void ping() = 0;
    // Called before the schema is read or changed, outside any transaction.
    virtual void before_schema(SqlConnection&) {}
    // Inside the schema's transaction, before its version is read: instances
    // starting together migrate one after the other.
    virtual void lock_schema(SqlConnection&) {}
    // After plain-text passwords were sealed and committed: no copy of the old rows
    // is left in the database's files (`sealed` rows, for the notice).
    virtual std::string after_sealing(SqlConnection& c, size_t sealed) = 0;
};

// Rolled back unless committed.
class SqlTransaction {
public:
    explicit SqlTransaction(SqlConnection& c) : c_(c) { c_.begin(); }
    ~SqlTransaction() {
        if (!done_)
            c_.rollback();
    }
    SqlTransaction(const SqlTransaction&) = delete;
    SqlTransaction& operator=(const SqlTransaction&) = delete;
    void commit() {
        c_.commit();
        done_ = true;
    }

private:
    SqlConnection& c_;
    bool done_ = false;
};

} // namespace server
