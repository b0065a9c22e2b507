#include "account/account_win.h"

#include "account/account_flows.h"
#include "app/app_state.h"
#include "protocol/md5_win.h"
#include "protocol/server_request_win.h"
#include "ui/controls_win.h"
#include "ui/info_box_win.h"
#include "ui/main_window_win.h"
#include "ui/timed_notice_win.h"

namespace {

// The main window as the flows see it.
class MainWindowPage : public AccountPage {
public:
    std::string text(const char* control) override { return ui::text(main_window(), control); }
    void set_text(const char* control, std::string_view value) override {
        ui::set_text(main_window(), control, value);
    }
    void set_disabled(const char* control, bool disabled) override {
        ui::set_disabled(main_window(), control, disabled);
    }
    void set_interval(const char* timer, unsigned ms) override {
        ui::set_interval(main_window(), timer, ms);
    }
    void info_box(std::string_view message) override { ::info_box(message); }
    void timed_notice(std::string_view message) override { show_timed_notice(message, 0u); }
};

// The server at the application's endpoint, and CryptoAPI's MD5.
class EndpointServer : public AccountServer {
public:
    std::string request(std::string_view command, std::string_view parameters) override {
        return server_request(app().endpoint_url, command, parameters);
    }
    std::string md5_hex(std::string_view bytes) override { return ::md5_hex(bytes); }
};

} // namespace

void on_sign_in_clicked() {
    MainWindowPage page;
    EndpointServer server;
    sign_in_flow(page, server);
}

void on_get_code_clicked(int32_t& countdown) {
    MainWindowPage page;
    EndpointServer server;
    get_code_flow(page, server, app().stored_verification_code, countdown);
}

void on_code_timer_tick(int32_t& countdown) {
    MainWindowPage page;
    code_tick_flow(page, countdown);
}

void on_bind_email_changed() {
    app().stored_verification_code.clear();
}

void on_confirm_sign_up_clicked() {
    MainWindowPage page;
    EndpointServer server;
    sign_up_flow(page, server, app().stored_verification_code);
}

void on_confirm_change_clicked() {
    MainWindowPage page;
    EndpointServer server;
    password_change_flow(page, server);
}
