#include "ui/main_window_win.h"
#include "app/app_state.h"
#include "account/account_flows.h"
#include "support/box_watcher_win.h"
#include "support/main_window_session_win.h"
#include "ui/controls_win.h"
#include "ui/forms_win.h"
#include "ui/gbk_win.h"

#include <gtest/gtest.h>

#include <atomic>

namespace {

using testsupport::BoxWatcher;
using testsupport::MainWindowSession;
using testsupport::ReceivedRequest;

struct SignUp : testsupport::MainWindowPageTest {
    SignUp() : MainWindowPageTest(main_names::kNavSignUp, 2) {}

    void fill(const std::string& account, const std::string& password, const std::string& email,
              const std::string& code) {
        ui::set_text(w, main_names::kSignUpAccount, account);
        ui::set_text(w, main_names::kSignUpPassword, password);
        // Set only when it differs: a change of the address forgets the stored code.
        if (ui::text(w, main_names::kEmail) != email) {
            ui::set_text(w, main_names::kEmail, email);
        }
        ui::set_text(w, main_names::kCode, code);
    }
    // The message of the first failing check, or "" when none failed (no box).
    std::string confirm_message(BoxWatcher& watcher) {
        const auto boxes = session.click_watching(watcher, main_names::kConfirmSignUp);
        EXPECT_LE(boxes.size(), 1u);
        return boxes.empty() ? std::string() : boxes[0].text;
    }
    void request_code(const std::string& answer) {
        session.server.answer_with_body(answer);
        ui::fire_event(w, main_names::kGetCode, ui::Event::Clicked);
    }
};

} // namespace

// Seven checks, in order, each with its own message; no request is sent for
// any of them. The length rule counts bytes: 6 and 16 pass, 5 and 17 fail,
// three Chinese characters pass, nine fail.
TEST_F(SignUp, ChecksInOrder) {
    const std::string length_account = gbk("账号格式为6-16位的字母或数字或（字母数字组合）");
    const std::string length_password = gbk("密码格式为6-16位的字母或数字或（字母数字组合）");
    BoxWatcher watcher;
    watcher.screenshot_next("sign_up_first_check");
    EXPECT_EQ(confirm_message(watcher), gbk("请填写注册账号！"));
    fill("abc", "", "", "");
    EXPECT_EQ(confirm_message(watcher), gbk("请设置您的密码！"));
    fill("abc", "p", "", "");
    EXPECT_EQ(confirm_message(watcher), gbk("请填写绑定邮箱！"));
    fill("abcde", "p", "m@x.cn", "");
    EXPECT_EQ(confirm_message(watcher), length_account);
    fill(std::string(17, 'a'), "p", "m@x.cn", "");
    EXPECT_EQ(confirm_message(watcher), length_account);
    fill(gbk("张王李赵钱孙周吴郑"), "p", "m@x.cn", "");
    EXPECT_EQ(confirm_message(watcher), length_account);
    fill("abcdef", "12345", "m@x.cn", "");
    EXPECT_EQ(confirm_message(watcher), length_password);
    fill(std::string(16, 'a'), std::string(17, 'p'), "m@x.cn", "");
    EXPECT_EQ(confirm_message(watcher), length_password);
    fill(gbk("张王李"), "123456", "m@x.cn", "");
    EXPECT_EQ(confirm_message(watcher), gbk("请输入你的验证码！"));
    fill("abcdef", std::string(16, 'p'), "m@x.cn", "1234");
    EXPECT_EQ(confirm_message(watcher), gbk("你输入的验证码不正确！"));
    for (const auto& box : watcher.boxes()) {
        EXPECT_EQ(box.caption, gbk("信息："));
    }
    EXPECT_TRUE(session.account_requests().empty());
    for (const char* name : kSignUpBusyControls) {
        EXPECT_FALSE(ui::disabled(w, name)) << name;
    }
}

