#include "account/account_flows.h"
#include "account/account_texts.h"
#include "ui/main_names.h"

#include <gtest/gtest.h>

#include <functional>
#include <map>
#include <set>
#include <string>
#include <vector>

using namespace main_names;
using namespace account_texts;

namespace {

// A page of named texts and disabled flags; the boxes and timers are recorded.
struct StubPage : AccountPage {
    std::map<std::string, std::string> texts;
    std::set<std::string> disabled;
    std::map<std::string, unsigned> intervals;
    std::vector<std::string> shown; // "info:" or "notice:" + text, in order

    std::string text(const char* control) override { return texts[control]; }
    void set_text(const char* control, std::string_view value) override {
        texts[control] = std::string(value);
    }
    void set_disabled(const char* control, bool is_disabled) override {
        if (is_disabled) {
            disabled.insert(control);
        } else {
            disabled.erase(control);
        }
    }
    void set_interval(const char* timer, unsigned ms) override { intervals[timer] = ms; }
    void info_box(std::string_view message) override {
        shown.push_back("info:" + std::string(message));
    }
    void timed_notice(std::string_view message) override {
        shown.push_back("notice:" + std::string(message));
    }
};

// Scripted answers in order; each request is recorded with what the page
// looked like while it ran.
struct StubServer : AccountServer {
    std::vector<std::string> answers;
    std::vector<std::string> requests; // command + parameters
    std::function<void()> while_sending;
    std::string request(std::string_view command, std::string_view parameters) override {
        requests.push_back(std::string(command) + std::string(parameters));
        if (while_sending) {
            while_sending();
        }
        if (answers.empty()) {
            return "";
        }
        std::string a = answers.front();
        answers.erase(answers.begin());
        return a;
    }
    std::string md5_hex(std::string_view bytes) override {
        return "md5(" + std::string(bytes) + ")";
    }
};

const std::string kChallenge = "0123456789abcdefghi"; // 19 bytes

} // namespace

TEST(SignInFlow, ChecksThenChallengeThenProofWithThePageBusyMeanwhile) {
    StubPage page;
    StubServer server;
    sign_in_flow(page, server);
    page.texts[kSignInAccount] = "a b";
    sign_in_flow(page, server);
    EXPECT_EQ(page.shown, (std::vector<std::string>{std::string("info:") + kAskAccount,
                                                    std::string("info:") + kAskPassword}));
    EXPECT_TRUE(server.requests.empty());

    page.shown.clear();
    page.texts[kSignInPassword] = "pw&1";
    server.answers = {kChallenge, "ok, welcome"};
    std::vector<bool> busy;
    server.while_sending = [&] {
        busy.push_back(page.disabled.count(kSignIn) && page.disabled.count(kSignInAccount) &&
                       page.disabled.count(kSignInPassword) && page.texts[kSignIn] == kSigningIn);
    };
    sign_in_flow(page, server);
    ASSERT_EQ(server.requests.size(), 2u);
    EXPECT_EQ(server.requests[0], "0&u=a%20b");
    // Only the digest of challenge + password travels.
    EXPECT_EQ(server.requests[1], "1&u=a%20b&p=md5(" + kChallenge + "pw&1)");
    EXPECT_EQ(busy, (std::vector<bool>{true, true}));
    EXPECT_TRUE(page.shown.empty()); // success shows nothing
    EXPECT_TRUE(page.disabled.empty());
    EXPECT_EQ(page.texts[kSignIn], kSignInCaption);
}

TEST(SignInFlow, WrongLengthChallengeAndRefusalsAreShown) {
    StubPage page;
    page.texts[kSignInAccount] = "abc";
    page.texts[kSignInPassword] = "pw";
    StubServer server;
    server.answers = {kChallenge + "x"};
    sign_in_flow(page, server);
    server.answers = {kChallenge, "OK"}; // only lower-case "ok" succeeds
    sign_in_flow(page, server);
    EXPECT_EQ(page.shown,
              (std::vector<std::string>{"notice:" + kChallenge + "x", std::string("info:OK")}));
    EXPECT_EQ(server.requests.size(), 3u);
    EXPECT_TRUE(page.disabled.empty());
}

