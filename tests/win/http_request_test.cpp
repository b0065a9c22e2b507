// The HTTP client against a scripted peer on the loopback interface: what goes
// on the wire, what comes back, and how faults end.
#include "support/responder_win.h"
#include "support/responder_win.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "platform/internet_request_win.h"
#include "protocol/http_request_win.h"

using testsupport::http_response;
using testsupport::ReceivedRequest;
using testsupport::Responder;
using testsupport::ScriptedAnswer;

namespace {

size_t index_of_line(const std::vector<std::string>& lines, const std::string& line) {
    return static_cast<size_t>(std::find(lines.begin(), lines.end(), line) - lines.begin());
}

size_t count_named(const ReceivedRequest& request, const std::string& prefix) {
    size_t n = 0;
    for (const std::string& line : request.header_lines()) {
        n += line.compare(0, prefix.size(), prefix) == 0 ? 1 : 0;
    }
    return n;
}

} // namespace

TEST(HttpRequestWire, PostCarriesAgentDefaultHeadersInOrderAndBody) {
    Responder peer;
    ASSERT_TRUE(peer.ok());
    peer.answer_with_body("fine");
    std::string headers;
    std::string body =
        http_request(peer.url(), kHttpPost, "cmd=c", std::nullopt, nullptr, &headers);
    EXPECT_EQ(body, "fine");
    ASSERT_EQ(peer.request_count(), 1u);
    ReceivedRequest r = peer.requests()[0];
    EXPECT_EQ(r.request_line(), "POST /tx-client.asp HTTP/1.1");
    EXPECT_EQ(r.header("User-Agent"), "Mozilla/4.0 (compatible; MSIE 9.0; Windows NT 6.1)");
    EXPECT_EQ(r.body, "cmd=c");
    EXPECT_EQ(r.header("Content-Length"), "5");

    // The caller holds exactly the block that was sent, and the lines arrive in
    // that order.
    const std::string expected = "Accept: */*\r\nReferer: " + peer.url() +
                                 "\r\nAccept-Language: zh-cn\r\n"
                                 "Content-Type: application/x-www-form-urlencoded";
    EXPECT_EQ(headers, expected);
    std::vector<std::string> lines = r.header_lines();
    size_t accept = index_of_line(lines, "Accept: */*");
    size_t referer = index_of_line(lines, "Referer: " + peer.url());
    size_t language = index_of_line(lines, "Accept-Language: zh-cn");
    size_t type = index_of_line(lines, "Content-Type: application/x-www-form-urlencoded");
    ASSERT_LT(type, lines.size());
    EXPECT_LT(accept, referer);
    EXPECT_LT(referer, language);
    EXPECT_LT(language, type);
    EXPECT_EQ(count_named(r, "Accept:"), 1u);
}

TEST(HttpRequestWire, AcceptTestIsExactCaseAndUserAgentLineSetsTheAgent) {
    Responder peer;
    ASSERT_TRUE(peer.ok());
    peer.answer_with_body("1");
    peer.answer_with_body("2");
    peer.answer_with_body("3");

    std::string headers = "Accept: text/plain";
    http_request(peer.url(), kHttpPost, "x=1", std::nullopt, nullptr, &headers);
    std::string lower = "accept: text/html";
    http_request(peer.url(), kHttpPost, "x=2", std::nullopt, nullptr, &lower);
    std::string agent = "User-Agent:  TestAgent/2.0 \r\nX-Extra: yes";
    http_request(peer.url(), kHttpPost, "x=3", std::nullopt, nullptr, &agent);

    ASSERT_EQ(peer.request_count(), 3u);
    std::vector<ReceivedRequest> r = peer.requests();
    EXPECT_EQ(headers.find("Accept: */*"), std::string::npos);
    EXPECT_EQ(count_named(r[0], "Accept:"), 1u);
    EXPECT_EQ(r[0].header("Accept"), "text/plain");

    EXPECT_EQ(lower.rfind("accept: text/html\r\nAccept: */*\r\n", 0), 0u);
    EXPECT_LT(index_of_line(r[1].header_lines(), "Accept: */*"), r[1].header_lines().size());

    EXPECT_EQ(r[2].header("User-Agent"), "TestAgent/2.0");
    EXPECT_EQ(r[2].header("X-Extra"), "yes");
}

