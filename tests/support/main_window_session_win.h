#pragma once

#include "support/box_watcher_win.h"

#include <gtest/gtest.h>

#include "support/responder_win.h"

#include <windows.h>

#include <map>
#include <string>
#include <string_view>
#include <vector>

// The main window as a user meets it, in the test process: a scripted responder
// plays the account server, the handshake is pointed at it and answered
// ("ConnectionOk", then a status record of version 1.001), and the window is
// loaded, which runs the handshake. Afterwards the navigation and the sign-in
// button are enabled and the sign-in page shows; every further request the
// window sends goes to `server`.
namespace testsupport {

struct MainWindowSession {
    Responder server;
    HWND window = nullptr;

    // The handshake's two requests.
    static constexpr size_t kHandshakeRequests = 2;

    // Loads the window; false when the responder or the window did not start.
    bool start();

    // Requests after the handshake's.
    std::vector<ReceivedRequest> account_requests() const;

    // Clicks a navigation button; true when page `page` then shows.
    bool show_page(const char* nav_button, int page) const;
    // Clicks `button` and gives the boxes `watcher` saw meanwhile.
    std::vector<SeenBox> click_watching(BoxWatcher& watcher, const char* button) const;
};

// A test on one page of the main window, after a handshake with `session.server`.
class MainWindowPageTest : public testing::Test {
protected:
    MainWindowPageTest(const char* nav_button, int page) : nav_button_(nav_button), page_(page) {}
    void SetUp() override {
        ASSERT_TRUE(session.start());
        w = session.window;
        ASSERT_TRUE(session.show_page(nav_button_, page_));
    }

    MainWindowSession session;
    HWND w = nullptr;

private:
    const char* nav_button_;
    int page_;
};

} // namespace testsupport
