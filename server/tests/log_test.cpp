// The log in both formats after a whole account's life: JSON lines all parse (also
// for account names that are not GBK), and neither format holds a password, proof
// or code.
#include "answers.h"
#include "base/crypto.h"
#include "base/log.h"
#include "server_process.h"

#include <gtest/gtest.h>

#include <string>

using namespace server_test;

namespace {

std::string json_string(const std::string& s) {
    std::string out;
    server::append_json_string(out, s);
    return out;
}

TEST(LogTest, JsonStringsAreEscapedAndAlwaysUtf8) {
    EXPECT_EQ(json_string("plain"), "\"plain\"");
    EXPECT_EQ(json_string("a\"b\\c"), "\"a\\\"b\\\\c\"");
    EXPECT_EQ(json_string(std::string("\x01\n\t\x7F", 4)), "\"\\u0001\\n\\t\\u007f\"");
    EXPECT_EQ(json_string("\xE5\xBC\xA0"), "\"\xE5\xBC\xA0\"") << "UTF-8 kept";
    const std::string replacement = "\xEF\xBF\xBD";
    EXPECT_EQ(json_string("\xFF"), "\"" + replacement + "\"");
    EXPECT_EQ(json_string("a\xE5\xBC"), "\"a" + replacement + replacement + "\"") << "cut short";
    EXPECT_EQ(json_string("\xC0\xAF"), "\"" + replacement + replacement + "\"") << "overlong";
    EXPECT_EQ(json_string("\xED\xA0\x80"), "\"" + replacement + replacement + replacement + "\"")
        << "a surrogate";
    EXPECT_EQ(json_string("\xF0\x9F\x98\x80"), "\"\xF0\x9F\x98\x80\"");
}

// Checks every line of `log` with Debian's Python: each a JSON object with the
// common fields, requests with theirs; prints what is wrong.
bool every_line_parses(const std::string& dir, const std::string& log) {
    const std::string script = dir + "/check.py";
    std::ofstream(script) << R"(
import json, re, sys
requests = accounts = 0
with open(sys.argv[1], encoding="utf-8", errors="strict") as f:
    for n, line in enumerate(f, 1):
        o = json.loads(line)
        assert isinstance(o, dict), n
        assert re.fullmatch(r"\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{3}Z", o["time"]), o
        assert o["level"] in ("info", "warn", "error"), o
        assert isinstance(o["event"], str), o
        if o["event"] == "request":
            requests += 1
            assert isinstance(o["client"], str) and isinstance(o["command"], str), o
            assert isinstance(o["result"], str) and isinstance(o["duration_ms"], float), o
            accounts += "account" in o
assert requests >= 10 and accounts >= 8, (requests, accounts)
)";
    return std::system(("/usr/bin/python3 " + script + " " + log + " >&2").c_str()) == 0;
}

TEST(LogTest, NoSecretInEitherFormatAfterAWholeAccountLife) {
    for (const std::string format : {"text", "json"}) {
        SCOPED_TRACE(format);
        ServerProcess server({"--log-format", format});
        const std::string code = server.ask("cmd=9&emily=log@example.com");
        ASSERT_EQ(code.size(), 6u);
        // 张三丰ab, and passwords with bytes JSON must escape.
        const std::string name = "%D5%C5%C8%FD%B7%E1ab";
        ASSERT_EQ(server.ask("cmd=2&u=" + name + "&p=Pw\"1\\x&q=log@example.com"), kSignUpOk);
        std::string challenge = server.ask("cmd=0&u=" + name);
        const std::string proof = server::md5_hex(challenge + "Pw\"1\\x");
        ASSERT_EQ(server.ask("cmd=1&u=" + name + "&p=" + proof), kSignInOk);
        ASSERT_EQ(server.ask("cmd=3&u=" + name + "&p=Pw\"1\\x&n=Fresh9pw"), kChanged);
        challenge = server.ask("cmd=0&u=" + name);
        const std::string proof2 = server::md5_hex(challenge + "Fresh9pw");
        ASSERT_EQ(server.ask("cmd=1&u=" + name + "&p=" + proof2), kSignInOk);
        challenge = server.ask("cmd=0&u=" + name);
        ASSERT_EQ(server.ask("cmd=1&u=" + name + "&p=" + server::md5_hex(challenge + "wrong1")),
                  kWrong);
        // Names that are not GBK, or hold quotes and control bytes, are logged too.
        server.ask("cmd=0&u=%81%20abcdef");
        server.ask("cmd=0&u=ab%22c%5Cd%01e");
        server.ask("cmd=0&u=%FF%FF%FFabcd");
        EXPECT_EQ(server.stop(), 0);

        const std::string log = read_file(server.log_path());
        for (const std::string& secret :
             {code, std::string("Pw\"1"), std::string("Fresh9pw"), proof, proof2, challenge})
            EXPECT_EQ(log.find(secret), std::string::npos) << secret << " in\n" << log;
        EXPECT_NE(log.find("\xE5\xBC\xA0\xE4\xB8\x89\xE4\xB8\xB0"
                           "ab"),
                  std::string::npos)
            << "the name in UTF-8";
        if (format == "json") {
            EXPECT_TRUE(every_line_parses(server.dir(), server.log_path())) << log;
            EXPECT_NE(log.find("\"account\":\"\xEF\xBF\xBD abcdef\""), std::string::npos) << log;
        }
    }
}

} // namespace
