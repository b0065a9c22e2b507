// Where accounts, verification codes and sign-in challenges are kept.
//
// Two kinds: a SQLite file (the default; challenges stay in this process's memory)
// and a PostgreSQL database shared by any number of server instances (challenges
// in the database too, so an instance can answer a challenge another one gave).
// Every check and the change it makes are one transaction, so neither two requests
// of one process nor two instances racing on one account interleave them.
// Failures of the database are thrown as std::runtime_error.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

namespace server {

struct LockPolicy {
    int max_failures = 5;       // failures in a row that lock the account
    int64_t lock_seconds = 300; // how long it stays locked
};

enum class Verdict { Ok, Wrong, Locked };

// One more wrong password: counted, and at the policy's limit the account is
// locked until now + lock_seconds and the count starts again.
inline Verdict count_wrong_password(int64_t& failures, int64_t& locked_until, int64_t now,
                                    const LockPolicy& policy) {
    if (++failures < policy.max_failures)
        return Verdict::Wrong;
    failures = 0;
    locked_until = now + policy.lock_seconds;
    return Verdict::Locked;
}

enum class SignUp { Created, Exists, NoRecentCode };

// Makes an existing file readable and writable by its owner only (nothing when it
// does not exist); false when it exists and cannot be changed.
bool make_owner_only(const std::string& path);

struct StoreConfig {
    // A file path (SQLite) or a postgresql:// (or postgres://) connection URI.
    std::string where;
    int pool_size = 8;               // database connections (PostgreSQL)
    int64_t challenge_seconds = 120; // how long a challenge is good for
    size_t max_challenges = 100000;  // challenges held in memory at most (SQLite)
};

// True when `where` names a PostgreSQL database rather than a file.
bool is_postgres_uri(const std::string& where);

class Store {
public:
    // Opens the store, creating its schema on first use and upgrading an older one
    // in place. Nothing and a reason in `error` when that fails.
    static std::unique_ptr<Store> open(const StoreConfig& config, std::string& error);
    virtual ~Store() = default;

    // Checks a password against the account's, counting failures. An account that
    // does not exist is Wrong and leaves no trace. `matches` gets the stored password.
    virtual Verdict check_password(const std::string& name, int64_t now,
                                   const std::function<bool(const std::string&)>& matches,
                                   const LockPolicy& policy) = 0;

    // Replaces the password after the same check as check_password with `old_password`.
    virtual Verdict change_password(const std::string& name, const std::string& old_password,
                                    const std::string& new_password, int64_t now,
                                    const LockPolicy& policy) = 0;

    // Creates the account when a code was issued for `email` at or after `codes_since`
    // and has had fewer than `attempts_per_code` sign-ups. Every attempt that finds such
    // a code uses one of its attempts, so one code cannot probe many names; the codes of
    // the address are used up by a successful sign-up.
    virtual SignUp create_account(const std::string& name, const std::string& password,
                                  const std::string& email, int64_t now, int64_t codes_since,
                                  int attempts_per_code) = 0;

    // Stores a code unless the address got one after `not_after`; `deliver` runs inside
    // the transaction and a false result rolls it back (and throws).
    // False when the address got a code too recently. Codes older than `forget_before` go.
    virtual bool issue_code(const std::string& email, const std::string& code, int64_t now,
                            int64_t not_after, int64_t forget_before,
                            const std::function<bool()>& deliver) = 0;

    // Replaces the account's challenge (at most one each).
    virtual void put_challenge(const std::string& account, const std::string& text,
                               int64_t now) = 0;
    // Removes and returns the account's live challenge; "" when there is none. Of two
    // takers at once, one gets it.
    virtual std::string take_challenge(const std::string& account, int64_t now) = 0;

    virtual int64_t account_count() = 0;
};

std::unique_ptr<Store> open_sqlite_store(const StoreConfig& config, std::string& error);
std::unique_ptr<Store> open_postgres_store(const StoreConfig& config, std::string& error);

} // namespace server
