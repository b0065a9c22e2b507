#include "store/event_log.h"

#include "base/clock.h"
#include "base/log.h"
#include "base/worker.h"

#include <chrono>
#include <exception>

namespace server {
namespace {

constexpr int64_t kPruneEverySeconds = 3600;
constexpr int64_t kRetryMs = 1000;
// Events gather this long after the first before they are written: under load one
// commit (one fsync with SQLite) carries many of them instead of one each.
constexpr int64_t kGatherMs = 50;

} // namespace

EventLog::EventLog(Store& store, EventLogConfig config)
    : store_(store), config_(std::move(config)) {
    if (enabled())
        thread_ = start_worker("event record", [this] { run(); });
}

EventLog::~EventLog() {
    stop();
}

void EventLog::record(NewEvent event) {
    if (!enabled())
        return;
    bool first = false;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (queued_.size() >= config_.max_queued) {
            ++dropped_;
            return;
        }
        first = queued_.empty();
        queued_.push_back(std::move(event));
    }
    // The writer waits for the first event only; the rest gather meanwhile.
    if (first)
        changed_.notify_one();
}

void EventLog::stop() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stopping_ = true;
    }
    changed_.notify_one();
    if (thread_.joinable())
        thread_.join();
}

void EventLog::prune(int64_t now) {
    if (config_.retention_seconds <= 0)
        return;
    try {
        const int64_t removed = store_.prune_events(now - config_.retention_seconds, now,
                                                    config_.key, config_.instance);
        if (removed > 0) {
            log_info("event record: removed " + std::to_string(removed) +
                         " records past the retention",
                     "events");
            if (metrics)
                metrics->events_written(1);
        }
    } catch (const std::exception& e) {
        log_error(std::string("event record: retention failed: ") + e.what(), "events");
    }
}

void EventLog::run() {
    int64_t next_prune = 0;
    std::unique_lock<std::mutex> lock(mutex_);
    for (;;) {
        changed_.wait_for(lock, std::chrono::seconds(kPruneEverySeconds),
                          [this] { return stopping_ || !queued_.empty(); });
        if (!stopping_ && !queued_.empty())
            changed_.wait_for(lock, std::chrono::milliseconds(kGatherMs),
                              [this] { return stopping_; });
        std::vector<NewEvent> batch;
        batch.swap(queued_);
        const size_t dropped = dropped_;
        dropped_ = 0;
        const bool stopping = stopping_;
        lock.unlock();
        if (dropped > 0)
            log_error("event record: queue full, " + std::to_string(dropped) +
                          " events not recorded",
                      "events");
        bool failed = false;
        if (!batch.empty()) {
            try {
                store_.append_events(batch, config_.key, config_.instance);
                if (metrics)
                    metrics->events_written(batch.size());
            } catch (const std::exception& e) {
                log_error(std::string("event record: ") + std::to_string(batch.size()) +
                              " events not written yet: " + e.what(),
                          "events");
                failed = true;
            }
        }
        const int64_t now = now_seconds();
        if (!stopping && now >= next_prune) {
            prune(now);
            next_prune = now + kPruneEverySeconds;
        }
        lock.lock();
        if (failed) {
            // Kept in front of what came meanwhile, within the bound.
            batch.insert(batch.end(), queued_.begin(), queued_.end());
            if (batch.size() > config_.max_queued)
                batch.resize(config_.max_queued);
            queued_.swap(batch);
            if (stopping) {
                log_error("event record: stopping with " + std::to_string(queued_.size()) +
                              " events not written",
                          "events");
                return;
            }
            changed_.wait_for(lock, std::chrono::milliseconds(kRetryMs),
                              [this] { return stopping_; });
            continue;
        }
        if (stopping && queued_.empty())
            return;
    }
}

} // namespace server
