// The request headers the engine reads itself (to count connections and to refuse
// a body over the limit before it arrives), found in one pass over the headers.
#pragma once

#include <microhttpd.h>

#include <cstdint>

namespace server {

struct FramingHeaders {
    const char* connection = nullptr;     // the first Connection header's value
    const char* content_length = nullptr; // the first Content-Length header's value
};

FramingHeaders framing_headers(MHD_Connection* c);

// A Content-Length value as the library accepted it (digits), saturated rather
// than wrapped: anything past 15 digits is over every limit anyway.
uint64_t declared_length(const char* value);

// Whether the client asked for its connection to end after this request: HTTP/1.0
// unless it asked to keep it, or "Connection: close". This only decides when the
// connection stops counting against the limits; a guess that it closes, where the
// library keeps it after all, is set right by its next request.
bool client_closes(const char* version, const char* connection);

} // namespace server
