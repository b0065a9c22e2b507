#include "platform/pump_delay.h"

#include <cstdint>

int64_t pump_due_time(int32_t amount, int32_t unit) {
    double factor = 1;
    switch (unit) {
    case kSeconds:
        factor = 1000;
        break;
    case kMinutes:
        factor = 60000;
        break;
    case kHours:
        factor = 3600000;
        break;
    default:
        break;
    }
    // Computed in double precision and truncated toward zero, as the timer wants it.
    const double due = static_cast<double>(amount) * factor * -10000.0;
    if (due <= -9.2e18) {
        return INT64_MIN;
    }
    return static_cast<int64_t>(due);
}
