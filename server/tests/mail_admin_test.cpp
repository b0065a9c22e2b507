// Mail queued by several instances and mail handed back by the operator: two
// instances on one PostgreSQL queue send every mail once, and admin mail retry puts
// back what a relay refused.
#include "server_process.h"
#include "smtp_relay.h"

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <regex>
#include <sstream>
#include <thread>

namespace fs = std::filesystem;
using namespace server_test;
using Clock = std::chrono::steady_clock;

// Two instances on one PostgreSQL queue: every mail once.
TEST(MailClusterTest, FortyCodesAskedAtTwoInstancesAreFortyMailsNoneTwice) {
    if (!test_postgres())
        GTEST_SKIP() << "needs PostgreSQL: run through with_postgres.sh";
    Relay relay({});
    const std::string db = fresh_database();
    ServerProcess a(plain_relay(relay.port(), {"--db", db}));
    ServerProcess b(plain_relay(relay.port(), {"--db", db}));
    std::set<std::string> codes;
    for (int i = 0; i < 40; ++i) {
        const ServerProcess& at = i % 2 ? b : a;
        codes.insert(at.ask("cmd=9&emily=n" + std::to_string(i) + "@example.org"));
    }
    EXPECT_EQ(codes.size(), 40u);
    auto mails = relay.mails(40, 30);
    std::this_thread::sleep_for(std::chrono::seconds(3));
    mails = relay.mails();
    std::set<std::string> to;
    for (const std::string& m : mails)
        to.insert(header(m, "To"));
    EXPECT_EQ(mails.size(), 40u);
    EXPECT_EQ(to.size(), 40u) << "none twice";
    EXPECT_EQ(relay.journal_count("data ACCEPTED"), 40u);
    EXPECT_EQ(a.stop(), 0);
    EXPECT_EQ(b.stop(), 0);
}

namespace {

// tarnix-server admin on the server's database: its exit code; what it printed goes
// to `out`, what it said on stderr to `said`.
int admin(const ServerProcess& server, std::vector<std::string> words, std::string& out,
          std::string& said) {
    words.insert(words.begin(), {"admin", "--db", server.db()});
    return run_server(words, &out, &said);
}

// The line of `list` (admin mail list) for mail to `address`, and its id in `id`.
std::string mail_line(const std::string& list, const std::string& address, std::string& id) {
    std::istringstream lines(list);
    for (std::string l; std::getline(lines, l);) {
        if (l.find("\t" + address + "\t") != std::string::npos) {
            id = l.substr(0, l.find('\t'));
            return l;
        }
    }
    id.clear();
    return std::string();
}

size_t count_of(const std::string& text, const std::string& part) {
    size_t n = 0;
    for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1))
        ++n;
    return n;
}

} // namespace

