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

ControlProbe::ControlProbe(HWND form, const std::vector<std::string>& names) {
    for (const std::string& name : names) {
        handles_[name] = ui::control(form, name);
    }
}

HWND ControlProbe::handle(std::string_view name) const {
    auto it = handles_.find(name);
    return it == handles_.end() ? nullptr : it->second;
}

bool ControlProbe::disabled(std::string_view name) const {
    HWND w = handle(name);
    return w && !IsWindowEnabled(w);
}

std::string ControlProbe::text(std::string_view name) const {
    wchar_t buf[512] = {};
    // Reads the stored text; unlike GetWindowText it sends no message to the
    // window's (busy) thread.
    InternalGetWindowText(handle(name), buf, 512);
    return narrow(buf);
}

} // namespace testsupport
