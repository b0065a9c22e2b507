#include "ui/main_window_win.h"
#include "support/box_watcher_win.h"
#include "support/main_window_session_win.h"
#include "ui/controls_win.h"
#include "ui/forms_win.h"
#include "ui/gbk_win.h"

#include <gtest/gtest.h>

#include <memory>

namespace {

using testsupport::BoxWatcher;
using testsupport::MainWindowSession;
using testsupport::ReceivedRequest;

struct SignIn : testing::Test {
    MainWindowSession session;

    void SetUp() override { ASSERT_TRUE(session.start()); }

    void type(const std::string& account, const std::string& password) {
        ui::set_text(session.window, main_names::kSignInAccount, account);
        ui::set_text(session.window, main_names::kSignInPassword, password);
    }
    void click() { ui::fire_event(session.window, main_names::kSignIn, ui::Event::Clicked); }

    void expect_idle() {
        HWND w = session.window;
        EXPECT_FALSE(ui::disabled(w, main_names::kSignIn));
        EXPECT_EQ(ui::text(w, main_names::kSignIn), gbk("登录"));
        EXPECT_FALSE(ui::disabled(w, main_names::kSignInAccount));
        EXPECT_FALSE(ui::disabled(w, main_names::kSignInPassword));
    }
};

} // namespace

// The inputs are checked before anything is sent: both empty shows only the
// account message, a missing password its own; no control changes.
TEST_F(SignIn, EmptyInputsAreRefusedWithoutARequest) {
    BoxWatcher watcher;
    watcher.screenshot_next("sign_in_empty_account");
    click();
    type("someone", "");
    click();
    const auto boxes = watcher.boxes();
    ASSERT_EQ(boxes.size(), 2u);
    EXPECT_EQ(boxes[0].text, gbk("请输入你的账号！"));
    EXPECT_EQ(boxes[1].text, gbk("请输入你的密码！"));
    for (const auto& box : boxes) {
        EXPECT_EQ(box.caption, gbk("信息："));
        EXPECT_TRUE(box.has_icon);
        EXPECT_EQ(box.owner, nullptr);
    }
    EXPECT_TRUE(session.account_requests().empty());
    expect_idle();
}

// A challenge of any length but 19 bytes is a message: it is shown in the
// timed notice box and no proof is sent.
TEST_F(SignIn, WrongLengthChallengeIsShownInTheNoticeBox) {
    const std::string eighteen = gbk("请稍后再试") + "12345678"; // 10 + 8 bytes
    const std::string twenty = std::string(19, 'c') + "d";
    session.server.answer_with_body(eighteen);
    session.server.answer_with_body(twenty);
    type("abc", "pw");
    BoxWatcher watcher;
    watcher.screenshot_next("sign_in_notice_box");
    click();
    click();
    const auto boxes = watcher.boxes();
    ASSERT_EQ(boxes.size(), 2u);
    EXPECT_EQ(boxes[0].text, eighteen);
    EXPECT_EQ(boxes[1].text, twenty);
    for (const auto& box : boxes) {
        EXPECT_EQ(box.caption, gbk("友情提醒"));
        EXPECT_FALSE(box.has_icon);
        EXPECT_EQ(box.buttons, std::vector<int>{IDOK});
    }
    const auto requests = session.account_requests();
    ASSERT_EQ(requests.size(), 2u);
    for (const auto& r : requests) {
        EXPECT_EQ(r.body, "cmd=0&u=abc");
    }
    expect_idle();
}

// A 19-byte challenge leads to command "1" with the MD5 proof of challenge +
// password; only a lower-case "ok" prefix is success (no box), anything else is
// shown in the information box.
TEST_F(SignIn, ProofIsSentAndOnlyLowerCaseOkSucceeds) {
    // md5("K7x9x2Lm0Qp4Zr8Tt1w" "p@ss word"), computed with md5sum.
    const std::string proof = "4a7f347be786cec62e3f988d75a5dc58";
    const std::string challenge = "K7x9x2Lm0Qp4Zr8Tt1w";
    const std::vector<std::string> results = {gbk("ok，欢迎回来"), "OK", "Ok", "o"};
    for (const std::string& result : results) {
        session.server.answer_with_body(challenge);
        session.server.answer_with_body(result);
    }
    type(gbk("张 user"), "p@ss word");
    BoxWatcher watcher;
    watcher.screenshot_next("sign_in_refused");
    for (size_t i = 0; i < results.size(); ++i) {
        click();
        expect_idle();
    }
    const auto requests = session.account_requests();
    ASSERT_EQ(requests.size(), 2 * results.size());
    for (size_t i = 0; i < requests.size(); i += 2) {
        EXPECT_EQ(requests[i].body, "cmd=0&u=%D5%C5%20user");
        EXPECT_EQ(requests[i + 1].body, "cmd=1&u=%D5%C5%20user&p=" + proof);
    }
    const auto boxes = watcher.boxes();
    ASSERT_EQ(boxes.size(), 3u);
    EXPECT_EQ(boxes[0].text, "OK");
    EXPECT_EQ(boxes[1].text, "Ok");
    EXPECT_EQ(boxes[2].text, "o");
    for (const auto& box : boxes) {
        EXPECT_EQ(box.caption, gbk("信息："));
        EXPECT_TRUE(box.has_icon);
    }
}

// Bytes, not characters: 17 ASCII bytes and one Chinese character make a
// 19-byte challenge, which is used.
TEST_F(SignIn, ChallengeLengthIsCountedInBytes) {
    const std::string challenge = std::string(17, 'x') + gbk("张");
    session.server.answer_with_body(challenge);
    session.server.answer_with_body("ok");
    type("abcdef", "secret");
    BoxWatcher watcher;
    click();
    EXPECT_TRUE(watcher.boxes().empty());
    ASSERT_EQ(session.account_requests().size(), 2u);
    EXPECT_EQ(session.account_requests()[1].field("cmd"), "1");
}
