#include "support/main_window_session_win.h"

#include "ui/controls_win.h"
#include "ui/gbk_win.h"
#include "app/composition_win.h"
#include "ui/main_window_win.h"

namespace testsupport {

bool MainWindowSession::start() {
    if (!server.ok()) {
        return false;
    }
    server.answer_with_body("ConnectionOk");
    server.answer_with_body("Tarnix|1.001|127.0.0.1/download/Tarnix.exe|" + gbk("更新说明") + "|" +
                            gbk("欢迎使用Tarnix") + "|2026-12-07|test|0");
    window = load_main_window(server.url());
    return window != nullptr && server.request_count() == kHandshakeRequests;
}

std::vector<ReceivedRequest> MainWindowSession::account_requests() const {
    std::vector<ReceivedRequest> all = server.requests();
    if (all.size() <= kHandshakeRequests) {
        return {};
    }
    return {all.begin() + kHandshakeRequests, all.end()};
}

bool MainWindowSession::show_page(const char* nav_button, int page) const {
    ui::fire_event(window, nav_button, ui::Event::Clicked);
    return ui::page(window, main_names::kPages) == page;
}

std::vector<SeenBox> MainWindowSession::click_watching(BoxWatcher& watcher,
                                                       const char* button) const {
    watcher.clear();
    ui::fire_event(window, button, ui::Event::Clicked);
    return watcher.boxes();
}

} // namespace testsupport