TEST(HttpRequestWire, OutOfRangeMethodsSendGetWithoutBody) {
    Responder peer;
    ASSERT_TRUE(peer.ok());
    peer.answer_with_body("a");
    peer.answer_with_body("b");
    peer.answer_with_body("c");
    EXPECT_EQ(http_request(peer.url(), static_cast<HttpMethod>(3), "cmd=c"), "a");
    EXPECT_EQ(http_request(peer.url(), static_cast<HttpMethod>(-1), "cmd=c"), "b");
    std::string byte_body;
    http_request(peer.url(), kHttpGet, "cmd=c", std::nullopt, nullptr, nullptr, nullptr, false,
                 &byte_body);
    EXPECT_EQ(byte_body, ""); // GET never fills the byte body
    ASSERT_EQ(peer.request_count(), 3u);
    for (const ReceivedRequest& r : peer.requests()) {
        EXPECT_EQ(r.request_line(), "GET /tx-client.asp HTTP/1.1");
        EXPECT_EQ(r.body, "");
    }
}

TEST(HttpRequestWire, ByteBodyIsFilledFromBodyTextOrSentAsGiven) {
    Responder peer;
    ASSERT_TRUE(peer.ok());
    peer.answer_with_body("");
    peer.answer_with_body("");
    std::string filled;
    http_request(peer.url(), kHttpPost, "cmd=5", std::nullopt, nullptr, nullptr, nullptr, false,
                 &filled);
    EXPECT_EQ(filled, "cmd=5");
    std::string given("a\0b", 3);
    http_request(peer.url(), kHttpPost, "ignored", std::nullopt, nullptr, nullptr, nullptr, false,
                 &given);
    ASSERT_EQ(peer.request_count(), 2u);
    EXPECT_EQ(peer.requests()[0].body, "cmd=5");
    EXPECT_EQ(peer.requests()[1].body, std::string("a\0b", 3));
}

TEST(HttpRequestUrl, HostIsLowerCasedPathKeepsCaseAndQuery) {
    Responder peer;
    ASSERT_TRUE(peer.ok());
    peer.answer_with_body("up");
    peer.answer_with_body("root");
    const std::string port = std::to_string(peer.port());
    std::string url = "HTTP://LOCALHOST:" + port + "/Tx-Client.ASP?User=AbC&x=%41";
    EXPECT_EQ(http_request(url), "up");
    EXPECT_EQ(http_request("http://127.0.0.1:" + port), "root");
    ASSERT_EQ(peer.request_count(), 2u);
    std::vector<ReceivedRequest> r = peer.requests();
    EXPECT_EQ(r[0].request_line(), "GET /Tx-Client.ASP?User=AbC&x=%41 HTTP/1.1");
    EXPECT_EQ(r[0].header("Host"), "localhost:" + port);
    EXPECT_EQ(r[0].header("Referer"), url); // the URL as given, not folded
    EXPECT_EQ(r[1].request_line(), "GET / HTTP/1.1");
    EXPECT_EQ(r[1].header("Host"), "127.0.0.1:" + port);
}

TEST(HttpRequestCookies, SetCookieLinesInAnyCaseAreCollected) {
    Responder peer;
    ASSERT_TRUE(peer.ok());
    peer.script_bytes(http_response(200, "x", "set-cookie: a=1; path=/\r\nSet-Cookie: b=2\r\n"));
    peer.answer_with_body("y");
    std::string cookies = "untouched";
    std::string raw;
    EXPECT_EQ(http_request(peer.url(), kHttpPost, "", std::nullopt, &cookies, nullptr, &raw), "x");
    EXPECT_EQ(cookies, "a=1; b=2");
    EXPECT_NE(raw.find("Set-Cookie: a=1; path=/\r\n"), std::string::npos);
    EXPECT_EQ(raw.find("set-cookie"), std::string::npos);
    EXPECT_EQ(raw.rfind("HTTP/1.1 200 OK\r\n", 0), 0u);

    cookies = "untouched";
    http_request(peer.url(), kHttpPost, "", std::nullopt, &cookies, nullptr, &raw);
    EXPECT_EQ(cookies, "");
    EXPECT_NE(raw.find("Content-Length: 1\r\n"), std::string::npos);
}