// A relay answering 550 abandons the mails; once it is mended, admin mail retry puts
// them back and they arrive, with their codes. One whose code has expired is refused
// and never sent, and its text is dropped at the next code issued.
TEST(MailTest, MailsARelayRefusedAreListedAndSentAgainByAdminUnlessExpired) {
    const int port = free_port();
    auto refusing = std::make_unique<Relay>(std::vector<std::string>{"--fault", "rcpt550"}, port);
    ASSERT_EQ(refusing->port(), port);
    ServerProcess server(plain_relay(port));
    const std::string code = server.ask("cmd=9&emily=kept@example.org");
    ASSERT_EQ(code.size(), 6u);
    ASSERT_EQ(server.ask("cmd=9&emily=dead@example.org").size(), 6u);
    ASSERT_EQ(server.ask("cmd=9&emily=third@example.org").size(), 6u);
    const auto until = Clock::now() + std::chrono::seconds(15);
    while (count_of(read_file(server.log_path()), ": abandoned (reply 550") < 3 &&
           Clock::now() < until)
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    ASSERT_TRUE(log_shows(server, "tarnix-server admin mail retry", 0))
        << "the log says how to send it again\n"
        << read_file(server.log_path());

    std::string out, said;
    ASSERT_EQ(admin(server, {"mail", "list"}, out, said), 0) << said;
    EXPECT_EQ(out, "") << "nothing queued";
    ASSERT_EQ(admin(server, {"mail", "list", "--abandoned"}, out, said), 0) << said;
    std::string kept, dead, third;
    EXPECT_NE(
        mail_line(out, "kept@example.org", kept).find("\tcode\tkept@example.org\t1\tcan retry\t"),
        std::string::npos)
        << out;
    mail_line(out, "dead@example.org", dead);
    mail_line(out, "third@example.org", third);
    ASSERT_FALSE(kept.empty() || dead.empty() || third.empty()) << out;
    EXPECT_EQ(count_of(out, "\n"), 3u) << out;
    EXPECT_EQ(out.find(code), std::string::npos) << "never the code";
    EXPECT_TRUE(std::regex_search(out, std::regex("\t\\d{4}-\\d\\d-\\d\\d \\d\\d:\\d\\d:\\d\\d\t"
                                                  "\\d{4}-\\d\\d-\\d\\d \\d\\d:\\d\\d:\\d\\d\n")))
        << "created and expires, local times\n"
        << out;

    // Its code's time is over: sent now, it would carry a code that no longer works.
    run_sql(server, "UPDATE mails SET expires = created WHERE id = " + dead);
    ASSERT_EQ(admin(server, {"mail", "list", "--abandoned"}, out, said), 0);
    EXPECT_NE(mail_line(out, "dead@example.org", dead).find("\t1\texpired\t"), std::string::npos)
        << out;
    EXPECT_EQ(admin(server, {"mail", "retry", dead}, out, said), 1);
    EXPECT_NE(said.find("mail " + dead + " expired at "), std::string::npos) << said;
    EXPECT_NE(said.find("no longer works"), std::string::npos) << said;
    EXPECT_EQ(admin(server, {"mail", "retry", "9999"}, out, said), 1);
    EXPECT_NE(said.find("no mail 9999"), std::string::npos) << said;
    for (const std::vector<std::string>& bad :
         std::vector<std::vector<std::string>>{{"mail", "retry"},
                                               {"mail", "retry", "0"},
                                               {"mail", "retry", "-1"},
                                               {"mail", "retry", "x1"},
                                               {"mail", "retry", kept, dead},
                                               {"mail", "list", "--locked"},
                                               {"mail"}})
        EXPECT_EQ(admin(server, bad, out, said), 2) << bad.back();

    refusing.reset();
    Relay mended({}, port);
    ASSERT_EQ(mended.port(), port);
    // The next code issued drops the text of the expired mail.
    ASSERT_EQ(server.ask("cmd=9&emily=fourth@example.org").size(), 6u);
    ASSERT_EQ(mended.mails(1, 20).size(), 1u) << read_file(server.log_path());
    run_sql(server, "UPDATE mails SET expires = created + 3600 WHERE id = " + dead);
    ASSERT_EQ(admin(server, {"mail", "list", "--abandoned"}, out, said), 0);
    EXPECT_NE(mail_line(out, "dead@example.org", dead).find("\ttext not kept\t"), std::string::npos)
        << out;
    EXPECT_EQ(admin(server, {"mail", "retry", dead}, out, said), 1);
    EXPECT_NE(said.find("has no text to send"), std::string::npos) << said;

    ASSERT_EQ(admin(server, {"mail", "retry", kept}, out, said), 0) << said;
    EXPECT_EQ(out, "mail " + kept + " is queued again, due now\n");
    auto mails = mended.mails(2, 20);
    ASSERT_EQ(mails.size(), 2u) << read_file(server.log_path());
    bool arrived = false;
    for (const std::string& m : mails)
        arrived = arrived || (header(m, "To") == "kept@example.org" &&
                              body_of(m).find(code) != std::string::npos);
    EXPECT_TRUE(arrived) << "the same mail, with its code";
    EXPECT_TRUE(log_shows(server, "mail " + kept + " (code) to example.org, attempt 2: sent", 5))
        << read_file(server.log_path());
    EXPECT_EQ(admin(server, {"mail", "retry", kept}, out, said), 1);
    EXPECT_NE(said.find("mail " + kept + " was sent"), std::string::npos) << said;

    ASSERT_EQ(admin(server, {"mail", "retry", "--abandoned"}, out, said), 0) << said;
    EXPECT_EQ(out, "1 abandoned mails queued again, due now\n") << "the third, not the dead one";
    EXPECT_NE(said.find("1 abandoned mails left"), std::string::npos) << said;
    ASSERT_EQ(mended.mails(3, 20).size(), 3u) << read_file(server.log_path());
    ASSERT_EQ(admin(server, {"mail", "list", "--abandoned"}, out, said), 0);
    EXPECT_EQ(count_of(out, "\n"), 1u) << out;
    EXPECT_EQ(mended.journal_count("rcpt dead@example.org"), 0u) << mended.journal();
    EXPECT_EQ(server.stop(), 0);
}