TEST(SignUpFlow, CodeLockCountsDownToTheButtonAgain) {
    StubPage page;
    StubServer server;
    std::string stored = "old";
    int32_t countdown = 0;
    get_code_flow(page, server, stored, countdown);
    EXPECT_EQ(page.shown, std::vector<std::string>{std::string("info:") + kNoEmailYet});
    EXPECT_EQ(stored, "old");

    page.texts[kEmail] = "me@example.cn";
    server.answers = {"123456"};
    get_code_flow(page, server, stored, countdown);
    EXPECT_EQ(server.requests.back(), "9&emily=me@example.cn");
    EXPECT_EQ(stored, "123456");
    EXPECT_EQ(countdown, kCodeLockSeconds);
    EXPECT_EQ(page.texts[kGetCode], kSending);
    EXPECT_TRUE(page.disabled.count(kGetCode));
    EXPECT_EQ(page.intervals[kCodeTimer], 1000u);
    for (int left = kCodeLockSeconds - 1; left >= 1; --left) {
        code_tick_flow(page, countdown);
        EXPECT_EQ(page.texts[kGetCode], "\xA3\xA8" + std::to_string(left) + "s\xA3\xA9");
        EXPECT_TRUE(page.disabled.count(kGetCode));
    }
    code_tick_flow(page, countdown);
    EXPECT_EQ(page.texts[kGetCode], kGetCodeCaption);
    EXPECT_FALSE(page.disabled.count(kGetCode));
    EXPECT_EQ(page.intervals[kCodeTimer], 0u);
}

TEST(SignUpFlow, ChecksInOrderAndOnlyTheExactSuccessUsesTheCodeUp) {
    StubPage page;
    StubServer server;
    std::string stored = "Ab12";
    const std::vector<std::pair<std::vector<std::string>, const char*>> steps = {
        {{"", "", "", ""}, kSignUpAccountEmpty},
        {{"abcdef", "", "", ""}, kSignUpPasswordEmpty},
        {{"abcdef", "secret1", "", ""}, kSignUpEmailEmpty},
        {{"abcde", "secret1", "e@x.cn", ""}, kAccountFormat},
        {{"abcdef", "secret12345678901", "e@x.cn", ""}, kPasswordFormat},
        {{"abcdef", "secret1", "e@x.cn", ""}, kCodeEmpty},
        {{"abcdef", "secret1", "e@x.cn", "ab12"}, kCodeWrong},
    };
    for (const auto& [inputs, message] : steps) {
        page.texts[kSignUpAccount] = inputs[0];
        page.texts[kSignUpPassword] = inputs[1];
        page.texts[kEmail] = inputs[2];
        page.texts[kCode] = inputs[3];
        page.shown.clear();
        sign_up_flow(page, server, stored);
        EXPECT_EQ(page.shown, std::vector<std::string>{std::string("info:") + message}) << message;
    }
    EXPECT_TRUE(server.requests.empty());

    page.texts[kCode] = "Ab12";
    size_t busy_while_sending = 0;
    server.while_sending = [&] { busy_while_sending = page.disabled.size(); };
    server.answers = {std::string(kSignedUp) + "\r\n", kSignedUp};
    sign_up_flow(page, server, stored);
    EXPECT_EQ(stored, "Ab12"); // not the exact success text
    sign_up_flow(page, server, stored);
    EXPECT_EQ(stored, "");
    EXPECT_EQ(server.requests.back(), "2&u=abcdef&p=secret1&q=e@x.cn"); // no code sent
    EXPECT_EQ(busy_while_sending, 5u);
    EXPECT_TRUE(page.disabled.empty());
    EXPECT_EQ(page.shown.back(), std::string("info:") + kSignedUp);
}

TEST(PasswordChangeFlow, ChecksInOrderThenTheAnswerInTheNoticeBox) {
    StubPage page;
    StubServer server;
    const std::vector<std::pair<std::vector<std::string>, const char*>> steps = {
        {{"", "", "", ""}, kChangeAccountEmpty},
        {{"abcdef", "", "", ""}, kOldPasswordEmpty},
        {{"abcdef", "o", "", ""}, kNewPasswordEmpty},
        {{"abcdef", "o", "n", ""}, kRepeatEmpty},
        {{"abcdef", "o", "12345", "12345"}, kPasswordFormat},
        {{"abcdef", "o", "123456", "123457"}, kRepeatDiffers},
    };
    for (const auto& [inputs, message] : steps) {
        page.texts[kChangeAccount] = inputs[0];
        page.texts[kOldPassword] = inputs[1];
        page.texts[kNewPassword] = inputs[2];
        page.texts[kRepeatPassword] = inputs[3];
        page.shown.clear();
        password_change_flow(page, server);
        EXPECT_EQ(page.shown, std::vector<std::string>{std::string("info:") + message}) << message;
    }
    EXPECT_TRUE(server.requests.empty());

    page.texts[kRepeatPassword] = "123456";
    size_t busy_while_sending = 0;
    server.while_sending = [&] { busy_while_sending = page.disabled.size(); };
    server.answers = {"any answer"};
    password_change_flow(page, server);
    EXPECT_EQ(server.requests.back(), "3&u=abcdef&p=o&n=123456");
    EXPECT_EQ(busy_while_sending, 5u);
    EXPECT_EQ(page.shown.back(), "notice:any answer");
    EXPECT_TRUE(page.disabled.empty());
}
