#include "app/app_state.h"
#include "account/account_rules.h"
#include "account/account_win.h"
#include "platform/secret_text.h"
#include "ui/timed_notice_win.h"
#include "protocol/server_request_win.h"
#include "ui/controls_win.h"
#include "ui/gbk_win.h"
#include "ui/info_box_win.h"
#include "ui/main_window_win.h"

namespace {

// The controls of the password-change page disabled while a change runs, in this order.
constexpr const char* kChangeControls[] = {main_names::kConfirmChange, main_names::kChangeAccount,
                                           main_names::kOldPassword, main_names::kNewPassword,
                                           main_names::kRepeatPassword};

std::string change_message(PasswordChangeCheck check) {
    switch (check) {
    case PasswordChangeCheck::AccountEmpty:
        return gbk("请填写你的账号！");
    case PasswordChangeCheck::OldPasswordEmpty:
        return gbk("请先写你的原始的密码！");
    case PasswordChangeCheck::NewPasswordEmpty:
        return gbk("请填写你的新密码！");
    case PasswordChangeCheck::RepeatEmpty:
        return gbk("请再次输入新密码！");
    case PasswordChangeCheck::NewPasswordLength:
        return gbk("密码格式为6-16位的字母或数字或（字母数字组合）");
    case PasswordChangeCheck::RepeatDiffers:
        return gbk("两次输入密码不一致！");
    case PasswordChangeCheck::Passed:
        break;
    }
    return {};
}

} // namespace

void on_confirm_change_clicked() {
    HWND w = main_window();
    const std::string account = ui::text(w, main_names::kChangeAccount);
    const SecretText old_password(ui::text(w, main_names::kOldPassword));
    const SecretText new_password(ui::text(w, main_names::kNewPassword));
    const SecretText repeat(ui::text(w, main_names::kRepeatPassword));
    const PasswordChangeCheck check =
        check_password_change(account, old_password.view(), new_password.view(), repeat.view());
    if (check != PasswordChangeCheck::Passed) {
        info_box(change_message(check));
        return;
    }
    for (const char* name : kChangeControls) {
        ui::set_disabled(w, name, true);
    }
    std::string answer;
    {
        const SecretText parameters =
            password_change_parameters(account, old_password.view(), new_password.view());
        answer = server_request(app().endpoint_url, "3", parameters.view());
    }
    // The page stays busy while the notice is open.
    show_timed_notice(answer, 0u);
    for (const char* name : kChangeControls) {
        ui::set_disabled(w, name, false);
    }
}
