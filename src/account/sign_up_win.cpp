#include "account/account_rules.h"
#include "account/account_win.h"
#include "platform/secret_text.h"
#include "app/app_state.h"
#include "protocol/request.h"
#include "protocol/server_request_win.h"
#include "ui/controls_win.h"
#include "ui/gbk_win.h"
#include "ui/info_box_win.h"
#include "ui/main_window_win.h"

int32_t code_countdown = 0;

namespace {

constexpr int32_t kCodeLockSeconds = 30;

// The controls of the sign-up page disabled while a sign-up runs, in this order.
constexpr const char* kSignUpControls[] = {main_names::kConfirmSignUp, main_names::kSignUpAccount,
                                           main_names::kSignUpPassword, main_names::kCode,
                                           main_names::kEmail};

std::string sign_up_message(SignUpCheck check) {
    switch (check) {
    case SignUpCheck::AccountEmpty:
        return gbk("请填写注册账号！");
    case SignUpCheck::PasswordEmpty:
        return gbk("请设置您的密码！");
    case SignUpCheck::EmailEmpty:
        return gbk("请填写绑定邮箱！");
    case SignUpCheck::AccountLength:
        return gbk("账号格式为6-16位的字母或数字或（字母数字组合）");
    case SignUpCheck::PasswordLength:
        return gbk("密码格式为6-16位的字母或数字或（字母数字组合）");
    case SignUpCheck::CodeEmpty:
        return gbk("请输入你的验证码！");
    case SignUpCheck::CodeWrong:
        return gbk("你输入的验证码不正确！");
    case SignUpCheck::Passed:
        break;
    }
    return {};
}

} // namespace

void on_get_code_clicked() {
    HWND w = main_window();
    const std::string email = ui::text(w, main_names::kEmail);
    if (email.empty()) {
        info_box(gbk("您还没有填写邮箱！"));
        return;
    }
    // The button stays usable while the request runs; the lock follows the answer.
    app().stored_verification_code =
        server_request(app().endpoint_url, "9", code_request_parameters(email));
    ui::set_disabled(w, main_names::kGetCode, true);
    ui::set_text(w, main_names::kGetCode, gbk("正在发送"));
    code_countdown = kCodeLockSeconds;
    ui::set_interval(w, main_names::kCodeTimer, 1000);
}

void on_code_timer_tick() {
    HWND w = main_window();
    --code_countdown;
    ui::set_text(w, main_names::kGetCode, countdown_caption(code_countdown));
    if (ui::text(w, main_names::kGetCode) == countdown_caption(0)) {
        ui::set_interval(w, main_names::kCodeTimer, 0);
        ui::set_disabled(w, main_names::kGetCode, false);
        ui::set_text(w, main_names::kGetCode, gbk("获取验证码"));
    }
}

void on_bind_email_changed() {
    app().stored_verification_code.clear();
}

void on_confirm_sign_up_clicked() {
    HWND w = main_window();
    const std::string account = ui::text(w, main_names::kSignUpAccount);
    const SecretText password(ui::text(w, main_names::kSignUpPassword));
    const std::string email = ui::text(w, main_names::kEmail);
    const std::string code = ui::text(w, main_names::kCode);
    const SignUpCheck check =
        check_sign_up(account, password.view(), email, code, app().stored_verification_code);
    if (check != SignUpCheck::Passed) {
        info_box(sign_up_message(check));
        return;
    }
    for (const char* name : kSignUpControls) {
        ui::set_disabled(w, name, true);
    }
    std::string answer;
    {
        const SecretText parameters = sign_up_parameters(account, password.view(), email);
        answer = server_request(app().endpoint_url, "2", parameters.view());
    }
    info_box(answer);
    if (answer_is(answer, gbk("注册成功"))) {
        app().stored_verification_code.clear();
    }
    for (const char* name : kSignUpControls) {
        ui::set_disabled(w, name, false);
    }
}
