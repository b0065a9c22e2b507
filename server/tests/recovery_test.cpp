// Password recovery on the main port, through HTTP as a browser speaks it: links
// refused for every reason a link can be bad (and the password left alone), the
// password rule counted in GBK bytes, one answer whatever a request matched, and
// what a client sends coming back escaped or refused, and the link and the notices
// arriving by mail. The browser's own walk through the pages, with real mail, is
// recovery_browser_test.py.
#include "answers.h"
#include "base/crypto.h"
#include "server_process.h"
#include "smtp_relay.h"

#include <gtest/gtest.h>
#include <httplib.h>
#include <sqlite3.h>

#include <algorithm>
#include <chrono>
#include <regex>
#include <string>
#include <vector>

using namespace server_test;

namespace {

const std::string kPublic = "http://tarnix.example";

// A browser's view: one cookie jar, form fields taken from the page.
struct Browser {
    explicit Browser(const ServerProcess& s) : server(s) {}
    const ServerProcess& server;
    std::string cookie; // "tx_form=..." once set
    httplib::Headers last_headers;

    Answer send(const std::string& method, const std::string& path, const std::string& body = "",
                bool with_cookie = true) {
        httplib::Client c("127.0.0.1", server.port());
        httplib::Headers headers;
        if (with_cookie && !cookie.empty())
            headers.emplace("Cookie", cookie);
        auto res = method == "GET"
                       ? c.Get(path.c_str(), headers)
                       : c.Post(path.c_str(), headers, body, "application/x-www-form-urlencoded");
        if (!res)
            return Answer{-1, ""};
        last_headers = res->headers;
        const std::string set = res->get_header_value("Set-Cookie");
        if (!set.empty())
            cookie = set.substr(0, set.find(';'));
        return Answer{res->status, res->body};
    }
    Answer get(const std::string& path) { return send("GET", path); }
    Answer post(const std::string& path, const std::string& body, bool with_cookie = true) {
        return send("POST", path, body, with_cookie);
    }
};

std::string csrf_of(const std::string& html) {
    std::smatch m;
    return std::regex_search(html, m, std::regex("name=\"csrf\" value=\"([^\"]*)\"")) ? m[1].str()
                                                                                      : "";
}

std::string path_of(const std::string& link) {
    return link.substr(kPublic.size());
}

bool contains(const std::string& haystack, const std::string& needle) {
    return haystack.find(needle) != std::string::npos;
}

void sign_up(const ServerProcess& server, const std::string& wire_name, const std::string& email) {
    ASSERT_EQ(server.ask("cmd=9&emily=" + email).size(), 6u);
    ASSERT_EQ(server.ask("cmd=2&u=" + wire_name + "&p=secret1&q=" + email), kSignUpOk);
}

// A fresh link from the operator's command (its line on stdout).
std::string admin_link(const ServerProcess& server, const std::string& name) {
    std::string out;
    EXPECT_EQ(run_server({"admin", "--db", server.db(), "--public-url", kPublic, "accounts",
                          "reset-link", name},
                         &out),
              0);
    while (!out.empty() && out.back() == '\n')
        out.pop_back();
    return out;
}

// Sets the password through the link's form; the page that answers.
Answer set_password(Browser& b, const std::string& path, const std::string& password,
                    const std::string& again) {
    Answer form = b.get(path);
    return b.post(path, "csrf=" + csrf_of(form.body) + "&password=" + password + "&again=" + again);
}

const char kUsed[] = "此链接已使用过";
const char kReplaced[] = "之后又申请了新的链接";
const char kExpired[] = "此链接已过期";
const char kUnknownLink[] = "此链接无效";
const char kNoCookie[] = "安全校验失败";
const char kDone[] = "密码已重置，请使用新密码登录";

} // namespace

