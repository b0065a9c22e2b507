#include "account/account_rules.h"
#include "account/account_win.h"
#include "account/secret_text.h"
#include "account/timed_notice_win.h"
#include "protocol/md5_win.h"
#include "protocol/server_request_win.h"
#include "ui/controls_win.h"
#include "ui/gbk_win.h"
#include "ui/info_box_win.h"
#include "ui/main_window_win.h"

namespace {

void set_sign_in_busy(HWND w, bool busy) {
    ui::set_disabled(w, "按钮_登录", busy);
    ui::set_text(w, "按钮_登录", busy ? gbk("正在登录中") : gbk("登录"));
    ui::set_disabled(w, "编辑框_登录账号", busy);
    ui::set_disabled(w, "编辑框_登录密码", busy);
}

} // namespace

void on_sign_in_clicked() {
    HWND w = main_window();
    const std::string account = ui::text(w, "编辑框_登录账号");
    if (account.empty()) {
        info_box(gbk("请输入你的账号！"));
        return;
    }
    const SecretText password(ui::text(w, "编辑框_登录密码"));
    if (password.empty()) {
        info_box(gbk("请输入你的密码！"));
        return;
    }
    set_sign_in_busy(w, true);
    const std::string challenge = server_request("0", challenge_parameters(account));
    if (challenge.size() != kChallengeLength) {
        show_timed_notice(challenge, 0u);
    } else {
        // The password itself never travels: only the digest of challenge + password.
        const std::string proof = md5_hex(proof_input(challenge, password.view()).view());
        const std::string result = server_request("1", sign_in_parameters(account, proof));
        if (!is_sign_in_success(result)) {
            info_box(result);
        }
    }
    set_sign_in_busy(w, false);
}
