#pragma once

#include <cstdint>

// Unit codes of the message-pumping delay.
enum PumpUnit : int32_t { kMilliseconds = 0, kSeconds = 1, kMinutes = 2, kHours = 3 };

// Relative due time for a waitable timer (100-ns units, negative = relative) for
// `amount` of `unit`; an unknown unit counts as milliseconds. Values beyond
// the 64-bit range are clamped to its ends.
int64_t pump_due_time(int32_t amount, int32_t unit);