TEST(RecoveryTest, ALinkIsRefusedOnceUsedReplacedExpiredOrAlteredAndThePasswordStays) {
    ServerProcess server({"--public-url", kPublic});
    sign_up(server, "forgot1", "forgot1@example.com");
    Browser b(server);

    const std::string older = admin_link(server, "forgot1");
    ASSERT_EQ(older.rfind(kPublic + "/account/reset/", 0), 0u) << older;
    EXPECT_EQ(older.size(), kPublic.size() + 15 + 43) << "32 bytes in base64url";
    const std::string link = admin_link(server, "forgot1");
    Answer a = b.get(path_of(older));
    EXPECT_EQ(a.status, 410);
    EXPECT_TRUE(contains(a.body, kReplaced)) << a.body;

    // One character changed, wherever it is.
    for (size_t at : {link.size() - 1, link.size() - 20}) {
        std::string altered = link;
        altered[at] = altered[at] == 'A' ? 'B' : 'A';
        a = set_password(b, path_of(altered), "hacked1", "hacked1");
        EXPECT_EQ(a.status, 404) << at;
        EXPECT_TRUE(contains(a.body, kUnknownLink)) << a.body;
    }
    a = b.get(path_of(link));
    ASSERT_EQ(a.status, 200);
    EXPECT_TRUE(contains(a.body, "<strong>forgot1</strong>")) << a.body;
    const std::string csrf = csrf_of(a.body);
    a = b.post(path_of(link), "csrf=" + csrf + "&password=hacked1&again=hacked1", false);
    EXPECT_EQ(a.status, 403) << "without the form's cookie";
    EXPECT_TRUE(contains(a.body, kNoCookie)) << a.body;
    // The way on opens this form again; a new link would end the one the user holds.
    EXPECT_TRUE(contains(a.body, "href=\"" + path_of(link) + "\"")) << a.body;
    EXPECT_FALSE(contains(a.body, "href=\"/account/reset\"")) << a.body;
    a = b.post(path_of(link), "csrf=" + csrf + "x&password=hacked1&again=hacked1");
    EXPECT_EQ(a.status, 403) << "with another token";
    EXPECT_EQ(server.sign_in("forgot1", "secret1"), kSignInOk) << "nothing changed so far";

    a = set_password(b, path_of(link), "newpass1", "newpass1");
    EXPECT_EQ(a.status, 200);
    EXPECT_TRUE(contains(a.body, kDone)) << a.body;
    a = set_password(b, path_of(link), "hacked1", "hacked1");
    EXPECT_EQ(a.status, 410) << "used twice";
    EXPECT_TRUE(contains(a.body, kUsed)) << a.body;
    EXPECT_EQ(server.sign_in("forgot1", "secret1"), kWrong);
    EXPECT_EQ(server.sign_in("forgot1", "newpass1"), kSignInOk);

    const std::string late = admin_link(server, "forgot1");
    run_sql(server, "UPDATE reset_links SET expires = created - 1 WHERE state = 0");
    a = set_password(b, path_of(late), "hacked1", "hacked1");
    EXPECT_EQ(a.status, 410);
    EXPECT_TRUE(contains(a.body, kExpired)) << a.body;
    EXPECT_EQ(server.sign_in("forgot1", "newpass1"), kSignInOk) << "the password stayed";

    EXPECT_EQ(server.stop(), 0);
    const std::string log = read_file(server.log_path());
    EXPECT_FALSE(contains(log, link.substr(link.rfind('/') + 1))) << "no token in the log";
    EXPECT_TRUE(contains(log, "/account/reset/(token)"));
}

