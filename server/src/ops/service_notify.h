// Telling systemd how the service is doing (sd_notify, unit Type=notify): READY=1
// once it serves, WATCHDOG=1 while it is alive, RELOADING=1 around a reload,
// STOPPING=1 as it stops. Started outside systemd (no NOTIFY_SOCKET), every call
// does nothing and no thread is started.
//
// Threads: construct, ready(), reloading() and stopping() on one thread (main's).
// The watchdog thread (a worker, worker.h) is the notifier's own and only calls
// `alive`.
#pragma once

#include <condition_variable>
#include <functional>
#include <mutex>
#include <string>
#include <thread>

namespace server {

class ServiceNotifier {
public:
    // `alive` says whether the server still serves; it is called every half watchdog
    // period and WATCHDOG=1 is sent only after it returned true. It may block (a
    // store that no longer answers blocks it): then nothing is sent and systemd
    // ends the service once WatchdogSec has passed.
    explicit ServiceNotifier(std::function<bool()> alive);
    // stopping() unless it was called; waits for a probe in progress.
    ~ServiceNotifier();
    ServiceNotifier(const ServiceNotifier&) = delete;
    ServiceNotifier& operator=(const ServiceNotifier&) = delete;

    // READY=1 with a status line; starts the watchdog when systemd asked for one
    // (WATCHDOG_USEC for this process). Also ends a reloading().
    void ready(const std::string& status);
    // RELOADING=1: a reload (SIGHUP) has begun; ready() when it is done.
    void reloading();
    // STOPPING=1, and the watchdog ends.
    void stopping();

private:
    void watch(long long interval_usec);

    std::function<bool()> alive_;
    std::mutex mutex_;
    std::condition_variable wake_;
    bool stop_ = false;
    bool stopped_ = false;
    std::thread watchdog_;
};

} // namespace server
