// The engine's connection limits: connections counted in all and per client address
// (its peer_key), from their accept until the answer that ends them has been sent.
// Not locked itself: the engine calls it under its own lock. Nothing throws but
// std::bad_alloc.
#pragma once

#include <string>
#include <unordered_map>

namespace server {

class ConnectionLimits {
public:
    ConnectionLimits(int max_total, int max_per_address)
        : max_total_(max_total), max_per_address_(max_per_address) {}

    // Whether one more connection from `key` fits.
    bool admits(const std::string& key) const {
        auto it = per_address_.find(key);
        return total_ < max_total_ && (it == per_address_.end() || it->second < max_per_address_);
    }

    // Counts a connection from `key`, or frees its place; `counted` is the
    // connection's own mark, so each happens once whoever calls it.
    void count(const std::string& key, bool& counted) {
        if (counted)
            return;
        counted = true;
        ++per_address_[key];
        ++total_;
    }
    void uncount(const std::string& key, bool& counted) {
        if (!counted)
            return;
        counted = false;
        auto it = per_address_.find(key);
        if (it != per_address_.end() && --it->second <= 0)
            per_address_.erase(it);
        --total_;
    }

private:
    const int max_total_;
    const int max_per_address_;
    std::unordered_map<std::string, int> per_address_;
    int total_ = 0;
};

} // namespace server