TEST(RecoveryTest, TheNewPasswordFollowsTheSignUpRuleInGbkBytes) {
    ServerProcess server({"--public-url", kPublic});
    sign_up(server, "rules01", "rules01@example.com");
    Browser b(server);
    const std::string path = path_of(admin_link(server, "rules01"));
    const std::string two_han = "%E5%AF%86%E7%A0%81"; // 密码: 6 bytes of UTF-8, 4 of GBK
    struct Case {
        std::string password, again, message;
    };
    const std::vector<Case> refused = {
        {two_han + "1", two_han + "1", "新密码须为6至16位"}, // 5 GBK bytes
        {"abc", "abc", "新密码须为6至16位"},
        {"abcdefghijklmnopq", "abcdefghijklmnopq", "新密码须为6至16位"},
        {"ab%F0%9F%98%80cdef", "ab%F0%9F%98%80cdef", "无法使用的字符"}, // an emoji
        {"abc%FFdef", "abc%FFdef", "不是有效的UTF-8"},
        {"abc%09def", "abc%09def", "控制字符"}, // a tab
        {"newpass1", "newpass2", "两次输入的新密码不一致"},
    };
    for (const Case& c : refused) {
        Answer a = set_password(b, path, c.password, c.again);
        EXPECT_EQ(a.status, 400) << c.password;
        EXPECT_TRUE(contains(a.body, c.message)) << c.password << ": " << a.body;
        EXPECT_TRUE(contains(a.body, "name=\"password\"")) << "the form again";
    }
    EXPECT_EQ(server.sign_in("rules01", "secret1"), kSignInOk);
    // Seven characters of UTF-8 bytes, six GBK bytes: allowed.
    Answer a = set_password(b, path, two_han + "12", two_han + "12");
    EXPECT_TRUE(contains(a.body, kDone)) << a.body;
    EXPECT_EQ(server.sign_in("rules01", "\xC3\xDC\xC2\xEB"
                                        "12"),
              kSignInOk)
        << "stored as GBK";
}

TEST(RecoveryTest, AResetEndsEveryLockAndTheLiveChallengeAndIsCounted) {
    ServerProcess server(
        {"--public-url", kPublic, "--lock-seconds", "300", "--admin-listen", "127.0.0.1:0"});
    sign_up(server, "locked1", "locked1@example.com");
    for (int i = 0; i < 5; ++i)
        server.sign_in("locked1", "wrong11");
    ASSERT_EQ(server.sign_in("locked1", "secret1"), kLocked);
    const std::string challenge = server.ask("cmd=0&u=locked1");
    Browser b(server);
    ASSERT_TRUE(contains(
        set_password(b, path_of(admin_link(server, "locked1")), "newpass1", "newpass1").body,
        kDone));
    EXPECT_EQ(server.ask("cmd=1&u=locked1&p=" + server::md5_hex(challenge + "newpass1")),
              kNoChallenge)
        << "a challenge given before the reset is gone";
    EXPECT_EQ(server.sign_in("locked1", "newpass1"), kSignInOk) << "unlocked";

    httplib::Client admin("127.0.0.1", server.admin_port());
    auto metrics = admin.Get("/metrics");
    ASSERT_TRUE(metrics);
    EXPECT_TRUE(contains(metrics->body, "\ntarnix_password_resets_total 1\n")) << metrics->body;
    EXPECT_TRUE(contains(metrics->body, "\ntarnix_reset_mails_total 0\n"))
        << "the operator's link is not mailed";
}

TEST(RecoveryTest, EveryRequestForALinkGetsTheSameAnswerInTheSameTime) {
    ServerProcess server({"--public-url", kPublic});
    sign_up(server, "enum001", "enum001@example.com");
    Browser b(server);
    const std::string csrf = csrf_of(b.get("/account/reset").body);
    const std::vector<std::string> bodies = {
        "account=enum001&email=other%40example.com",   // wrong address
        "account=nobody1&email=enum001%40example.com", // no such account
        "account=enum001&email=ENUM001%40example.com", // the right pair
    };
    std::vector<std::string> answers(3);
    std::vector<std::vector<double>> ms(3);
    for (int round = 0; round < 40; ++round) {
        for (int k = 0; k < 3; ++k) {
            // Each round in another order, so the mail work after a match does not
            // always fall on the same kind.
            const int i = (k + round) % 3;
            const auto start = std::chrono::steady_clock::now();
            Answer a = b.post("/account/reset", "csrf=" + csrf + "&" + bodies[i]);
            ms[i].push_back(
                std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start)
                    .count());
            ASSERT_EQ(a.status, 200);
            if (round == 0)
                answers[i] = a.body;
            else
                EXPECT_EQ(a.body, answers[i]) << "the same each time";
        }
    }
    EXPECT_EQ(answers[0], answers[1]);
    EXPECT_EQ(answers[0], answers[2]);
    EXPECT_TRUE(contains(answers[0], "如果账号与邮箱匹配，重置链接已发送到该邮箱，30分钟内有效"));
    // The noise: the spread (interquartile range) of all the times together. The
    // kinds' medians must lie closer to each other than that.
    auto median = [](std::vector<double> v) {
        std::sort(v.begin(), v.end());
        return v[v.size() / 2];
    };
    std::vector<double> all;
    for (auto& v : ms)
        all.insert(all.end(), v.begin(), v.end());
    std::sort(all.begin(), all.end());
    const double noise = all[all.size() * 3 / 4] - all[all.size() / 4];
    const double m0 = median(ms[0]), m1 = median(ms[1]), m2 = median(ms[2]);
    const double spread = std::max({m0, m1, m2}) - std::min({m0, m1, m2});
    std::printf("medians %.3f %.3f %.3f ms, their spread %.3f ms, noise (IQR) %.3f ms\n", m0, m1,
                m2, spread, noise);
    EXPECT_LT(spread, std::max(noise, 0.05));
}