// Cookies a response sets are sent back by the platform while the cookie
// argument is left out; a given cookie argument (even "") switches that off.
TEST(HttpRequestCookies, AutomaticHandlingOnlyWithoutCookieArgument) {
    Responder peer;
    ASSERT_TRUE(peer.ok());
    peer.script_bytes(http_response(
        200, "set", "Set-Cookie: sid=p" + std::to_string(peer.port()) + "; path=/\r\n"));
    peer.answer_with_body("auto");
    peer.answer_with_body("empty");
    peer.answer_with_body("given");
    http_request(peer.url(), kHttpPost, "1");
    http_request(peer.url(), kHttpPost, "2");
    http_request(peer.url(), kHttpPost, "3", std::string());
    std::string headers;
    http_request(peer.url(), kHttpPost, "4", std::string("k=v"), nullptr, &headers);
    ASSERT_EQ(peer.request_count(), 4u);
    std::vector<ReceivedRequest> r = peer.requests();
    const std::string sid = "sid=p" + std::to_string(peer.port());
    EXPECT_EQ(r[0].own_cookies(), "");
    EXPECT_EQ(r[1].own_cookies(), sid);
    EXPECT_EQ(r[2].own_cookies(), "");
    EXPECT_EQ(r[3].header("Cookie"), "k=v");
    EXPECT_EQ(count_named(r[3], "Cookie:"), 1u);
    EXPECT_NE(headers.find("\r\nCookie: k=v"), std::string::npos);
}

TEST(HttpRequestAnswers, ErrorStatusBodyNulBytesAndRedirect) {
    Responder peer;
    ASSERT_TRUE(peer.ok());
    peer.script_bytes(http_response(500, "server broke"));
    peer.script_bytes(http_response(200, std::string("ab\0cd", 5)));
    peer.script_bytes(http_response(302, "", "Location: " + peer.url_for("/moved?x=1") + "\r\n"));
    peer.answer_with_body("arrived");
    EXPECT_EQ(http_request(peer.url(), kHttpPost, "a"), "server broke");
    EXPECT_EQ(http_request(peer.url(), kHttpPost, "b"), std::string("ab\0cd", 5));
    EXPECT_EQ(http_request(peer.url(), kHttpGet), "arrived");
    ASSERT_EQ(peer.request_count(), 4u);
    EXPECT_EQ(peer.requests()[3].request_line(), "GET /moved?x=1 HTTP/1.1");
}

TEST(HttpRequestAnswers, RefusedRedirectReturnsTheRedirectBody) {
    Responder peer;
    ASSERT_TRUE(peer.ok());
    peer.script_bytes(http_response(302, "see other", "Location: " + peer.url_for("/x") + "\r\n"));
    EXPECT_EQ(http_request(peer.url(), kHttpGet, "", std::nullopt, nullptr, nullptr, nullptr, true),
              "see other");
    EXPECT_EQ(peer.request_count(), 1u);
}

TEST(HttpRequestAnswers, OversizedHeaderBlockGivesNoHeadersAndNoCookies) {
    Responder peer;
    ASSERT_TRUE(peer.ok());
    // Many ordinary lines (the platform may cut a single over-long line).
    std::string extra = "Set-Cookie: big=1\r\n";
    for (int i = 0; i < 60; ++i) {
        extra += "X-Padding-" + std::to_string(i) + ": " + std::string(100, 'p') + "\r\n";
    }
    peer.script_bytes(http_response(200, "body", extra));
    std::string cookies = "untouched";
    std::string raw = "untouched";
    EXPECT_EQ(http_request(peer.url(), kHttpPost, "", std::nullopt, &cookies, nullptr, &raw),
              "body");
    EXPECT_EQ(cookies, "");
    EXPECT_EQ(raw.find("HTTP/1.1"), std::string::npos);
}

TEST(HttpRequestAnswers, LargeBodyArrivesWhole) {
    Responder peer;
    ASSERT_TRUE(peer.ok());
    std::string big(3 * 1024 * 1024, '\0');
    for (size_t i = 0; i < big.size(); ++i) {
        big[i] = static_cast<char>((i * 131) % 251);
    }
    peer.answer_with_body(big);
    std::string body = http_request(peer.url(), kHttpPost, "cmd=5");
    ASSERT_EQ(body.size(), big.size());
    EXPECT_TRUE(body == big);
}

TEST(HttpRequestFaults, RefusedConnectionGivesEmptyAtOnce) {
    std::string url =
        "http://127.0.0.1:" + std::to_string(testsupport::refused_port()) + "/tx-client.asp";
    std::string headers;
    std::string cookies = "untouched";
    std::string raw = "untouched";
    DWORD start = GetTickCount();
    EXPECT_EQ(http_request(url, kHttpPost, "cmd=c", std::nullopt, &cookies, &headers, &raw), "");
    EXPECT_LT(GetTickCount() - start, 3000u);
    EXPECT_EQ(cookies, "");
    EXPECT_EQ(raw.find("HTTP/"), std::string::npos);
    // The request handle existed, so the default lines were added.
    EXPECT_EQ(headers.rfind("Accept: */*\r\nReferer: ", 0), 0u);
}

