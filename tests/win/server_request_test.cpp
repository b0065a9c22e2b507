// The account protocol over the HTTP client: bodies as the server sees them,
// answers as the callers see them, and the MD5 proof.
#include "support/responder_win.h"
#include "support/memory_win.h"
#include "support/responder_win.h"

#include <gtest/gtest.h>

#include <string>

#include "account/account_rules.h"
#include "app/app_state.h"
#include "protocol/md5_win.h"
#include "protocol/request.h"
#include "protocol/server_request_win.h"
#include "ui/gbk_win.h"

using testsupport::http_response;
using testsupport::ReceivedRequest;
using testsupport::Responder;

TEST(ServerRequest, PostsFormBodiesToTheEndpoint) {
    Responder peer;
    ASSERT_TRUE(peer.ok());
    app().endpoint_url = peer.url();
    peer.answer_with_body("ConnectionOk");
    peer.answer_with_body("challenge");
    peer.answer_with_body("ok");
    EXPECT_EQ(server_request(app().endpoint_url, "c"), "ConnectionOk");
    EXPECT_EQ(server_request(app().endpoint_url, "0", "&u=" + url_encode("abc")), "challenge");
    EXPECT_EQ(server_request(app().endpoint_url, "0", "&u=" + url_encode(gbk("张三 x"))), "ok");
    ASSERT_EQ(peer.request_count(), 3u);
    std::vector<ReceivedRequest> r = peer.requests();
    EXPECT_EQ(r[0].request_line(), "POST /tx-client.asp HTTP/1.1");
    EXPECT_EQ(r[0].header("Content-Type"), "application/x-www-form-urlencoded");
    EXPECT_EQ(r[0].body, "cmd=c");
    EXPECT_EQ(r[1].body, "cmd=0&u=abc");
    EXPECT_EQ(r[2].body, "cmd=0&u=%D5%C5%C8%FD%20x");
    EXPECT_EQ(r[2].field("u"), "%D5%C5%C8%FD%20x");
}

TEST(ServerRequest, AnswerIsTheBodyUpToItsFirstNulWhateverTheStatus) {
    Responder peer;
    ASSERT_TRUE(peer.ok());
    app().endpoint_url = peer.url();
    peer.answer_with_body(std::string("ok\0hidden", 9));
    peer.script_bytes(http_response(500, gbk("服务器错误")));
    peer.answer_with_body(gbk("注册成功") + "\r\n");
    EXPECT_EQ(server_request(app().endpoint_url, "1", "&u=a&p=b"), "ok");
    EXPECT_EQ(server_request(app().endpoint_url, "5"), gbk("服务器错误"));
    std::string answer = server_request(app().endpoint_url, "2", "&u=a&p=b&q=c");
    EXPECT_FALSE(answer_is(answer, gbk("注册成功"))); // a trailing line break is not stripped
    EXPECT_TRUE(answer_is(answer, gbk("注册成功") + "\r\n"));
}

// The challenge request and the proof request of a sign-in share the session
// cookie the server set.
TEST(ServerRequest, CookiesTheServerSetsComeBackOnTheNextRequest) {
    Responder peer;
    ASSERT_TRUE(peer.ok());
    app().endpoint_url = peer.url();
    const std::string sid = "ASPSESSION=s" + std::to_string(peer.port());
    peer.script_bytes(
        http_response(200, "0123456789abcdefghi", "Set-Cookie: " + sid + "; path=/\r\n"));
    peer.answer_with_body("ok");
    EXPECT_EQ(server_request(app().endpoint_url, "0", "&u=abc"), "0123456789abcdefghi");
    EXPECT_EQ(server_request(app().endpoint_url, "1", "&u=abc&p=x"), "ok");
    ASSERT_EQ(peer.request_count(), 2u);
    EXPECT_EQ(peer.requests()[0].own_cookies(), "");
    EXPECT_EQ(peer.requests()[1].own_cookies(), sid);
}

TEST(ServerRequest, UnreachableServerAnswersEmpty) {
    const int port = testsupport::refused_port();
    app().endpoint_url = "http://127.0.0.1:" + std::to_string(port) + "/tx-client.asp";
    EXPECT_EQ(server_request(app().endpoint_url, "c"), "");
    app().endpoint_url = "http://name.invalid/tx-client.asp";
    EXPECT_EQ(server_request(app().endpoint_url, "5"), "");
}

// A body that carries a password is wiped once the exchange is over: neither
// the request text nor the copy handed to the platform stays in freed memory.
TEST(ServerRequest, BodyCarryingAPasswordIsWipedAfterTheExchange) {
    const int port = testsupport::refused_port();
    const std::string endpoint = "http://127.0.0.1:" + std::to_string(port) + "/tx-client.asp";
    std::string needle;
    needle.reserve(64);
    needle.append("&n=").append("Fresh").append("Pass42");
    {
        const SecretText parameters =
            password_change_parameters("someone", "OldPass1", std::string_view(needle).substr(3));
        EXPECT_EQ(server_request(endpoint, "3", parameters.view()), "");
    }
    EXPECT_EQ(testsupport::copies_in_memory(needle), 0u);
}

TEST(Md5Hex, KnownAnswers) {
    EXPECT_EQ(md5_hex("abc"), "900150983cd24fb0d6963f7d28e17f72");
    EXPECT_EQ(md5_hex("abc", true), "900150983CD24FB0D6963F7D28E17F72");
    EXPECT_EQ(md5_hex("abc", false, true), "3cd24fb0d6963f7d");
    EXPECT_EQ(md5_hex("abc", true, true), "3CD24FB0D6963F7D");
    EXPECT_EQ(md5_hex(""), "d41d8cd98f00b204e9800998ecf8427e");
    EXPECT_EQ(md5_hex("The quick brown fox jumps over the lazy dog"),
              "9e107d9d372bb6826bd81d3542a419d6");
    // The proof hashes GBK bytes, and NUL bytes count like any other.
    EXPECT_EQ(md5_hex(std::string("a\0b", 3)), "70350f6027bce3713f6b76473084309b");
}

// A challenge is measured in bytes: 19 characters with a Chinese one among them
// are 20 bytes and not a challenge.
TEST(Md5Hex, ChallengeLengthCountsBytes) {
    std::string challenge = gbk("张123456789012345678");
    EXPECT_EQ(challenge.size(), 20u);
    EXPECT_EQ(gbk("张").size(), 2u);
}
