#include "app/composition_win.h"

#include "account/account_win.h"
#include "app/program_win.h"
#include "handshake/handshake_win.h"
#include "ui/gbk_win.h"
#include "ui/info_box_win.h"
#include "ui/main_window_win.h"
#include "update/update_window_win.h"
#include "build_config.h"

#include <memory>

using namespace main_names;
using ui::Event;

HWND create_main_window() {
    // The get-code button's lock, kept by the two bindings that use it.
    auto countdown = std::make_shared<int32_t>(0);
    return build_main_window(
        {
            {kClose, Event::Clicked, [] { end_program(0); }},
            {kSignIn, Event::Clicked, on_sign_in_clicked},
            {kGetCode, Event::Clicked, [countdown] { on_get_code_clicked(*countdown); }},
            {kCodeTimer, Event::Tick, [countdown] { on_code_timer_tick(*countdown); }},
            {kEmail, Event::Changed, on_bind_email_changed},
            {kConfirmSignUp, Event::Clicked, on_confirm_sign_up_clicked},
            {kConfirmChange, Event::Clicked, on_confirm_change_clicked},
        },
        [](HWND) { end_program(0); });
}

HWND load_main_window(const std::string& endpoint) {
    return load_main_window(endpoint, TARNIX_UPDATE_PUBLIC_KEY);
}

HWND load_main_window(const std::string& endpoint, std::string_view public_key_hex) {
    HWND hwnd = create_main_window();
    if (!hwnd) {
        return nullptr;
    }
    // The last steps of the creation handler: the handshake returns only after
    // the status step has applied the result.
    // A client that takes only signed updates takes only newer ones: a validly
    // signed older release is no update.
    if (handshake_start(endpoint, !public_key_hex.empty()) == HandshakeOutcome::NewVersion) {
        info_box(gbk("发现新版本，请立刻更新"));
        open_update_window(end_program, public_key_hex);
        DestroyWindow(hwnd);
    }
    return hwnd;
}
