// The server's log: one line per event on stderr. Every part of the server writes
// through here (one writer, one lock), so a line is never interleaved with another.
// Any thread may call it. Callers never pass a password, proof or code.
#pragma once

#include <string>

namespace server {

// Writes one line, prefixed with the local time, to stderr (JSON: event "server",
// level "warn" when the text starts with "warning:").
void log_line(const std::string& text);

// How lines are written: "text" (the time, then the words) or "json" (one object
// per line: time in RFC 3339 UTC, level, event, and the event's fields).
enum class LogFormat { Text, Json };

// Chosen once at start-up, before any other thread logs.
void set_log_format(LogFormat format);

// A text line under an event name other than "server" (JSON's `event`).
void log_event(const char* event, const std::string& text);

// One protocol request. `account` is as the client sent it (GBK, any bytes);
// `result` never holds a password, proof or code.
struct RequestRecord {
    const std::string& client;
    const std::string& command;
    const std::string& account;
    const std::string& result;
    double duration_ms;
};
void log_request(const RequestRecord& r);

// JSON string contents for `utf8`: quotes, backslashes and control characters
// escaped, bytes that are not UTF-8 replaced by U+FFFD (for the tests too).
void append_json_string(std::string& out, const std::string& utf8);

} // namespace server
