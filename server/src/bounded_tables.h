// Bounded in-memory tables that a client can make grow: sign-in challenges and
// per-address request budgets. Every operation is O(log n) under a short lock,
// and the oldest entry goes first when a table is full.
#pragma once

#include <cstdint>
#include <list>
#include <map>
#include <mutex>
#include <string>
#include <vector>

namespace server {

// Sign-in challenges by account and asker (store.h): each asker keeps its
// `per_asker` most recent, the oldest going first, and `capacity` are kept in all.
// All live equally long, so the order of issue is also the order of expiry.
class ChallengeStore {
public:
    ChallengeStore(size_t capacity, size_t per_asker, int64_t lifetime_seconds)
        : capacity_(capacity), per_asker_(per_asker), lifetime_(lifetime_seconds) {}

    void put(const std::string& account, const std::string& asker, const std::string& text,
             int64_t now);
    // Removes the asker's challenges and returns the live ones, the newest first.
    std::vector<std::string> take(const std::string& account, const std::string& asker,
                                  int64_t now);
    // Removes every challenge of the account, whoever asked.
    void drop(const std::string& account);
    size_t size();

private:
    struct Entry {
        std::string key; // the account, a zero byte, the asker
        std::string text;
        int64_t expires;
    };
    using Position = std::list<Entry>::iterator;
    void erase(Position it);

    const size_t capacity_;
    const size_t per_asker_;
    const int64_t lifetime_;
    std::mutex mutex_;
    std::list<Entry> by_age_;                             // oldest first
    std::map<std::string, std::vector<Position>> by_key_; // each oldest first
};

// A token bucket per client address: `per_minute` requests at once, refilled at
// that rate. Addresses not seen for the longest time are forgotten first when the
// table is full (a forgotten address starts with a full bucket again).
class RateLimiter {
public:
    RateLimiter(int per_minute, size_t capacity) : per_minute_(per_minute), capacity_(capacity) {}

    // True when `key` may make one more request at `now_ms`; 0 per minute is no limit.
    bool allow(const std::string& key, int64_t now_ms);

private:
    struct Bucket {
        std::string key;
        double tokens;
        int64_t updated;
    };
    const int per_minute_;
    const size_t capacity_;
    std::mutex mutex_;
    std::list<Bucket> by_use_; // most recently used first
    std::map<std::string, std::list<Bucket>::iterator> by_key_;
};

} // namespace server
