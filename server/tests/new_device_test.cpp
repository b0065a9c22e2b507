// The notice of a sign-in from a new device, through the mail queue to a real SMTP
// server: one for a client without the account's device cookie, none for a known
// device or the account's first sign-in, at most three a day, none when turned off.
#include "answers.h"
#include "cookie_client.h"
#include "server_process.h"
#include "smtp_relay.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <regex>
#include <string>
#include <thread>
#include <vector>

using namespace server_test;

namespace {

const std::string kPublic = "http://tarnix.example";
const std::string kSubject = "您的Tarnix账号在新设备上登录";

size_t notices(const std::vector<std::string>& mails) {
    size_t n = 0;
    for (const std::string& m : mails)
        n += decode_words(header(m, "Subject")) == kSubject;
    return n;
}

std::string text_of(const std::string& mail) {
    std::string text = body_of(mail);
    text.erase(std::remove(text.begin(), text.end(), '\r'), text.end());
    return text;
}

} // namespace

TEST(NewDeviceTest, ANewDeviceIsToldToTheOwnerAKnownOneAndTheFirstSignInAreNot) {
    Relay relay({});
    ASSERT_NE(relay.port(), 0);
    ServerProcess server(plain_relay(relay.port(), {"--public-url", kPublic}));
    ASSERT_EQ(server.ask("cmd=9&emily=device1@example.com").size(), 6u);
    ASSERT_EQ(server.ask("cmd=2&u=device01&p=Secret991&q=device1@example.com"), kSignUpOk);
    ASSERT_EQ(relay.mails(1, 20).size(), 1u) << "the code";

    Client owner;
    ASSERT_EQ(owner.sign_in(server, "device01", "Secret991"), kSignInOk);
    ASSERT_FALSE(owner.cookie.empty());
    for (int i = 0; i < 3; ++i)
        ASSERT_EQ(owner.sign_in(server, "device01", "Secret991"), kSignInOk);
    std::this_thread::sleep_for(std::chrono::seconds(2));
    EXPECT_EQ(notices(relay.mails()), 0u) << "the first sign-in, then a known device";

    Client stranger;
    ASSERT_EQ(stranger.sign_in(server, "device01", "Secret991"), kSignInOk);
    std::vector<std::string> mails = relay.mails(2, 20);
    ASSERT_EQ(notices(mails), 1u);
    const std::string notice = *std::find_if(mails.begin(), mails.end(), [](const std::string& m) {
        return decode_words(header(m, "Subject")) == kSubject;
    });
    const std::string text = text_of(notice);
    EXPECT_EQ(header(notice, "To"), "device1@example.com");
    EXPECT_TRUE(text.find("127.0.0.1") != std::string::npos) << text;
    EXPECT_TRUE(text.find(kPublic + "/account/reset\n") != std::string::npos) << text;
    // The time with its offset from UTC.
    EXPECT_TRUE(std::regex_search(
        text, std::regex("\\d{4}-\\d\\d-\\d\\d \\d\\d:\\d\\d:\\d\\d UTC[+-]\\d\\d:\\d\\d")))
        << text;
    EXPECT_TRUE(text.find("Secret991") == std::string::npos);

    // Each client without the cookie is another new device; three a day at most.
    for (int i = 0; i < 4; ++i) {
        Client another;
        ASSERT_EQ(another.sign_in(server, "device01", "Secret991"), kSignInOk);
    }
    relay.mails(4, 20);
    std::this_thread::sleep_for(std::chrono::seconds(2));
    EXPECT_EQ(notices(relay.mails()), 3u);
    EXPECT_TRUE(log_shows(server, "its day's notices were sent", 5));
}

TEST(NewDeviceTest, NoNoticeWhenTurnedOff) {
    Relay relay({});
    ASSERT_NE(relay.port(), 0);
    ServerProcess server(
        plain_relay(relay.port(), {"--public-url", kPublic, "--new-device-notices=false"}));
    ASSERT_EQ(server.ask("cmd=9&emily=device2@example.com").size(), 6u);
    ASSERT_EQ(server.ask("cmd=2&u=device02&p=Secret991&q=device2@example.com"), kSignUpOk);
    for (int i = 0; i < 3; ++i) {
        Client c;
        ASSERT_EQ(c.sign_in(server, "device02", "Secret991"), kSignInOk);
    }
    std::this_thread::sleep_for(std::chrono::seconds(2));
    EXPECT_EQ(relay.mails().size(), 1u) << "the code's mail only";
}
