// The thread that empties the mail queue through a transport (one per instance;
// with PostgreSQL every instance runs one on the shared queue).
//
// Each mail is tried at once, and after a failure that may pass (no connection, a
// time-out, a 4xx reply) again after 5 s, then 10, 20, 40 and every 60 s, until
// it expires; a 5xx reply to the mail itself abandons it at once (an operator can
// queue it again until it expires: tarnix-server admin mail retry). One line is
// logged per attempt: queue id, the recipient's domain, outcome, reply code.
//
// Threads: start, stop, wake and the counters may be called from any thread; the
// sender's own thread is a worker (worker.h). Store failures are logged and tried
// again later; nothing is thrown.
#pragma once

#include "mail/mail.h"
#include "store/store.h"

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <thread>

namespace server {

struct SenderConfig {
    int64_t lease_seconds = 180; // a claimed mail is another sender's again after this
    int64_t first_retry = 5;     // seconds after the first failure
    int64_t longest_retry = 60;  // the doubling stops here
    int64_t poll_seconds = 2;    // the queue is looked at this often (others' mails)
};

// What the sender has done since start, for the metrics (read with relaxed order).
struct MailCounts {
    std::atomic<int64_t> sent{0};
    std::atomic<int64_t> abandoned{0};
    std::atomic<int64_t> attempts{0};
};

// Seconds to wait after the n-th failed attempt (n >= 1).
int64_t retry_delay(int failures, const SenderConfig& config);

class MailSender {
public:
    MailSender(Store& store, MailTransport& transport, SenderConfig config);
    ~MailSender() { stop(); }
    MailSender(const MailSender&) = delete;
    MailSender& operator=(const MailSender&) = delete;

    void start();
    // Ends a send in progress and the thread; returns when it is gone.
    void stop();
    // A mail was queued: look at once.
    void wake();

    const MailCounts& counts() const { return counts_; }

private:
    void run();
    // Sends what is due; false when the queue could not be read.
    void drain();

    Store& store_;
    MailTransport& transport_;
    const SenderConfig config_;
    MailCounts counts_;
    std::mutex mutex_;
    std::condition_variable changed_;
    bool woken_ = false;
    bool stopping_ = false;
    std::thread thread_;
};

} // namespace server