// A code request with no address is refused; otherwise the answer becomes the
// stored code unseen, and the button locks: "正在发送", then (29s) ... (1s) one
// tick at a time, then "获取验证码" and usable again with the timer stopped.
TEST_F(SignUp, CodeRequestAndCountdown) {
    BoxWatcher watcher;
    ui::fire_event(w, main_names::kGetCode, ui::Event::Clicked);
    ASSERT_EQ(watcher.boxes().size(), 1u);
    EXPECT_EQ(watcher.boxes()[0].text, gbk("您还没有填写邮箱！"));
    EXPECT_TRUE(session.account_requests().empty());

    ui::set_text(w, main_names::kEmail, "me@example.cn");
    request_code("Ab12");
    ASSERT_EQ(session.account_requests().size(), 1u);
    EXPECT_EQ(session.account_requests()[0].body, "cmd=9&emily=me@example.cn");
    EXPECT_EQ(app().stored_verification_code, "Ab12");
    EXPECT_EQ(watcher.boxes().size(), 1u); // the answer is not shown

    EXPECT_TRUE(ui::disabled(w, main_names::kGetCode));
    EXPECT_EQ(ui::text(w, main_names::kGetCode), gbk("正在发送"));
    EXPECT_EQ(ui::interval(w, main_names::kCodeTimer), 1000u);
    // The bound tick counts the lock down (the whole countdown is tested with
    // the portable flow).
    ui::fire_event(w, main_names::kCodeTimer, ui::Event::Tick);
    EXPECT_EQ(ui::text(w, main_names::kGetCode), "\xA3\xA8"
                                                 "29s\xA3\xA9");
    EXPECT_TRUE(ui::disabled(w, main_names::kGetCode));
}

// The typed code is compared byte for byte with the stored one; the sign-up
// itself never sends the code. "注册成功" plus a line break is not success and
// keeps the stored code; the exact text empties it. The five controls are
// enabled again afterwards, and the contents stay.
TEST_F(SignUp, CodeComparisonAndSuccessText) {
    ui::set_text(w, main_names::kEmail, "me@example.cn");
    request_code("Ab12");
    BoxWatcher watcher;
    fill("abcdef", "secret1", "me@example.cn", "ab12");
    EXPECT_EQ(confirm_message(watcher), gbk("你输入的验证码不正确！"));
    fill("abcdef", "secret1", "me@example.cn", "Ab12 ");
    EXPECT_EQ(confirm_message(watcher), gbk("你输入的验证码不正确！"));
    EXPECT_EQ(session.account_requests().size(), 1u);

    session.server.answer_with_body(gbk("注册成功") + "\r\n");
    session.server.answer_with_body(gbk("注册成功"));
    ui::set_text(w, main_names::kCode, "Ab12");
    watcher.screenshot_next("sign_up_answer");
    EXPECT_EQ(confirm_message(watcher), gbk("注册成功") + "\r\n");
    EXPECT_EQ(app().stored_verification_code, "Ab12");
    EXPECT_EQ(confirm_message(watcher), gbk("注册成功"));
    EXPECT_EQ(app().stored_verification_code, "");

    const auto requests = session.account_requests();
    ASSERT_EQ(requests.size(), 3u);
    EXPECT_EQ(requests[1].body, "cmd=2&u=abcdef&p=secret1&q=me@example.cn");
    EXPECT_EQ(requests[2].body, requests[1].body);
    for (const char* name : kSignUpBusyControls) {
        EXPECT_FALSE(ui::disabled(w, name)) << name;
    }
    EXPECT_EQ(ui::text(w, main_names::kSignUpAccount), "abcdef");
    EXPECT_EQ(ui::text(w, main_names::kCode), "Ab12");
}

// A code belongs to the address it was sent to: typing in the e-mail box
// forgets it, and the right code is then refused.
TEST_F(SignUp, EditingTheAddressForgetsTheCode) {
    ui::set_text(w, main_names::kEmail, "me@example.cn");
    request_code("Ab12");
    ASSERT_EQ(app().stored_verification_code, "Ab12");
    HWND email = ui::control(w, main_names::kEmail);
    ASSERT_NE(email, nullptr);
    // The user clicks at the end of the address and types one more letter.
    SetFocus(email);
    SendMessageW(email, EM_SETSEL, 13, 13);
    SendMessageW(email, WM_CHAR, L'x', 0);
    EXPECT_EQ(ui::text(w, main_names::kEmail), "me@example.cnx");
    EXPECT_EQ(app().stored_verification_code, "");
    BoxWatcher watcher;
    fill("abcdef", "secret1", "me@example.cnx", "Ab12");
    EXPECT_EQ(confirm_message(watcher), gbk("你输入的验证码不正确！"));
    EXPECT_EQ(session.account_requests().size(), 1u);
}
