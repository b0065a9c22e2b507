#include "rekey.h"

#include <chrono>
#include <thread>

namespace server {

RekeyReport rekey_all(Store& store, size_t batch,
                      const std::function<void(const std::string&)>& progress) {
    RekeyReport report;
    std::string after;
    int64_t next_report = 10000;
    for (;;) {
        const auto start = std::chrono::steady_clock::now();
        RekeyStep step = store.rekey_step(after, batch < 1 ? 1 : batch);
        if (step.examined == 0)
            break;
        // As long again without the write lock: a server waiting for it (SQLite's busy
        // handler retries every few milliseconds) gets in between two steps instead of
        // waiting for the whole walk.
        std::this_thread::sleep_for(std::chrono::steady_clock::now() - start);
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