TEST(RecoveryTest, WhatAClientSendsComesBackEscapedOrRefused) {
    ServerProcess server({"--public-url", kPublic});
    // A name the client may register: six bytes with quotes and markup.
    sign_up(server, "%22%3E%3Ci%3Ex'", "quote@example.com");
    Browser b(server);
    Answer a = b.get(path_of(admin_link(server, "\"><i>x'")));
    EXPECT_TRUE(contains(a.body, "<strong>&quot;&gt;&lt;i&gt;x&#39;</strong>")) << a.body;
    EXPECT_FALSE(contains(a.body, "<i>"));

    const std::string csrf = csrf_of(b.get("/account/reset").body);
    a = b.post("/account/reset",
               "csrf=" + csrf + "&account=%3Cscript%3Ealert(1)%3C%2Fscript%3E%22&email=");
    EXPECT_EQ(a.status, 400) << "an empty address: the form again";
    EXPECT_TRUE(contains(a.body, "value=\"&lt;script&gt;alert(1)&lt;/script&gt;&quot;\""))
        << a.body;
    EXPECT_FALSE(contains(a.body, "<script>"));
    a = b.post("/account/reset", "csrf=" + csrf + "&account=%FF%3Cb%3E&email=a%40b.c");
    EXPECT_EQ(a.status, 400) << "not UTF-8";
    EXPECT_TRUE(contains(a.body, "不是有效的UTF-8"));
    EXPECT_FALSE(contains(a.body, "\xFF")) << "not written back";
    a = b.post("/account/reset", "csrf=" + csrf + "&account=a%ZZ");
    EXPECT_EQ(a.status, 400) << "a broken escape";
    a = b.post("/account/reset", "csrf=" + csrf + "&account=a&account=b&email=x");
    EXPECT_EQ(a.status, 400) << "a field twice";
    a = b.post("/account/reset", "csrf=" + csrf + "&account=" + std::string(70000, 'a'));
    EXPECT_EQ(a.status, 413) << "bounded like every body";

    a = b.get("/account/reset/%3Cscript%3E");
    EXPECT_EQ(a.status, 404);
    EXPECT_FALSE(contains(a.body, "script"));
}

TEST(RecoveryTest, PagesCarryTheSecurityHeadersAndTheFormCookie) {
    ServerProcess server({"--public-url", "https://tarnix.example"});
    Browser b(server);
    Answer a = b.get("/account/reset");
    ASSERT_EQ(a.status, 200);
    auto header = [&](const char* name) {
        auto it = b.last_headers.find(name);
        return it == b.last_headers.end() ? std::string() : it->second;
    };
    EXPECT_EQ(header("Content-Type"), "text/html; charset=utf-8");
    EXPECT_EQ(header("Content-Security-Policy"),
              "default-src 'none'; style-src 'self'; form-action 'self'; frame-ancestors 'none'");
    EXPECT_EQ(header("X-Content-Type-Options"), "nosniff");
    EXPECT_EQ(header("Referrer-Policy"), "no-referrer");
    EXPECT_EQ(header("Cache-Control"), "no-store");
    const std::string set = header("Set-Cookie");
    EXPECT_TRUE(contains(set, "; Path=/account/reset; HttpOnly; SameSite=Strict; Secure")) << set;
    EXPECT_TRUE(contains(a.body, "<html lang=\"zh-CN\">"));
    EXPECT_TRUE(contains(a.body, "<label for=\"account\">"));
    EXPECT_TRUE(contains(a.body, "<label for=\"email\">"));
    EXPECT_FALSE(contains(a.body, "<script"));

    const std::string cookie = b.cookie;
    b.get("/account/reset");
    EXPECT_EQ(b.cookie, cookie) << "a browser's cookie is kept";
    a = b.get("/account/style.css");
    EXPECT_EQ(header("Content-Type"), "text/css; charset=utf-8");
    EXPECT_TRUE(contains(a.body, "rgb(47,53,60)"));
    EXPECT_TRUE(contains(a.body, "font-family:\"微软雅黑\""));
}

