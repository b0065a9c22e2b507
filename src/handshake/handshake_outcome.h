#pragma once

#include <string>
#include <string_view>
#include <vector>

// What the status step makes of the worker's result, free of window code.

enum class HandshakeOutcome {
    Connected,  // sign-in page shown, announcement and version filled
    Failed,     // "连接服务器失败" shown on the connecting page (or the program is ending)
    NewVersion, // the server names another client version: the update flow is the caller's
};

struct StatusView {
    HandshakeOutcome outcome = HandshakeOutcome::Failed;
    std::string version;        // field 2 (Connected)
    std::string announcement;   // field 5; empty: no scrolling (Connected)
    int announcement_width = 0; // 8 pixels a byte at 96 DPI (design units)
};

// `failed`: the connection test failed or the record is not complete.
StatusView read_status(bool failed, const std::vector<std::string>& record,
                       std::string_view own_version);
