// Codes by mail: the server against a real SMTP relay (aiosmtpd, started by the test
// on loopback from smtp_relay.py) with STARTTLS, implicit TLS and AUTH, and the same
// relay scripted to fail (451, 550, no STARTTLS, a certificate nobody trusts, a
// stall, down for the first 10 s). Mails are read back from the relay's Maildir.
#include "answers.h"
#include "protocol/commands.h"
#include "mail/mail.h"
#include "protocol/messages.h"
#include "server_process.h"
#include "app/configs.h"
#include "smtp_relay.h"
#include "store/store.h"

#include <gtest/gtest.h>
#include <openssl/evp.h>

#include <chrono>
#include <filesystem>
#include <memory>
#include <regex>
#include <set>
#include <thread>

namespace fs = std::filesystem;
using namespace server_test;
using Clock = std::chrono::steady_clock;

namespace {

const std::string kDailyLimit = // 该邮箱今日接收验证码次数过多，请明天再试
    "\xB8\xC3\xD3\xCA\xCF\xE4\xBD\xF1\xC8\xD5\xBD\xD3\xCA\xD5\xD1\xE9\xD6\xA4\xC2\xEB\xB4\xCE"
    "\xCA\xFD\xB9\xFD\xB6\xE0\xA3\xAC\xC7\xEB\xC3\xF7\xCC\xEC\xD4\xD9\xCA\xD4";
const std::string kEmailFormat = "\xD3\xCA\xCF\xE4\xB5\xD8\xD6\xB7\xB8\xF1\xCA\xBD\xB2\xBB"
                                 "\xD5\xFD\xC8\xB7"; // 邮箱地址格式不正确

// A test authority with a certificate for 127.0.0.1, made once per run.
const std::string& test_ca(int which) {
    static std::string dirs[2];
    std::string& dir = dirs[which];
    if (dir.empty()) {
        char tmpl[] = "/tmp/tarnix-mail-ca-XXXXXX";
        dir = mkdtemp(tmpl);
        if (std::system(("sh " TARNIX_TEST_CA_SCRIPT " " + dir + " >/dev/null").c_str()) != 0)
            std::abort();
    }
    return dir;
}

std::string password_file(const std::string& dir, const std::string& password, int mode) {
    const std::string path = dir + "/smtp-password";
    std::ofstream(path) << password << "\n";
    chmod(path.c_str(), static_cast<mode_t>(mode));
    return path;
}

// Runs the server to its end with its stderr kept; the exit code.
int run_server_saying(std::vector<std::string> args, std::string& said) {
    char tmpl[] = "/tmp/tarnix-mail-run-XXXXXX";
    const std::string dir = mkdtemp(tmpl);
    args.insert(args.begin(), {TARNIX_SERVER_EXE, "--port", "0", "--db", dir + "/a.db", "--outbox",
                               dir + "/o.txt"});
    const Argv argv(std::move(args));
    const std::string err_path = dir + "/err";
    pid_t pid = fork();
    if (pid == 0) {
        int err = open(err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        dup2(err, 2);
        int null = open("/dev/null", O_WRONLY);
        dup2(null, 1);
        exec_args(argv);
    }
    // A server that starts is stopped after a moment: a refusal comes at once.
    for (int i = 0; i < 30; ++i) {
        int status = 0;
        if (waitpid(pid, &status, WNOHANG) == pid) {
            said = read_file(dir + "/err");
            fs::remove_all(dir);
            return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    kill(pid, SIGTERM);
    waitpid(pid, nullptr, 0);
    said = read_file(dir + "/err");
    fs::remove_all(dir);
    return 0;
}

} // namespace

TEST(MailTest, ACodeArrivesOverStartTlsWithAuthAndEveryHeader) {
    const std::string& ca = test_ca(0);
    Relay relay(
        {"--starttls", ca + "/server.pem", ca + "/server.key", "--auth", "tarnix:s3cret-pw"});
    ASSERT_GT(relay.port(), 0);
    char tmpl[] = "/tmp/tarnix-mail-pw-XXXXXX";
    const std::string dir = mkdtemp(tmpl);
    ServerProcess server({"--smtp-url", "smtp://127.0.0.1:" + std::to_string(relay.port()),
                          "--smtp-ca-file", ca + "/ca.pem", "--smtp-user", "tarnix",
                          "--smtp-password-file", password_file(dir, "s3cret-pw", 0600),
                          "--mail-from", "Tarnix账号服务 <no-reply@example.com>"});
    ASSERT_GT(server.port(), 0);
    const std::string code = server.ask("cmd=9&emily=life@example.org");
    ASSERT_EQ(code.size(), 6u) << code;

    auto mails = relay.mails(1, 20);
    ASSERT_EQ(mails.size(), 1u) << read_file(server.log_path());
    const std::string& m = mails[0];
    EXPECT_EQ(decode_words(header(m, "From")).find("Tarnix账号服务"), 0u) << header(m, "From");
    EXPECT_NE(header(m, "From").find("<no-reply@example.com>"), std::string::npos);
    EXPECT_EQ(header(m, "To"), "life@example.org");
    EXPECT_EQ(decode_words(header(m, "Subject")), "Tarnix账号服务邮箱验证码");
    EXPECT_TRUE(
        std::regex_match(header(m, "Date"), std::regex("[A-Z][a-z]{2}, \\d{2} [A-Z][a-z]{2} \\d{4} "
                                                       "\\d{2}:\\d{2}:\\d{2} \\+0000")))
        << header(m, "Date");
    EXPECT_TRUE(std::regex_match(header(m, "Message-ID"), std::regex("<[^<>@ ]+@example\\.com>")))
        << header(m, "Message-ID");
    EXPECT_EQ(header(m, "MIME-Version"), "1.0");
    EXPECT_EQ(header(m, "Content-Type"), "text/plain; charset=UTF-8");
    EXPECT_EQ(header(m, "Content-Transfer-Encoding"), "base64");
    std::istringstream lines(m);
    for (std::string line; std::getline(lines, line);)
        EXPECT_LT(line.size(), 78u) << line;
    const std::string body = body_of(m);
    EXPECT_NE(body.find(code), std::string::npos) << body;
    EXPECT_NE(body.find("10分钟"), std::string::npos) << body;

    EXPECT_EQ(relay.journal_count("auth tarnix ok"), 1u) << relay.journal();
    EXPECT_NE(relay.journal().find("mail no-reply@example.com"), std::string::npos);
    EXPECT_TRUE(log_shows(server, "to example.org, attempt 1: sent (reply 250)", 5));
    const std::string log = read_file(server.log_path());
    EXPECT_EQ(log.find(code), std::string::npos) << "the code is never logged with SMTP";
    EXPECT_EQ(log.find("s3cret-pw"), std::string::npos) << "nor the password";
    EXPECT_EQ(log.find("life@example.org, attempt"), std::string::npos) << "only the domain";
    EXPECT_EQ(read_file(server.outbox_path()), "") << "the outbox is not used";
    EXPECT_EQ(server.stop(), 0);
    fs::remove_all(dir);
}

TEST(MailTest, ImplicitTlsWithATemplateFileAndOneConnectionForMailsDueTogether) {
    const std::string& ca = test_ca(0);
    Relay relay({"--tls", ca + "/server.pem", ca + "/server.key"});
    ASSERT_GT(relay.port(), 0);
    char tmpl[] = "/tmp/tarnix-mail-tpl-XXXXXX";
    const std::string dir = mkdtemp(tmpl);
    std::ofstream(dir + "/template.txt")
        << "Subject: {service}：您的验证码 {code}\n\n验证码 {code}，{minutes} 分钟内有效。\n"
           "{ braces alone stay }\n";
    ServerProcess server({"--smtp-url", "smtps://127.0.0.1:" + std::to_string(relay.port()),
                          "--smtp-ca-file", ca + "/ca.pem", "--mail-from", "no-reply@example.net",
                          "--mail-template", dir + "/template.txt", "--service-name", "测试服务"});
    ASSERT_GT(server.port(), 0);
    std::vector<std::string> codes;
    for (int i = 0; i < 5; ++i)
        codes.push_back(server.ask("cmd=9&emily=user" + std::to_string(i) + "@example.org"));
    auto mails = relay.mails(5, 20);
    ASSERT_EQ(mails.size(), 5u) << read_file(server.log_path());
    std::set<std::string> subjects, ids;
    for (const std::string& m : mails) {
        subjects.insert(decode_words(header(m, "Subject")));
        ids.insert(header(m, "Message-ID"));
        EXPECT_NE(body_of(m).find("分钟内有效。\r\n{ braces alone stay }"), std::string::npos)
            << body_of(m);
    }
    for (const std::string& code : codes)
        EXPECT_EQ(subjects.count("测试服务：您的验证码 " + code), 1u) << code;
    EXPECT_EQ(ids.size(), 5u) << "every Message-ID differs";
    EXPECT_EQ(header(mails[0], "From"), "no-reply@example.net");
    EXPECT_EQ(relay.journal_count("connect"), 1u) << "mails due together share one connection\n"
                                                  << relay.journal();
    EXPECT_EQ(server.stop(), 0);
    fs::remove_all(dir);
}

TEST(MailTest, ARelayDownWhenTheCodeIsAskedGetsItOnceWhenItComesUp) {
    const int port = free_port();
    ServerProcess server(plain_relay(port));
    ASSERT_GT(server.port(), 0);
    const auto asked = Clock::now();
    ASSERT_EQ(server.ask("cmd=9&emily=later@example.org").size(), 6u);
    EXPECT_TRUE(log_shows(server, "attempt 1: failed (no reply", 5))
        << read_file(server.log_path());
    std::this_thread::sleep_until(asked + std::chrono::seconds(10));
    Relay relay({}, port);
    ASSERT_EQ(relay.port(), port);
    auto mails = relay.mails(1, 40);
    ASSERT_EQ(mails.size(), 1u) << read_file(server.log_path());
    EXPECT_EQ(header(mails[0], "To"), "later@example.org");
    std::this_thread::sleep_for(std::chrono::seconds(2));
    EXPECT_EQ(relay.mails().size(), 1u) << "sent once";
    EXPECT_TRUE(log_shows(server, "attempt 2: failed", 1)) << "5 s after the first";
    EXPECT_TRUE(log_shows(server, "attempt 3: sent (reply 250)", 1))
        << "10 s after the second\n"
        << read_file(server.log_path());
    EXPECT_EQ(server.stop(), 0);
}

TEST(MailTest, A451IsTriedAgainAnd550OnRcptAbandonsAtOnce) {
    {
        Relay relay({"--fault", "data451once"});
        ServerProcess server(plain_relay(relay.port()));
        ASSERT_EQ(server.ask("cmd=9&emily=again@example.org").size(), 6u);
        auto mails = relay.mails(1, 15);
        ASSERT_EQ(mails.size(), 1u) << read_file(server.log_path());
        EXPECT_EQ(relay.journal_count("data REFUSED"), 1u);
        EXPECT_EQ(relay.journal_count("data ACCEPTED"), 1u) << "exactly one mail";
        EXPECT_TRUE(log_shows(server, "attempt 1: failed (reply 451", 1));
        EXPECT_TRUE(log_shows(server, "next attempt in 5 s", 1));
        EXPECT_EQ(server.stop(), 0);
    }
    {
        Relay relay({"--fault", "rcpt550"});
        ServerProcess server(plain_relay(relay.port()));
        ASSERT_EQ(server.ask("cmd=9&emily=nobody@example.org").size(), 6u);
        EXPECT_TRUE(log_shows(server, "to example.org, attempt 1: abandoned (reply 550", 10))
            << read_file(server.log_path());
        std::this_thread::sleep_for(std::chrono::seconds(6));
        EXPECT_EQ(relay.journal_count("rcpt "), 1u) << "one attempt\n" << relay.journal();
        EXPECT_EQ(relay.mails().size(), 0u);
        EXPECT_EQ(server.stop(), 0);
    }
}

TEST(MailTest, NoStartTlsOfferedOrAnUntrustedCertificateGetsNoAuthAndNoMail) {
    {
        // AUTH offered in the clear: a client that asks for TLS must not use it.
        Relay relay({"--auth", "tarnix:s3cret-pw"});
        char tmpl[] = "/tmp/tarnix-mail-pw-XXXXXX";
        const std::string dir = mkdtemp(tmpl);
        ServerProcess server({"--smtp-url", "smtp://127.0.0.1:" + std::to_string(relay.port()),
                              "--smtp-user", "tarnix", "--smtp-password-file",
                              password_file(dir, "s3cret-pw", 0600), "--mail-from",
                              "no-reply@example.com", "--smtp-timeout", "2"});
        ASSERT_EQ(server.ask("cmd=9&emily=clear@example.org").size(), 6u);
        EXPECT_TRUE(log_shows(server, "attempt 1: failed", 10)) << read_file(server.log_path());
        EXPECT_EQ(relay.journal_count("auth"), 0u) << relay.journal();
        EXPECT_EQ(relay.journal_count("mail"), 0u);
        EXPECT_EQ(relay.mails().size(), 0u);
        EXPECT_EQ(server.stop(), 0);
        fs::remove_all(dir);
    }
    {
        // The relay's certificate is from an authority the server was not given.
        const std::string& theirs = test_ca(1);
        Relay relay({"--starttls", theirs + "/server.pem", theirs + "/server.key", "--auth",
                     "tarnix:s3cret-pw"});
        char tmpl[] = "/tmp/tarnix-mail-pw-XXXXXX";
        const std::string dir = mkdtemp(tmpl);
        ServerProcess server({"--smtp-url", "smtp://127.0.0.1:" + std::to_string(relay.port()),
                              "--smtp-ca-file", test_ca(0) + "/ca.pem", "--smtp-user", "tarnix",
                              "--smtp-password-file", password_file(dir, "s3cret-pw", 0600),
                              "--mail-from", "no-reply@example.com", "--smtp-timeout", "2"});
        ASSERT_EQ(server.ask("cmd=9&emily=spoof@example.org").size(), 6u);
        EXPECT_TRUE(log_shows(server, "attempt 1: failed", 10)) << read_file(server.log_path());
        EXPECT_EQ(relay.journal_count("auth"), 0u) << relay.journal();
        EXPECT_EQ(relay.journal_count("mail"), 0u);
        EXPECT_EQ(server.stop(), 0);
        fs::remove_all(dir);
    }
}

TEST(MailTest, AStallingRelayNeverDelaysTheAnswerAndTheAttemptEndsAtTheTimeOut) {
    Relay relay({"--fault", "stall"});
    ServerProcess server(plain_relay(relay.port()));
    for (int i = 0; i < 3; ++i) {
        const auto start = Clock::now();
        EXPECT_EQ(server.ask("cmd=9&emily=stall" + std::to_string(i) + "@example.org").size(), 6u);
        EXPECT_LT(Clock::now() - start, std::chrono::milliseconds(100)) << "answer " << i;
    }
    const auto start = Clock::now();
    EXPECT_TRUE(log_shows(server, "attempt 1: failed", 10)) << read_file(server.log_path());
    EXPECT_LT(Clock::now() - start, std::chrono::seconds(5)) << "--smtp-timeout 2";
    EXPECT_GE(relay.journal_count("data STALL"), 1u);
    EXPECT_EQ(server.stop(), 0) << "a send in progress does not hold up the stop";
}

// The EHLO reply comes before STARTTLS: anyone on the path can send these.
TEST(MailTest, AnEhloReplyOfOneToThreeByteLinesFailsTheAttemptAndTheServerRunsOn) {
    Relay relay({"--fault", "ehloshort"});
    ServerProcess server(plain_relay(relay.port()));
    ASSERT_EQ(server.ask("cmd=9&emily=short@example.org").size(), 6u);
    EXPECT_TRUE(log_shows(server, "attempt 1: failed", 10)) << read_file(server.log_path());
    EXPECT_GE(relay.journal_count("ehlo"), 1u);
    EXPECT_EQ(relay.journal_count("mail"), 0u) << relay.journal();
    EXPECT_EQ(server.ask("cmd=9&emily=after@example.org").size(), 6u);
    EXPECT_EQ(server.stop(), 0);
}

TEST(MailTest, MailQueuedWhenTheServerIsKilledIsSentAfterTheRestart) {
    const int port = free_port();
    std::vector<std::string> on_one_database;
    if (test_postgres())
        on_one_database = {"--db", fresh_database()};
    auto first = std::make_unique<ServerProcess>(plain_relay(port, on_one_database));
    if (on_one_database.empty())
        on_one_database = {"--db", first->db_path()};
    const std::vector<std::string> again = plain_relay(port, on_one_database);
    ASSERT_EQ(first->ask("cmd=9&emily=restart@example.org").size(), 6u);
    EXPECT_TRUE(log_shows(*first, "attempt 1: failed", 5));
    kill(first->pid(), SIGKILL);
    EXPECT_EQ(first->stop(), 128 + SIGKILL);

    Relay relay({}, port);
    ASSERT_EQ(relay.port(), port);
    ServerProcess second(again);
    auto mails = relay.mails(1, 20);
    ASSERT_EQ(mails.size(), 1u) << read_file(second.log_path());
    EXPECT_EQ(header(mails[0], "To"), "restart@example.org");
    EXPECT_EQ(second.stop(), 0);
}

TEST(MailTest, AddressesThatCouldReachTheEnvelopeOrHeadersAreRefusedAndNothingIsQueued) {
    Relay relay({});
    ServerProcess server(plain_relay(relay.port()));
    const std::vector<std::string> bad = {
        "a\r\nRCPT TO:<x@evil.example>\r\n@example.org",
        "a@example.org\r\nBcc: x@evil.example",
        "a\nb@example.org",
        "a b@example.org",
        "a\tb@example.org",
        "<a@example.org>",
        "a@example.org>",
        "a(b)@example.org",
        "a[b]@example.org",
        "a,b@example.org",
        "a;b@example.org",
        "a:b@example.org",
        "\"a\"@example.org",
        "a\\b@example.org",
        "a@b@example.org",
        "@example.org",
        "a@",
        "a\x01@example.org",
        "a\xFF@example.org",
    };
    for (const std::string& address : bad)
        EXPECT_EQ(server.ask("cmd=9&emily=" + address), kEmailFormat) << address;
    std::string with_nul = "cmd=9&emily=a";
    with_nul += '\0';
    with_nul += "b@example.org";
    EXPECT_NE(server.post(with_nul).body.size(), 6u);
    ASSERT_EQ(server.ask("cmd=9&emily=fine@example.org").size(), 6u);
    ASSERT_EQ(relay.mails(1, 15).size(), 1u);
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    EXPECT_EQ(relay.journal_count("rcpt "), 1u) << relay.journal();
    EXPECT_EQ(relay.journal_count("rcpt fine@example.org"), 1u);
    EXPECT_EQ(server.stop(), 0);
}

// 0x81 0x40 is one GBK character whose second byte is '@'.
TEST(MailTest, TheAtOfAnAddressIsACharacterNotTheSecondByteOfOne) {
    EXPECT_FALSE(server::acceptable_address("ab\x81\x40"
                                            "cd"));
    EXPECT_TRUE(server::acceptable_address("\x81\x40"
                                           "a@example.org"));
    EXPECT_TRUE(server::acceptable_address("a@\x81\x40"
                                           ".example.org"));
}

TEST(MailTest, AChineseAddressGoesAsUtf8WithSmtpUtf8OrIsAbandoned) {
    const std::string gbk_address = "\xD5\xC5\xC8\xFD@example.org"; // 张三@example.org
    {
        Relay relay({"--smtputf8"});
        ServerProcess server(plain_relay(relay.port()));
        ASSERT_EQ(server.ask("cmd=9&emily=" + gbk_address).size(), 6u);
        auto mails = relay.mails(1, 15);
        ASSERT_EQ(mails.size(), 1u) << read_file(server.log_path());
        EXPECT_EQ(header(mails[0], "To"), "张三@example.org");
        EXPECT_EQ(relay.journal_count("rcpt 张三@example.org"), 1u) << relay.journal();
        EXPECT_NE(relay.journal().find("SMTPUTF8"), std::string::npos) << relay.journal();
        EXPECT_EQ(server.stop(), 0);
    }
    {
        Relay relay({});
        ServerProcess server(plain_relay(relay.port()));
        ASSERT_EQ(server.ask("cmd=9&emily=" + gbk_address).size(), 6u);
        EXPECT_TRUE(log_shows(server, "does not offer SMTPUTF8", 10))
            << read_file(server.log_path());
        EXPECT_EQ(relay.journal_count("rcpt"), 0u);
        EXPECT_EQ(server.stop(), 0);
    }
}

TEST(MailTest, AMisconfiguredTransportStopsTheServerWithOneLine) {
    char tmpl[] = "/tmp/tarnix-mail-cfg-XXXXXX";
    const std::string dir = mkdtemp(tmpl);
    const std::string open_pw = password_file(dir, "pw", 0644);
    std::ofstream(dir + "/unknown.txt") << "Subject: {code}\n\n{code} {colour}\n";
    std::ofstream(dir + "/nosubject.txt") << "{code}\n";
    struct Case {
        std::vector<std::string> args;
        std::string says;
    };
    const std::vector<Case> cases = {
        {{"--smtp-url", "smtp://relay.example.com:587"}, "--smtp-url needs mail-from"},
        {{"--smtp-url", "smtp://relay.example.com:587", "--mail-from", "a@example.com",
          "--smtp-user", "u", "--smtp-password-file", open_pw},
         "chmod 600"},
        {{"--smtp-url", "smtp://relay.example.com:587", "--mail-from", "a@example.com",
          "--smtp-user", "u", "--smtp-password-file", dir + "/missing"},
         "cannot read the password file"},
        {{"--smtp-url", "smtp://relay.example.com:587", "--smtp-allow-plaintext", "--mail-from",
          "a@example.com"},
         "loopback"},
        {{"--smtp-url", "http://relay.example.com/", "--mail-from", "a@example.com"}, "smtp://"},
        {{"--smtp-url", "smtp://relay.example.com:587", "--mail-from", "a@b@example.com"},
         "--mail-from"},
        {{"--mail-from", "a@example.com"}, "--mail-from needs smtp-url"},
        {{"--mail-template", dir + "/unknown.txt"}, "unknown placeholder {colour}"},
        {{"--mail-template", dir + "/nosubject.txt"}, "Subject:"},
    };
    for (const Case& c : cases) {
        std::string said;
        EXPECT_EQ(run_server_saying(c.args, said), 2) << c.args[1];
        EXPECT_NE(said.find(c.says), std::string::npos) << said;
        EXPECT_EQ(std::count(said.begin(), said.end(), '\n'), 1) << said;
        EXPECT_EQ(said.find("pw\n"), std::string::npos);
    }
    fs::remove_all(dir);
}

// The daily cap through the commands themselves, with the 30 s spacing off.
TEST(MailTest, AnAddressGetsAtMostItsDailyCodesAndOthersAreNotCounted) {
    std::string bad;
    ASSERT_TRUE(server::init_messages(bad)) << bad;
    char tmpl[] = "/tmp/tarnix-mail-cap-XXXXXX";
    const std::string dir = mkdtemp(tmpl);
    const server::Settings defaults = server::default_settings();
    server::StoreConfig config = server::store_config(defaults);
    config.where = test_postgres() ? fresh_database() : dir + "/a.db";
    config.pool_size = 1;
    std::string error;
    auto store = server::Store::open(config, error);
    ASSERT_TRUE(store) << error;
    server::FileTransport outbox(dir + "/outbox.txt");
    server::CodeMailing mailing;
    mailing.transport = &outbox;
    server::Timing timing = server::timing_config(defaults);
    timing.code_interval_seconds = 0;
    server::Limits limits = server::limits_config(defaults);
    limits.codes_per_address_per_day = 3;
    server::Commands commands(*store, mailing, server::StatusTexts(), timing, limits,
                              server::DeviceCookieConfig());
    for (int i = 0; i < 3; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1100)); // codes a second apart
        EXPECT_EQ(commands.handle("cmd=9&emily=cap@example.org").body.size(), 6u) << i;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(1100));
    EXPECT_EQ(commands.handle("cmd=9&emily=cap@example.org").body, kDailyLimit);
    EXPECT_EQ(commands.handle("cmd=9&emily=other@example.org").body.size(), 6u);
    std::istringstream lines(read_file(dir + "/outbox.txt"));
    size_t n = 0;
    for (std::string l; std::getline(lines, l);)
        n += l.find("\tcap@example.org\t") != std::string::npos;
    EXPECT_EQ(n, 3u) << "the refused code was not written";

    // The spacing and the cap hold for an address however its letters are written:
    // mailboxes take Victim@ and vIctim@ alike.
    timing.code_interval_seconds = 30;
    server::Commands spaced(*store, mailing, server::StatusTexts(), timing, limits,
                            server::DeviceCookieConfig());
    EXPECT_EQ(spaced.handle("cmd=9&emily=Victim@Example.org").body.size(), 6u);
    EXPECT_EQ(spaced.handle("cmd=9&emily=vIctim@example.ORG").body, kTooSoon);
    EXPECT_EQ(spaced.handle("cmd=2&u=victim1&p=secret1&q=victim@example.org").body, kSignUpOk)
        << "the code of Victim@Example.org";
    for (const char* same : {"VICTIM@example.org", "ViCtIm@example.org"})
        EXPECT_EQ(commands.handle(std::string("cmd=9&emily=") + same).body.size(), 6u) << same;
    EXPECT_EQ(commands.handle("cmd=9&emily=victiM@example.org").body, kDailyLimit);
    EXPECT_EQ(commands.handle("cmd=9&emily=%D6%D0victim@example.org").body.size(), 6u)
        << "another mailbox";
    fs::remove_all(dir);
}