TEST(RecoveryTest, WithoutAPublicUrlThePagesAreNotThere) {
    ServerProcess server;
    Browser b(server);
    EXPECT_EQ(b.get("/account/reset").status, 404);
    EXPECT_EQ(b.get("/account/style.css").status, 404);
    std::string out, err;
    EXPECT_EQ(
        run_server({"admin", "--db", server.db(), "accounts", "reset-link", "anyone1"}, &out, &err),
        2);
    EXPECT_TRUE(contains(err, "--public-url")) << err;
    EXPECT_EQ(server.stop(), 0);
    EXPECT_TRUE(contains(read_file(server.log_path()), "password recovery is off"));
    EXPECT_EQ(run_server({"--public-url", "ftp://x"}, nullptr, &err), 2);
    EXPECT_TRUE(contains(err, "public-url")) << err;
    // A path under which the pages' absolute paths would all miss is refused.
    EXPECT_EQ(run_server({"--public-url", "https://example.org/tarnix"}, nullptr, &err), 2);
    EXPECT_TRUE(contains(err, "without a path")) << err;
}

TEST(RecoveryTest, RequestsCountAgainstTheAddressBudget) {
    ServerProcess server(
        {"--public-url", kPublic, "--exempt-addresses", "", "--reset-requests-per-minute", "2"});
    Browser b(server);
    const std::string csrf = csrf_of(b.get("/account/reset").body);
    const std::string body = "csrf=" + csrf + "&account=budget1&email=b%40example.com";
    EXPECT_EQ(b.post("/account/reset", body).status, 200);
    EXPECT_EQ(b.post("/account/reset", body).status, 200);
    Answer a = b.post("/account/reset", body);
    EXPECT_EQ(a.status, 429);
    EXPECT_TRUE(contains(a.body, "请求过于频繁")) << a.body;
}

namespace {

// The mails whose decoded subject is `subject`.
std::vector<std::string> with_subject(const std::vector<std::string>& mails,
                                      const std::string& subject) {
    std::vector<std::string> out;
    for (const std::string& m : mails) {
        if (decode_words(header(m, "Subject")) == subject)
            out.push_back(m);
    }
    return out;
}

// A mail's text with LF line ends.
std::string text_of(const std::string& mail) {
    std::string text = body_of(mail);
    text.erase(std::remove(text.begin(), text.end(), '\r'), text.end());
    return text;
}

std::string link_in(const std::string& text) {
    std::smatch m;
    return std::regex_search(text, m, std::regex(kPublic + "/account/reset/[A-Za-z0-9_-]+"))
               ? m[0].str()
               : "";
}

} // namespace

