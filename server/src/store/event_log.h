// A server's writer of the security event record (events.h): handlers hand it events
// and go on; its own thread appends what has gathered (for 50 ms after the first) in
// one transaction, so a request never waits for the record, and a burst costs one
// commit. Once an hour,
// with a retention, it removes the records older than that.
//
// What a crash loses: the events handed over in the last moments and not yet
// written (a clean stop writes them). A database that fails is logged and the events
// kept for the next round, up to the queue's bound; past it new events are dropped,
// counted and logged once per round.
//
// Threads: record() from any thread; the store is used from the writer's thread.
#pragma once

#include "base/metrics.h"
#include "store/store.h"

#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace server {

// Made from the settings (event_log_config in configs.h).
struct EventLogConfig {
    std::string key;               // 32 bytes; "" : no record is kept
    std::string instance;          // names this server in each record
    int64_t retention_seconds = 0; // records older than this are removed (0: kept)
    size_t max_queued = 100000;
};

class EventLog {
public:
    EventLog(Store& store, EventLogConfig config);
    ~EventLog();
    EventLog(const EventLog&) = delete;
    EventLog& operator=(const EventLog&) = delete;

    bool enabled() const { return !config_.key.empty(); }
    // Hands an event over; nothing happens without a key.
    void record(NewEvent event);
    // Writes what is queued and ends the thread.
    void stop();

    // Counts the events written, when set (before the first record()).
    Metrics* metrics = nullptr;

private:
    void run();
    void prune(int64_t now);

    Store& store_;
    const EventLogConfig config_;
    std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<NewEvent> queued_;
    size_t dropped_ = 0;
    bool stopping_ = false;
    std::thread thread_;
};

} // namespace server
