// Accounts and verification codes in one SQLite database.
//
// Each operation runs under one lock and, where it writes, in one transaction, so
// the check and the change it makes cannot interleave with another request's.
// SQLite errors are thrown as std::runtime_error.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>

struct sqlite3;

namespace server {

struct LockPolicy {
    int max_failures = 5;       // failures in a row that lock the account
    int64_t lock_seconds = 300; // how long it stays locked
};

enum class Verdict { Ok, Wrong, Locked };

enum class SignUp { Created, Exists, NoRecentCode };

// Makes an existing file readable and writable by its owner only (nothing when it
// does not exist); false when it exists and cannot be changed.
bool make_owner_only(const std::string& path);

class Store {
public:
    // Opens (creating when missing) the database at `path`, and makes it and its -wal
    // and -shm files readable by their owner only, also when they already existed.
    // Nothing and a reason in `error` when that fails.
    static std::unique_ptr<Store> open(const std::string& path, std::string& error);
    ~Store();
    Store(const Store&) = delete;
    Store& operator=(const Store&) = delete;

    // Checks a password against the account's, counting failures. An account that
    // does not exist is Wrong and leaves no trace. `matches` gets the stored password.
    Verdict check_password(const std::string& name, int64_t now,
                           const std::function<bool(const std::string&)>& matches,
                           const LockPolicy& policy);

    // Replaces the password after the same check as check_password with `old_password`.
    Verdict change_password(const std::string& name, const std::string& old_password,
                            const std::string& new_password, int64_t now, const LockPolicy& policy);

    // Creates the account when a code was issued for `email` at or after `codes_since`
    // and has had fewer than `attempts_per_code` sign-ups. Every attempt that finds such
    // a code uses one of its attempts, so one code cannot probe many names; the codes of
    // the address are used up by a successful sign-up.
    SignUp create_account(const std::string& name, const std::string& password,
                          const std::string& email, int64_t now, int64_t codes_since,
                          int attempts_per_code);

    // Stores a code unless the address got one after `not_after`; `deliver` runs inside
    // the transaction and a false result rolls it back (and throws).
    // False when the address got a code too recently. Codes older than `forget_before` go.
    bool issue_code(const std::string& email, const std::string& code, int64_t now,
                    int64_t not_after, int64_t forget_before, const std::function<bool()>& deliver);

    int64_t account_count();

private:
    explicit Store(sqlite3* db) : db_(db) {}
    void exec(const char* sql);
    Verdict check_locked(const std::string& name, int64_t now,
                         const std::function<bool(const std::string&)>& matches,
                         const LockPolicy& policy);

    sqlite3* db_;
    std::mutex mutex_;
};

} // namespace server
