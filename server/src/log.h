// The server's log: one line per event on stderr. Every part of the server writes
// through here (one writer, one lock), so a line is never interleaved with another.
// Any thread may call it. Callers never pass a password, proof or code.
#pragma once

#include <string>

namespace server {

// Writes one line, prefixed with the local time, to stderr.
void log_line(const std::string& text);

} // namespace server
