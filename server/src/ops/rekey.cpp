#include "ops/rekey.h"

#include "base/clock.h"

#include <chrono>
#include <stdexcept>
#include <thread>

namespace server {

RekeyReport rekey_all(Store& store, size_t batch,
                      const std::function<void(const std::string&)>& progress) {
    RekeyReport report;
    std::string after;
    int64_t next_report = 10000;
    int failures = 0; // steps failed in a row
    constexpr int kRetries = 10;
    for (;;) {
        const double start = monotonic_seconds();
        RekeyStep step;
        try {
            step = store.rekey_step(after, batch < 1 ? 1 : batch);
            failures = 0;
        } catch (const std::runtime_error& e) {
            // A server kept busy can hold the write lock past the busy time-out; the
            // step was rolled back and is tried again after a rest.
            if (++failures > kRetries)
                throw;
            if (progress)
                progress(std::string("step failed (") + e.what() + "), trying again");
            std::this_thread::sleep_for(std::chrono::milliseconds(200));
            continue;
        }
        if (step.examined == 0)
            break;
        // As long again without the write lock: a server waiting for it (SQLite's busy
        // handler retries every few milliseconds) gets in between two steps instead of
        // waiting for the whole walk.
        std::this_thread::sleep_for(std::chrono::duration<double>(monotonic_seconds() - start));
        report.examined += static_cast<int64_t>(step.examined);
        report.resealed += static_cast<int64_t>(step.resealed);
        report.unreadable.insert(report.unreadable.end(), step.unreadable.begin(),
                                 step.unreadable.end());
        if (progress && report.examined >= next_report) {
            progress(std::to_string(report.examined) + " accounts examined, " +
                     std::to_string(report.resealed) + " re-sealed");
            next_report += 10000;
        }
    }
    report.left = store.count_not_under_current_key();
    return report;
}

} // namespace server