// Through the mail queue to a real SMTP server: the link's mail, then one notice for
// each change (by the link, by command 3) and one for the failure that locks; none
// for the wrong passwords before it.
TEST(RecoveryTest, TheLinkAndEveryNoticeArriveByMailOnceEach) {
    Relay relay({});
    ASSERT_NE(relay.port(), 0);
    ServerProcess server({"--public-url", kPublic, "--smtp-url",
                          "smtp://127.0.0.1:" + std::to_string(relay.port()),
                          "--smtp-allow-plaintext", "--mail-from", "Tarnix <no-reply@example.com>",
                          "--lock-seconds", "300"});
    sign_up(server, "mailed1", "mailed1@example.com");
    ASSERT_EQ(relay.mails(1, 20).size(), 1u) << "the code's mail";

    Browser b(server);
    const std::string csrf = csrf_of(b.get("/account/reset").body);
    ASSERT_EQ(
        b.post("/account/reset", "csrf=" + csrf + "&account=mailed1&email=MAILED1%40example.com")
            .status,
        200);
    std::vector<std::string> links = with_subject(relay.mails(2, 20), "Tarnix账号服务密码重置");
    ASSERT_EQ(links.size(), 1u);
    EXPECT_EQ(header(links[0], "To"), "mailed1@example.com");
    const std::string body = text_of(links[0]);
    EXPECT_TRUE(contains(body, "mailed1")) << body;
    EXPECT_TRUE(contains(body, "30分钟")) << body;
    const std::string link = link_in(body);
    ASSERT_FALSE(link.empty()) << body;
    ASSERT_TRUE(contains(set_password(b, path_of(link), "newpass1", "newpass1").body, kDone));

    std::vector<std::string> changed = with_subject(relay.mails(3, 20), "您的Tarnix账号密码已修改");
    ASSERT_EQ(changed.size(), 1u) << "a notice of the reset";
    EXPECT_EQ(server.ask("cmd=3&u=mailed1&p=newpass1&n=newpass2"), kChanged);
    changed = with_subject(relay.mails(4, 20), "您的Tarnix账号密码已修改");
    ASSERT_EQ(changed.size(), 2u) << "a notice of the change by command 3";
    for (const std::string& m : changed) {
        const std::string text = text_of(m);
        EXPECT_TRUE(contains(text, "127.0.0.1")) << "the address the change came from: " << text;
        EXPECT_TRUE(contains(text, " UTC+08:00")) << "the time with its zone: " << text;
        EXPECT_TRUE(contains(text, kPublic + "/account/reset\n")) << text;
        EXPECT_FALSE(contains(text, "newpass")) << text;
    }

    for (int i = 0; i < 4; ++i)
        EXPECT_EQ(server.sign_in("mailed1", "wrong11"), kWrong);
    std::this_thread::sleep_for(std::chrono::seconds(2));
    EXPECT_EQ(relay.mails().size(), 4u) << "no mail for a wrong password that does not lock";
    server.sign_in("mailed1", "wrong11");
    ASSERT_EQ(server.sign_in("mailed1", "newpass2"), kLocked);
    const std::vector<std::string> locked =
        with_subject(relay.mails(5, 20), "您的Tarnix账号已被锁定");
    ASSERT_EQ(locked.size(), 1u);
    EXPECT_TRUE(contains(text_of(locked[0]), kPublic + "/account/reset\n"));
    server.sign_in("mailed1", "wrong11");
    std::this_thread::sleep_for(std::chrono::seconds(2));
    EXPECT_EQ(relay.mails().size(), 5u) << "one notice per lock, not per failure while locked";
}

// The default transport writes the link where the codes go, so recovery works with
// nothing more; a template that names an unknown placeholder stops the server.
TEST(RecoveryTest, WithTheOutboxTheLinkIsALineAndTemplatesAreCheckedAtStart) {
    ServerProcess server({"--public-url", kPublic});
    sign_up(server, "boxed01", "boxed01@example.com");
    Browser b(server);
    const std::string csrf = csrf_of(b.get("/account/reset").body);
    b.post("/account/reset", "csrf=" + csrf + "&account=boxed01&email=boxed01%40example.com");
    std::string link;
    for (int i = 0; i < 50 && link.empty(); ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        link = link_in(read_file(server.outbox_path()));
    }
    ASSERT_FALSE(link.empty()) << read_file(server.outbox_path());
    EXPECT_TRUE(contains(read_file(server.outbox_path()), "\tboxed01@example.com\treset\t" + link));
    EXPECT_TRUE(contains(set_password(b, path_of(link), "newpass1", "newpass1").body, kDone));

    const std::string dir = server.dir();
    std::ofstream(dir + "/locked.txt") << "Subject: {service}\n\n{account} {link}\n";
    std::string err;
    EXPECT_EQ(run_server({"--public-url", kPublic, "--locked-mail-template", dir + "/locked.txt"},
                         nullptr, &err),
              2);
    EXPECT_TRUE(contains(err, "locked-mail-template")) << err;
    EXPECT_TRUE(contains(err, "{link}")) << err;
}
