// The server's log: one line per event on stderr. Every part of the server writes
// through here (one writer, one lock), so a line is never interleaved with another.
// Any thread may call it; a line that cannot be written is lost, nothing is thrown
// but std::bad_alloc. Callers never pass a password, proof or code.
#pragma once

#include <string>

namespace server {

// How lines are written: "text" (the local time, then the words) or "json" (one
// object per line: time in RFC 3339 UTC, level, event, and the event's fields).
enum class LogFormat { Text, Json };

// Chosen once at start-up, before any other thread logs.
void set_log_format(LogFormat format);

// One line of the server's own at its level. `event` says what it is about (JSON's
// "event": "server" for the server as a whole, "http", "recovery"). The text format
// writes the local time, "warning: " or "error: " for those levels, then `text`.
void log_info(const std::string& text, const char* event = "server");
void log_warning(const std::string& text, const char* event = "server");
void log_error(const std::string& text, const char* event = "server");

// A failure that keeps the server from starting (it exits next). The text format
// writes it as a command-line tool does, "tarnix-server: " and `text` without the
// time; JSON as level "error", event "start".
void log_start_failure(const std::string& text);

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
