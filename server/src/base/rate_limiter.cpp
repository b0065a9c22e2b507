#include "base/rate_limiter.h"

#include <algorithm>

namespace server {

bool RateLimiter::allow(const std::string& key, int64_t now_ms) {
    if (per_minute_ <= 0)
        return true;
    const double burst = per_minute_;
    std::lock_guard<std::mutex> lock(mutex_);
    auto found = by_key_.find(key);
    if (found == by_key_.end()) {
        while (!by_use_.empty() && by_use_.size() >= capacity_) {
            by_key_.erase(by_use_.back().key);
            by_use_.pop_back();
        }
        by_use_.push_front(Bucket{key, burst, now_ms});
        found = by_key_.emplace(key, by_use_.begin()).first;
    } else {
        by_use_.splice(by_use_.begin(), by_use_, found->second);
    }
    Bucket& b = *found->second;
    const double elapsed = static_cast<double>(std::max<int64_t>(0, now_ms - b.updated));
    b.tokens = std::min(burst, b.tokens + elapsed * per_minute_ / 60000.0);
    b.updated = now_ms;
    if (b.tokens < 1.0)
        return false;
    b.tokens -= 1.0;
    return true;
}

} // namespace server
