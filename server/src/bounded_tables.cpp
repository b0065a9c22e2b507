#include "bounded_tables.h"

#include <algorithm>

namespace server {

namespace {
// Expired challenges dropped per call at most, so no call pays for a long idle spell.
constexpr int kExpiredPerCall = 64;
} // namespace

void ChallengeStore::erase(std::list<Entry>::iterator it) {
    by_account_.erase(it->account);
    by_age_.erase(it);
}

void ChallengeStore::put(const std::string& account, const std::string& text, int64_t now) {
    std::lock_guard<std::mutex> lock(mutex_);
    auto found = by_account_.find(account);
    if (found != by_account_.end())
        erase(found->second);
    for (int i = 0; i < kExpiredPerCall && !by_age_.empty() && by_age_.front().expires <= now; ++i)
        erase(by_age_.begin());
    while (!by_age_.empty() && by_age_.size() >= capacity_)
        erase(by_age_.begin());
    by_age_.push_back(Entry{account, text, now + lifetime_});
    by_account_[account] = std::prev(by_age_.end());
}

std::string ChallengeStore::take(const std::string& account, int64_t now) {
    std::lock_guard<std::mutex> lock(mutex_);
    auto found = by_account_.find(account);
    if (found == by_account_.end())
        return std::string();
    std::string text = found->second->expires > now ? found->second->text : std::string();
    erase(found->second);
    return text;
}

size_t ChallengeStore::size() {
    std::lock_guard<std::mutex> lock(mutex_);
    return by_age_.size();
}

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
