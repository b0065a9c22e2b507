#include "store/challenges.h"

#include <algorithm>

namespace server {

namespace {
// Expired challenges dropped per call at most, so no call pays for a long idle spell.
constexpr int kExpiredPerCall = 64;

// An account name holds no zero byte (names are checked for control bytes first), so
// an account's keys are exactly those that start with it and a zero byte.
std::string challenge_key(const std::string& account, const std::string& asker) {
    std::string key = account;
    key += '\0';
    key += asker;
    return key;
}

} // namespace

void ChallengeStore::erase(Position it) {
    auto found = by_key_.find(it->key);
    if (found != by_key_.end()) {
        std::vector<Position>& of_key = found->second;
        of_key.erase(std::find(of_key.begin(), of_key.end(), it));
        if (of_key.empty())
            by_key_.erase(found);
    }
    by_age_.erase(it);
}

void ChallengeStore::put(const std::string& account, const std::string& asker,
                         const std::string& text, int64_t now) {
    std::lock_guard<std::mutex> lock(mutex_);
    std::string key = challenge_key(account, asker);
    auto found = by_key_.find(key);
    if (found != by_key_.end() && found->second.size() >= per_asker_)
        erase(found->second.front());
    for (int i = 0; i < kExpiredPerCall && !by_age_.empty() && by_age_.front().expires <= now; ++i)
        erase(by_age_.begin());
    while (!by_age_.empty() && by_age_.size() >= capacity_)
        erase(by_age_.begin());
    by_age_.push_back(Entry{key, text, now + lifetime_});
    by_key_[std::move(key)].push_back(std::prev(by_age_.end()));
}

std::vector<std::string> ChallengeStore::take(const std::string& account, const std::string& asker,
                                              int64_t now) {
    std::lock_guard<std::mutex> lock(mutex_);
    std::vector<std::string> live;
    auto found = by_key_.find(challenge_key(account, asker));
    if (found == by_key_.end())
        return live;
    std::vector<Position> of_key = std::move(found->second);
    by_key_.erase(found);
    for (auto it = of_key.rbegin(); it != of_key.rend(); ++it) {
        if ((*it)->expires > now)
            live.push_back(std::move((*it)->text));
        by_age_.erase(*it);
    }
    return live;
}

void ChallengeStore::drop(const std::string& account) {
    std::lock_guard<std::mutex> lock(mutex_);
    const std::string prefix = challenge_key(account, std::string());
    for (auto it = by_key_.lower_bound(prefix);
         it != by_key_.end() && it->first.compare(0, prefix.size(), prefix) == 0;) {
        for (Position p : it->second)
            by_age_.erase(p);
        it = by_key_.erase(it);
    }
}

size_t ChallengeStore::size() {
    std::lock_guard<std::mutex> lock(mutex_);
    return by_age_.size();
}

} // namespace server
