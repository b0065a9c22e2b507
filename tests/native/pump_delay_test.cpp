#include "platform/pump_delay.h"

#include <gtest/gtest.h>

#include <cstdint>

// The due time is relative (negative) and in 100-ns units, so a wrong factor
// shows as a wait a thousand times too long or too short.
TEST(PumpDueTime, UnitFactors) {
    EXPECT_EQ(pump_due_time(500, kMilliseconds), -5'000'000);
    EXPECT_EQ(pump_due_time(500, kSeconds), -5'000'000'000LL);
    EXPECT_EQ(pump_due_time(2, kMinutes), -1'200'000'000LL);
    EXPECT_EQ(pump_due_time(1, kHours), -36'000'000'000LL);
    EXPECT_EQ(pump_due_time(0, kMilliseconds), 0);
    // An amount too large for the timer waits as long as the timer can, instead
    // of overflowing the conversion.
    EXPECT_EQ(pump_due_time(2'000'000'000, kHours), INT64_MIN);
}

// A negative amount asks for a due time in the future's other direction, past
// what a signed 64-bit count holds: it is clamped as well, never converted out
// of range.
TEST(PumpDueTime, NegativeAmountsBeyondTheRangeClampToTheLargest) {
    EXPECT_EQ(pump_due_time(INT32_MIN, kHours), INT64_MAX);
    EXPECT_EQ(pump_due_time(-1, kMilliseconds), 10'000);
}
