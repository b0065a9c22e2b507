#include "protocol/http_text.h"

#include <gtest/gtest.h>

#include <string>

TEST(HttpText, MethodVerbs) {
    EXPECT_STREQ(http_verb(kHttpGet), "GET");
    EXPECT_STREQ(http_verb(kHttpPost), "POST");
    EXPECT_STREQ(http_verb(kHttpHead), "HEAD");
    EXPECT_STREQ(http_verb(static_cast<HttpMethod>(3)), "GET");
    EXPECT_STREQ(http_verb(static_cast<HttpMethod>(-1)), "GET");
    EXPECT_TRUE(is_secure_url("HTTPS://x/"));
    EXPECT_FALSE(is_secure_url("https:/x"));
    EXPECT_FALSE(is_secure_url("http://x/"));
}

TEST(HttpText, TextBetweenAndTrim) {
    EXPECT_EQ(text_between("a[b]c]", "[", "]"), "b");
    EXPECT_EQ(text_between("a]b[c", "[", "]"), ""); // right marker only before the left one
    EXPECT_EQ(text_between("abc", "x", "c"), "");
    EXPECT_EQ(text_between("[]", "[", "]"), "");
    EXPECT_EQ(trim_text("  \xA1\xA1 a b \xA1\xA1  "), "a b");
    EXPECT_EQ(trim_text(" \xA1\xA1 "), "");
    EXPECT_EQ(trim_text("\t a"), "\t a"); // only spaces are trimmed
    // "\xB0\xA1" is one character followed by a full-width space: the trail
    // byte A1 of the first character must not pair with the space's first byte.
    EXPECT_EQ(trim_text("\xB0\xA1\xA1\xA1"), "\xB0\xA1");
    EXPECT_EQ(trim_text("\xA1\xA1\xB0\xA1"), "\xB0\xA1");
}

TEST(HttpText, UrlHost) {
    EXPECT_EQ(url_host("http://Example.COM:8080/A/B?x=Y"), "example.com");
    EXPECT_EQ(url_host("http://Example.COM:8080/A/B?x=Y", true), "example.com:8080");
    EXPECT_EQ(url_host("HTTPS://Host"), "host");
    EXPECT_EQ(url_host("host.example/path"), "host.example");
    EXPECT_EQ(url_host(""), "");
    // Only ASCII letters fold: the trail byte of a GBK character (here 0x41)
    // stays as it is.
    EXPECT_EQ(url_host("http://\x81\x41Z/"), "\x81\x41z");
}

TEST(HttpText, UrlPort) {
    EXPECT_EQ(url_port("http://h/x"), 80);
    EXPECT_EQ(url_port("https://h/x"), 443);
    EXPECT_EQ(url_port("HTTPS://h"), 443);
    EXPECT_EQ(url_port("http://h:8866/tx-client.asp"), 8866);
    EXPECT_EQ(url_port("https://h:8443"), 8443);
    EXPECT_EQ(url_port("http://h:/x"), 0);
    EXPECT_EQ(url_port("http://h:12ab/x"), 12);
    EXPECT_EQ(url_port("http://h:99999999999999999999/"), 99999);
}

TEST(HttpText, UrlPath) {
    EXPECT_EQ(url_path("http://HOST:81/Tx-Client.ASP?U=Ab#F"), "/Tx-Client.ASP?U=Ab#F");
    EXPECT_EQ(url_path("http://host"), "/");
    EXPECT_EQ(url_path("http://host:81"), "/");
    EXPECT_EQ(url_path("host/a"), "/a");
    // Hosts that also occur inside the scheme.
    EXPECT_EQ(url_path("http://t/x"), "/x");
    EXPECT_EQ(url_path("https://tp:8/y?q"), "/y?q");
    EXPECT_EQ(url_path("HTTP://H/Z"), "/Z");
}

TEST(HttpText, UserAgent) {
    const std::string fallback(kDefaultUserAgent);
    EXPECT_EQ(user_agent_for(""), fallback);
    EXPECT_EQ(user_agent_for("Accept: x"), fallback);
    EXPECT_EQ(user_agent_for("Accept: x\r\nUser-Agent:  Mine/1 \r\nX: y"), "Mine/1");
    EXPECT_EQ(user_agent_for("User-Agent: \xA1\xA1Mine"), "Mine");
    // The name in another letter case: that line's value, never the rest of the block.
    EXPECT_EQ(user_agent_for("Accept: x\r\nuser-agent: low/2\r\nX: y"), "low/2");
    EXPECT_EQ(user_agent_for("User-Agent:   \r\nX: y"), fallback);
}

TEST(HttpText, DefaultHeaderBlock) {
    const std::string url = "http://Host/tx-client.asp";
    std::string h;
    append_default_headers(h, url, std::nullopt);
    EXPECT_EQ(h, "Accept: */*\r\nReferer: http://Host/tx-client.asp\r\nAccept-Language: zh-cn\r\n"
                 "Content-Type: application/x-www-form-urlencoded");

    h = "Accept: a\r\nReferer: r\r\nAccept-Language: l\r\nContent-Type: t";
    std::string before = h;
    append_default_headers(h, url, std::string());
    EXPECT_EQ(h, before); // nothing to add, and an empty cookie text adds no line

    h = "accept: a\r\ncontent-type: t";
    append_default_headers(h, url, std::string("s=1"));
    EXPECT_EQ(h, "accept: a\r\ncontent-type: t\r\nAccept: */*\r\nReferer: " + url +
                     "\r\nAccept-Language: zh-cn\r\nContent-Type: "
                     "application/x-www-form-urlencoded\r\nCookie: s=1");

    h = "";
    append_default_headers(h, url, std::string("Cookie: a=1; b=2"));
    EXPECT_EQ(h.substr(h.rfind("\r\n")), "\r\nCookie: a=1; b=2");
}

TEST(HttpText, SetCookieRewriteAndCookies) {
    EXPECT_EQ(normalize_set_cookie("set-cookie: a\r\nSET-COOKIE: b\r\nX-Set-cookieY: c"),
              "Set-Cookie: a\r\nSet-Cookie: b\r\nX-Set-CookieY: c");
    std::string raw = normalize_set_cookie("HTTP/1.1 200 OK\r\nset-cookie: a=1; path=/\r\n"
                                           "Set-Cookie: b=2\r\nContent-Length: 0\r\n\r\n");
    EXPECT_EQ(extract_cookies(raw), "a=1; b=2");
    EXPECT_EQ(extract_cookies("HTTP/1.1 200 OK\r\nContent-Length: 0\r\n\r\n"), "");
    EXPECT_EQ(extract_cookies(""), "");
    EXPECT_EQ(extract_cookies("Set-Cookie:   k=v  ; HttpOnly\r\nSet-Cookie: \xA1\xA1m=n"),
              "k=v; m=n");
    // A line holding the name without its colon still contributes its text.
    EXPECT_EQ(extract_cookies("Set-Cookie2 x"), "Set-Cookie2 x");
    // No final line break: the last line counts too.
    EXPECT_EQ(extract_cookies("X: 1\r\nSet-Cookie: z=9"), "z=9");
}
