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
    // Clamped on both sides: a double beyond the int64 range has no defined
    // conversion. 9.2e18 is just inside it, where the limits themselves are not.
    if (due <= -9.2e18) {
        return INT64_MIN;
    }
    if (due >= 9.2e18) {
        return INT64_MAX;
    }
    return static_cast<int64_t>(due);
}
