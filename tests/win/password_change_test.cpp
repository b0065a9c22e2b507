#include "ui/main_window_win.h"
#include "account/account_flows.h"
#include "support/box_watcher_win.h"
#include "support/main_window_session_win.h"
#include "ui/controls_win.h"
#include "ui/forms_win.h"
#include "ui/gbk_win.h"

#include <gtest/gtest.h>

namespace {

using testsupport::BoxWatcher;
using testsupport::MainWindowSession;
using testsupport::ReceivedRequest;

struct PasswordChange : testsupport::MainWindowPageTest {
    PasswordChange() : MainWindowPageTest(main_names::kNavPassword, 3) {}
    void fill(const std::string& account, const std::string& old_password,
              const std::string& new_password, const std::string& repeat) {
        ui::set_text(w, main_names::kChangeAccount, account);
        ui::set_text(w, main_names::kOldPassword, old_password);
        ui::set_text(w, main_names::kNewPassword, new_password);
        ui::set_text(w, main_names::kRepeatPassword, repeat);
    }
    testsupport::SeenBox confirm(BoxWatcher& watcher) {
        const auto boxes = session.click_watching(watcher, main_names::kConfirmChange);
        EXPECT_EQ(boxes.size(), 1u);
        return boxes.empty() ? testsupport::SeenBox{} : boxes[0];
    }
};

} // namespace

// Six checks in order, each in the information box, none sending a request.
TEST_F(PasswordChange, ChecksInOrder) {
    const std::string length = gbk("密码格式为6-16位的字母或数字或（字母数字组合）");
    BoxWatcher watcher;
    watcher.screenshot_next("password_change_first_check");
    EXPECT_EQ(confirm(watcher).text, gbk("请填写你的账号！"));
    fill("abcdef", "", "", "");
    EXPECT_EQ(confirm(watcher).text, gbk("请先写你的原始的密码！"));
    fill("abcdef", "o", "", "");
    EXPECT_EQ(confirm(watcher).text, gbk("请填写你的新密码！"));
    fill("abcdef", "o", "n", "");
    EXPECT_EQ(confirm(watcher).text, gbk("请再次输入新密码！"));
    fill("abcdef", "o", "12345", "12345");
    EXPECT_EQ(confirm(watcher).text, length);
    fill("abcdef", "o", std::string(17, 'n'), std::string(17, 'n'));
    EXPECT_EQ(confirm(watcher).text, length);
    fill("abcdef", "o", "newpass", "NEWPASS");
    const auto last = confirm(watcher);
    EXPECT_EQ(last.text, gbk("两次输入密码不一致！"));
    EXPECT_EQ(last.caption, gbk("信息："));
    EXPECT_TRUE(last.has_icon);
    EXPECT_TRUE(session.account_requests().empty());
}

// Whatever the server answers, an empty answer included, is shown in the timed
// notice box (the busy page during the request is the portable flow's test);
// both passwords go as typed and the account percent-encoded; contents are kept.
TEST_F(PasswordChange, AnswerIsShownInTheNoticeBox) {
    const std::vector<std::string> answers = {gbk("密码修改成功"), gbk("账号或原密码错误"), ""};
    for (const auto& a : answers) {
        session.server.answer_with_body(a);
    }
    fill("my user", "o", "new&p=1", "new&p=1");
    BoxWatcher watcher;
    watcher.screenshot_next("password_change_notice_box");
    for (const auto& a : answers) {
        const auto box = confirm(watcher);
        EXPECT_EQ(box.text, a);
        EXPECT_EQ(box.caption, gbk("友情提醒"));
        EXPECT_FALSE(box.has_icon);
        EXPECT_NE(box.owner, nullptr);
        for (const char* name : kChangeBusyControls) {
            EXPECT_FALSE(ui::disabled(w, name)) << name;
        }
    }
    const auto requests = session.account_requests();
    ASSERT_EQ(requests.size(), 3u);
    for (const auto& r : requests) {
        EXPECT_EQ(r.body, "cmd=3&u=my%20user&p=o&n=new&p=1");
    }
    EXPECT_EQ(ui::text(w, main_names::kChangeAccount), "my user");
    EXPECT_EQ(ui::text(w, main_names::kNewPassword), "new&p=1");
}
