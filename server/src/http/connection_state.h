// The engine's state of one connection and of the request it is reading. Its own
// header, so the engine's file holds the engine's flow.
#pragma once

#include "http/proxy_gate.h"
#include "http/tls.h"

#include <microhttpd.h>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <string>

namespace server {

// One request while it is being read: kept by its connection and begun anew for
// each of its requests, so a kept-alive request allocates nothing here.
struct Pending {
    std::string body;
    bool too_large = false;
    bool answered = false;
    bool closing = false; // the connection ends after this answer
    std::string url;
    std::string method;

    void begin(const char* request_url, const char* request_method) {
        body.clear();
        too_large = answered = closing = false;
        url.assign(request_url ? request_url : "");
        method.assign(request_method ? request_method : "");
    }
};

// One open connection, from its accept to its close; the library keeps it as the
// connection's socket context. Only its loop's thread uses it, but for `deadline`
// (the time by which its request must have arrived, 0 while an answer is being
// sent), which the watchdog reads, and `counted` (whether it counts against the
// limits), changed under the mutex. The peer is described once, not per request.
struct ConnectionState : TlsContext {
    int fd = -1;
    std::atomic<int64_t> deadline{0};
    std::string client; // the peer as text
    std::string key;    // and as the limits count it
    bool counted = false;
    Arrival arrival; // what the proxy in front said of it (proxy_gate.h)
    Pending pending;
    // The last plain answer sent on this connection, with a reference of ours:
    // a client that asks the same again (a connection check, a readiness probe)
    // gets it queued as it is. Making an answer and adding its header cost the
    // library about as much as all the rest of a kept-alive request.
    struct LastAnswer {
        MHD_Response* response = nullptr;
        int status = 0;
        const char* content_type = "";
        std::string body;
    } last;

    ConnectionState() = default;
    ConnectionState(const ConnectionState&) = delete;
    ConnectionState& operator=(const ConnectionState&) = delete;
    ~ConnectionState() {
        if (last.response)
            MHD_destroy_response(last.response);
    }
};

// Answers longer than this are not kept for the next request.
constexpr size_t kLastAnswerBytes = 1024;

} // namespace server
