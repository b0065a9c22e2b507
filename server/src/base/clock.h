// The server's one clock: wall time for what is stored and shown, a monotonic
// clock for budgets and time-outs. Every file asks here, so a test or a change of
// time source has one place to look. Any thread may call these.
#pragma once

#include <cstdint>
#include <string>

namespace server {

// Seconds since 1970 (wall clock: stored times, lock ends, the status record).
int64_t now_seconds();

// Milliseconds of a monotonic clock (never jumps back): rate budgets, time-outs.
int64_t monotonic_ms();

// Seconds of the same monotonic clock, to the microsecond: durations to measure.
double monotonic_seconds();

// UTC as RFC 3339, "YYYY-MM-DDTHH:MM:SSZ" (for operators and machine-read logs).
std::string utc_time_text(int64_t seconds);

// UTC now as RFC 3339 to the millisecond, "YYYY-MM-DDTHH:MM:SS.mmmZ" (JSON logs).
std::string utc_now_text_ms();

// UTC as the date of HTTP and of mail headers, "Tue, 02 Jan 2024 03:04:05 " and `zone`
// ("GMT" for HTTP's IMF-fixdate, "+0000" for RFC 5322), without the C library's locale.
std::string rfc_date_text(int64_t seconds, const char* zone);

// Local time as "YYYY-MM-DD HH:MM:SS".
std::string local_time_text(int64_t seconds);
// The same with its offset from UTC, "YYYY-MM-DD HH:MM:SS UTC+08:00": for texts a
// reader elsewhere reads (mails), where a bare local time is hours off.
std::string zoned_time_text(int64_t seconds);

// Makes `zone` (an IANA name, "Asia/Shanghai") the process's local time zone; false
// when the system has no such zone. Before any thread starts: the C library's zone
// is the process's.
bool use_time_zone(const std::string& zone);
// Whether the system knows the IANA zone `zone`.
bool known_time_zone(const std::string& zone);

} // namespace server
