// Sign-in challenges held in this process's memory (the SQLite store's): bounded,
// since a client can make the table grow. Every operation is O(log n) under a short
// lock, and the oldest entry goes first when the table is full.
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

} // namespace server
