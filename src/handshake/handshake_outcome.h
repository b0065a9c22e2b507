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
    std::string version;        // for the version label (Connected)
    std::string announcement;   // field 5; empty: no scrolling (Connected)
    int announcement_width = 0; // 8 pixels a byte at 96 DPI (design units)
    // Why the server's version was not taken for an update, for the debug
    // output (Connected only forward); empty otherwise.
    std::string kept_own_version;
};

// `failed`: the connection test failed or the record is not complete.
// Without `only_forward` any version text other than `own_version` is a new
// version. With it (a publisher key is built in: a validly signed older
// release must not replace a newer one), only a version that orders after
// `own_version` (handshake/version_order.h) is; an older, equal or
// unreadable one connects as the own version does, and the label shows
// `own_version`.
StatusView read_status(bool failed, const std::vector<std::string>& record,
                       std::string_view own_version, bool only_forward);
