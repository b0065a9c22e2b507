#pragma once

#include <atomic>
#include <cstdint>
#include <string>
#include <vector>

// Everything the program keeps for the whole run. Created at start-up with these
// initial values, released only by the exit routine.
struct AppState {
    std::string endpoint_url;               // set by the handshake start
    std::vector<std::string> status_record; // the server's status fields (GBK)
    // The handshake worker publishes its results through `handshake_done`
    // (release store, read with acquire loads); only bit 0 is tested.
    std::atomic<int32_t> handshake_done{0};
    std::atomic<int32_t> handshake_failed{0};
    uintptr_t gdiplus_token = 0;
    std::string stored_verification_code;
};

// The one instance, created on first use. Every feature may read and write its
// own items here; no feature reaches anything else of the application.
AppState& app();
bool app_state_created();
