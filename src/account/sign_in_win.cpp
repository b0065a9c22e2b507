#include "app/app_state.h"
#include "account/account_rules.h"
#include "account/account_win.h"
#include "platform/secret_text.h"
#include "ui/timed_notice_win.h"
#include "protocol/md5_win.h"
#include "protocol/server_request_win.h"
#include "ui/controls_win.h"
#include "ui/gbk_win.h"
#include "ui/info_box_win.h"
#include "ui/main_window_win.h"

namespace {

void set_sign_in_busy(HWND w, bool busy) {
    ui::set_disabled(w, main_names::kSignIn, busy);
    ui::set_text(w, main_names::kSignIn, busy ? gbk("正在登录中") : gbk("登录"));
    ui::set_disabled(w, main_names::kSignInAccount, busy);
    ui::set_disabled(w, main_names::kSignInPassword, busy);
}

} // namespace

void on_sign_in_clicked() {
    HWND w = main_window();
    const std::string account = ui::text(w, main_names::kSignInAccount);
    if (account.empty()) {
        info_box(gbk("请输入你的账号！"));
        return;
    }
    const SecretText password(ui::text(w, main_names::kSignInPassword));
    if (password.empty()) {
        info_box(gbk("请输入你的密码！"));
        return;
    }
    set_sign_in_busy(w, true);
    const std::string challenge =
        server_request(app().endpoint_url, "0", challenge_parameters(account));
    if (challenge.size() != kChallengeLength) {
        show_timed_notice(challenge, 0u);
    } else {
        // The password itself never travels: only the digest of challenge + password.
        const std::string proof = md5_hex(proof_input(challenge, password.view()).view());
        const std::string result =
            server_request(app().endpoint_url, "1", sign_in_parameters(account, proof));
        if (!is_sign_in_success(result)) {
            info_box(result);
        }
    }
    set_sign_in_busy(w, false);
}
