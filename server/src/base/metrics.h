// What the server has done, counted for /metrics on the admin listener (the
// Prometheus text format). Labels come from the fixed sets below, never from what
// a client sent. Counting is lock-free (relaxed atomic adds), so the request path
// pays a few increments; any thread may count, and render() may run at any time.
#pragma once

#include "base/password_screen.h"

#include <atomic>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace server {

// What became of a request, in a fixed set (for the metrics).
enum class Outcome {
    Ok,
    Invalid,
    Wrong,
    Locked,
    Exists,
    NoCode,
    TooSoon,
    NoChallenge,
    RateLimited,
    Error,
    Count
};

// The protocol's commands, as metrics label them.
enum class Command {
    Connect,
    Status,
    Challenge,
    SignIn,
    SignUp,
    ChangePassword,
    SendCode,
    Other,
    Count
};

const char* command_label(Command c);
const char* outcome_label(Outcome o);

// The live rollout's figures (its version is the label: a fixed set of one, named by
// the operator), read from the store at each scrape.
struct RolloutFigures {
    std::string version;
    std::string state;
    int64_t percent = 0;
    int64_t offered = 0;
    int64_t complete = 0;
    int64_t repeated = 0;
};

// Figures the counters do not hold themselves, read at each scrape; one that throws
// is left out of that scrape.
struct Gauges {
    std::function<int64_t()> connections_open;
    // The mail queue's figures; unset: those metrics are left out.
    std::function<int64_t()> mail_queue_depth;
    std::function<int64_t()> mail_sent;
    std::function<int64_t()> mail_abandoned;
    // The live rollout, if any; unset: those metrics are left out.
    std::function<std::vector<RolloutFigures>()> rollouts;
};

class Metrics {
public:
    // Upper bounds of the request duration buckets, in seconds.
    static constexpr double kBuckets[] = {0.0005, 0.001, 0.0025, 0.005, 0.01, 0.025,
                                          0.05,   0.1,   0.25,   0.5,   1,    2.5};
    static constexpr size_t kBucketCount = sizeof kBuckets / sizeof kBuckets[0];

    // One protocol request answered after `seconds`.
    void request(Command c, Outcome o, double seconds);
    void account_locked() { account_locks_.fetch_add(1, std::memory_order_relaxed); }
    void store_error() { store_errors_.fetch_add(1, std::memory_order_relaxed); }
    // Password recovery: a link handed to the mail queue; a password set through one.
    void reset_mail() { reset_mails_.fetch_add(1, std::memory_order_relaxed); }
    void password_reset() { password_resets_.fetch_add(1, std::memory_order_relaxed); }
    // Records appended to the security event record.
    void events_written(uint64_t n) { events_written_.fetch_add(n, std::memory_order_relaxed); }
    // New-device sign-in notices queued.
    void new_device_notice() { new_device_notices_.fetch_add(1, std::memory_order_relaxed); }
    // A new password the screen refused, by its reason.
    void password_refused(Refusal why) {
        refusals_[static_cast<size_t>(why)].fetch_add(1, std::memory_order_relaxed);
    }

    // The whole exposition, ending with a newline.
    std::string render(const Gauges& gauges) const;

private:
    static constexpr size_t kCommands = static_cast<size_t>(Command::Count);
    static constexpr size_t kOutcomes = static_cast<size_t>(Outcome::Count);
    using Counter = std::atomic<uint64_t>;

    Counter requests_[kCommands][kOutcomes] = {};
    // Per command: counts per bucket (not cumulative; summed when rendered), the
    // count above the last bound, and the total in microseconds.
    Counter buckets_[kCommands][kBucketCount + 1] = {};
    Counter micros_[kCommands] = {};
    Counter account_locks_{0};
    Counter store_errors_{0};
    Counter reset_mails_{0};
    Counter password_resets_{0};
    Counter events_written_{0};
    Counter new_device_notices_{0};
    Counter refusals_[static_cast<size_t>(Refusal::Count)] = {};
};

} // namespace server