TEST(HttpRequestFaults, SilentServerEndsWithinTheTimeouts) {
    Responder peer;
    ASSERT_TRUE(peer.ok());
    ScriptedAnswer silent;
    silent.never_answer = true;
    peer.script(silent);
    std::string raw = "untouched";
    DWORD start = GetTickCount();
    EXPECT_EQ(http_request(peer.url(), kHttpPost, "cmd=c", std::nullopt, nullptr, nullptr, &raw),
              "");
    DWORD elapsed = GetTickCount() - start;
    // The send fails once the answer is overdue; nothing is read after that.
    EXPECT_LT(elapsed, kHttpReceiveTimeoutMs + 2000);
    EXPECT_EQ(raw, "");
    EXPECT_EQ(peer.request_count(), 1u);
}

TEST(HttpRequestFaults, ConnectionClosedBeforeAnyAnswerGivesNoHeaders) {
    Responder peer;
    ASSERT_TRUE(peer.ok());
    ScriptedAnswer closed = testsupport::answer_with_body("never sent");
    closed.drop_after = 0;
    peer.script(closed);
    std::string raw = "untouched";
    std::string cookies = "untouched";
    EXPECT_EQ(http_request(peer.url(), kHttpPost, "cmd=c", std::nullopt, &cookies, nullptr, &raw),
              "");
    EXPECT_EQ(raw, "");
    EXPECT_EQ(cookies, "");
}

TEST(HttpRequestFaults, ConnectionDroppedMidBodyGivesWhatArrived) {
    Responder peer;
    ASSERT_TRUE(peer.ok());
    std::string body(4000, 'z');
    for (size_t i = 0; i < body.size(); ++i) {
        body[i] = static_cast<char>('a' + i % 26);
    }
    ScriptedAnswer cut = testsupport::answer_with_body(body);
    const size_t head = cut.bytes.size() - body.size();
    cut.drop_after = head + 2500;
    peer.script(cut);
    EXPECT_EQ(http_request(peer.url(), kHttpPost, "cmd=5"), body.substr(0, 2500));
}

// With a proxy the request goes to the proxy, naming the whole URL.
TEST(HttpRequestWire, ProxyReceivesTheRequestForTheUrl) {
    Responder proxy;
    ASSERT_TRUE(proxy.ok());
    proxy.answer_with_body("via proxy");
    const std::string url = "http://account.invalid:8866/tx-client.asp?x=1";
    EXPECT_EQ(http_request(url, kHttpPost, "cmd=c", std::nullopt, nullptr, nullptr, nullptr, false,
                           nullptr, "127.0.0.1:" + std::to_string(proxy.port())),
              "via proxy");
    ASSERT_EQ(proxy.request_count(), 1u);
    ReceivedRequest r = proxy.requests()[0];
    EXPECT_EQ(r.request_line(), "POST " + url + " HTTP/1.1");
    EXPECT_EQ(r.header("Host"), "account.invalid:8866");
    EXPECT_EQ(r.body, "cmd=c");
}

// Several threads open and close requests on one shared connection (as the
// update's download workers do), then the connection closes. Under Wine,
// WinInet links each request into its connection without a lock; unguarded,
// the list broke and closing the connection spun for ever.
TEST(SharedConnection, ManyThreadsOpenAndCloseRequestsAtOnce) {
    struct Run {
        platform::InternetConnection connection;
        std::atomic<int> failed{0};
    };
    auto* run = new Run(); // left behind if the close never returns
    ASSERT_TRUE(run->connection.open("Tarnix", std::string(), "127.0.0.1", 9, {0, 0, 0}));
    HANDLE finished = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    std::thread([run, finished] {
        std::vector<std::thread> threads;
        for (int i = 0; i < 8; ++i) {
            threads.emplace_back([run] {
                for (int n = 0; n < 3000; ++n) {
                    platform::InternetRequest request;
                    if (!request.open(run->connection, "GET", "/", INTERNET_FLAG_RELOAD)) {
                        ++run->failed;
                    }
                }
            });
        }
        for (std::thread& t : threads) {
            t.join();
        }
        run->connection.close();
        SetEvent(finished);
    }).detach();
    ASSERT_EQ(WaitForSingleObject(finished, 60000), WAIT_OBJECT_0)
        << "closing the shared connection did not return";
    EXPECT_EQ(run->failed.load(), 0);
    CloseHandle(finished);
    delete run;
}
