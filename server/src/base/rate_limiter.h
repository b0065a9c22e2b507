// Per-address request budgets: bounded, since a client can make the table grow.
// Every operation is O(log n) under a short lock.
#pragma once

#include <cstdint>
#include <list>
#include <map>
#include <mutex>
#include <string>

namespace server {

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
