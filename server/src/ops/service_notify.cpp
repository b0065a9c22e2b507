#include "ops/service_notify.h"

#include "base/worker.h"

#include <chrono>
#include <cstdint>
#include <utility>

#include <systemd/sd-daemon.h>

namespace server {

ServiceNotifier::ServiceNotifier(std::function<bool()> alive) : alive_(std::move(alive)) {}

ServiceNotifier::~ServiceNotifier() {
    stopping();
}

void ServiceNotifier::ready(const std::string& status) {
    // sd_notify returns 0 without NOTIFY_SOCKET: not under systemd, nothing to tell.
    if (sd_notify(0, ("READY=1\nSTATUS=" + status).c_str()) <= 0)
        return;
    uint64_t usec = 0;
    if (!watchdog_.joinable() && sd_watchdog_enabled(0, &usec) > 0 && usec > 0)
        watchdog_ = start_worker("the systemd watchdog",
                                 [this, usec] { watch(static_cast<long long>(usec / 2)); });
}

void ServiceNotifier::reloading() {
    sd_notify(0, "RELOADING=1");
}

void ServiceNotifier::stopping() {
    if (stopped_)
        return;
    stopped_ = true;
    sd_notify(0, "STOPPING=1");
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stop_ = true;
    }
    wake_.notify_all();
    if (watchdog_.joinable())
        watchdog_.join();
}

// Half the period systemd allows, so one late probe is not yet a missed one.
void ServiceNotifier::watch(long long interval_usec) {
    const auto interval = std::chrono::microseconds(interval_usec);
    std::unique_lock<std::mutex> lock(mutex_);
    while (!stop_) {
        lock.unlock();
        bool ok = false;
        try {
            ok = alive_();
        } catch (...) {
            ok = false;
        }
        if (ok)
            sd_notify(0, "WATCHDOG=1");
        lock.lock();
        wake_.wait_for(lock, interval, [this] { return stop_; });
    }
}

} // namespace server
