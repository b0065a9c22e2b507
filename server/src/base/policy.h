// The server's policies that are not settings: each number written once here, for
// every part that applies it or tells of it (the store, the protocol, the recovery,
// the settings' help). Constants only: any thread, nothing to fail.
#pragma once

#include <cstddef>
#include <cstdint>

namespace server {

constexpr int64_t kHourSeconds = 3600;
constexpr int64_t kDaySeconds = 24 * kHourSeconds;

// A recovery link works this long, and its mail is worth sending only as long.
constexpr int64_t kLinkSeconds = 30 * 60;

// Client addresses whose request budgets are remembered at once; the least recently
// seen are forgotten first, so a flood of addresses cannot grow the table.
constexpr size_t kMaxTrackedAddresses = 100000;

// Wrong passwords in a row that lock a counter (the account's for clients it does
// not know, or one device's).
constexpr int kMaxPasswordFailures = 5;

// Notices of a sign-in from a new device mailed per account in 24 hours, at most.
constexpr int kNewDeviceNoticesPerDay = 3;

} // namespace server
