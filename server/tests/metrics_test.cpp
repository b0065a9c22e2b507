// /metrics on the admin listener: counters follow the requests made, the text
// passes promtool, and a real Prometheus scrapes it and answers a query with it.
#include "answers.h"
#include "base/crypto.h"
#include "base/metrics.h"
#include "server_process.h"
#include "smtp_relay.h"
#include "wire_client.h"

#include <gtest/gtest.h>
#include <httplib.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <string>
#include <thread>

namespace fs = std::filesystem;
using namespace server_test;

namespace {

std::string get(int port, const std::string& path, int* status = nullptr) {
    httplib::Client client("127.0.0.1", port);
    client.set_read_timeout(5, 0);
    auto res = client.Get(path.c_str());
    if (status)
        *status = res ? res->status : -1;
    return res ? res->body : std::string();
}

// The value of one sample ("name{labels}" exactly as exposed), or -1 when absent.
double sample(const std::string& exposition, const std::string& series) {
    size_t at = exposition.find("\n" + series + " ");
    if (at == std::string::npos)
        return -1;
    return std::stod(exposition.substr(at + series.size() + 2));
}

// promtool's verdict on an exposition.
bool promtool_passes(const ServerProcess& server, const std::string& exposition) {
    const std::string file = server.dir() + "/metrics.txt";
    std::ofstream(file) << exposition;
    return std::system(("promtool check metrics < " + file + " >&2").c_str()) == 0;
}

TEST(MetricsTest, CountersFollowRequestsAndPassPromtool) {
    ServerProcess server(
        {"--admin-listen", "127.0.0.1:0", "--sign-ins-per-minute", "3", "--exempt-addresses", ""});
    ASSERT_GT(server.admin_port(), 0);
    ASSERT_NE(server.admin_port(), server.port());
    int status = 0;
    get(server.port(), "/metrics", &status);
    EXPECT_EQ(status, 404) << "never on the public port";
    EXPECT_EQ(get(server.admin_port(), "/healthz", &status), "ok\n");
    get(server.admin_port(), "/readyz", &status);
    EXPECT_EQ(status, 200);

    std::string before = get(server.admin_port(), "/metrics");
    EXPECT_EQ(sample(before, "tarnix_build_info{version=\"1.0\"}"), 1);
    EXPECT_EQ(sample(before, "tarnix_requests_total{command=\"connect\",result=\"ok\"}"), -1);
    EXPECT_GE(sample(before, "tarnix_connections_open"), 0);

    for (int i = 0; i < 3; ++i)
        ASSERT_EQ(server.ask("cmd=c"), "ConnectionOk");
    server.ask("cmd=zz");
    ASSERT_EQ(server.ask("cmd=9&emily=m@example.com").size(), 6u);
    ASSERT_EQ(server.ask("cmd=2&u=metric1&p=secret1&q=m@example.com"), kSignUpOk);
    // A budget of 3 sign-ins a minute: the fourth wrong password is refused unseen.
    for (int i = 0; i < 3; ++i)
        EXPECT_EQ(server.sign_in("metric1", "wrong11"), kWrong);
    EXPECT_EQ(server.sign_in("metric1", "wrong11"), kTooMany);

    wire::Connection held; // a kept-alive connection to the public port
    wire::Reply reply;
    ASSERT_TRUE(held.open("", "127.0.0.1", server.port()));
    ASSERT_TRUE(held.exchange(wire::post("/tx-client.asp", "cmd=5"), reply));
    std::string after = get(server.admin_port(), "/metrics");
    EXPECT_EQ(sample(after, "tarnix_requests_total{command=\"connect\",result=\"ok\"}"), 3);
    EXPECT_EQ(sample(after, "tarnix_requests_total{command=\"other\",result=\"invalid\"}"), 1);
    EXPECT_EQ(sample(after, "tarnix_requests_total{command=\"sign_up\",result=\"ok\"}"), 1);
    EXPECT_EQ(sample(after, "tarnix_requests_total{command=\"sign_in\",result=\"wrong\"}"), 3);
    EXPECT_EQ(sample(after, "tarnix_rate_limited_total{command=\"sign_in\"}"), 1);
    EXPECT_EQ(sample(after, "tarnix_rate_limited_total{command=\"send_code\"}"), 0);
    EXPECT_EQ(sample(after, "tarnix_request_duration_seconds_count{command=\"connect\"}"), 3);
    EXPECT_EQ(
        sample(after, "tarnix_request_duration_seconds_bucket{command=\"connect\",le=\"+Inf\"}"),
        3);
    EXPECT_GT(sample(after, "tarnix_request_duration_seconds_sum{command=\"sign_up\"}"), 0);
    EXPECT_EQ(sample(after, "tarnix_connections_open"), 1) << "the one held open";
    EXPECT_EQ(sample(after, "tarnix_requests_total{command=\"status\",result=\"ok\"}"), 1);
    EXPECT_EQ(sample(after, "tarnix_store_errors_total"), 0);
    EXPECT_EQ(after.find("metric1"), std::string::npos) << "no account in a label";
    EXPECT_EQ(after.find("127.0.0.1"), std::string::npos) << "no address in a label";

    // The outbox has no queue and sends nothing: its figures are there, at 0, so a
    // dashboard or an alert on them works before the relay is set up.
    EXPECT_EQ(sample(after, "tarnix_mail_queue_depth"), 0) << after;
    EXPECT_EQ(sample(after, "tarnix_mail_sent_total"), 0) << after;
    EXPECT_EQ(sample(after, "tarnix_mail_abandoned_total"), 0) << after;
    EXPECT_TRUE(promtool_passes(server, after)) << after;
    EXPECT_EQ(server.stop(), 0);
}

// Codes through a relay: one queued while the relay is down raises the depth, and
// falls back once the relay is up and has it; one refused with 550 is abandoned.
TEST(MetricsTest, MailFiguresFollowTheQueueAndPassPromtool) {
    const int port = free_port();
    ServerProcess server(plain_relay(port, {"--admin-listen", "127.0.0.1:0"}));
    const auto metrics = [&] { return get(server.admin_port(), "/metrics"); };
    std::string m = metrics();
    EXPECT_NE(m.find("# TYPE tarnix_mail_queue_depth gauge\n"), std::string::npos) << m;
    EXPECT_NE(m.find("# TYPE tarnix_mail_sent_total counter\n"), std::string::npos) << m;
    EXPECT_NE(m.find("# TYPE tarnix_mail_abandoned_total counter\n"), std::string::npos) << m;
    EXPECT_EQ(sample(m, "tarnix_mail_queue_depth"), 0);

    ASSERT_EQ(server.ask("cmd=9&emily=down@example.org").size(), 6u);
    ASSERT_TRUE(log_shows(server, "attempt 1: failed", 5)) << read_file(server.log_path());
    m = metrics();
    EXPECT_EQ(sample(m, "tarnix_mail_queue_depth"), 1) << m;
    EXPECT_EQ(sample(m, "tarnix_mail_sent_total"), 0);
    EXPECT_TRUE(promtool_passes(server, m)) << m;

    // The figures once the sender has counted `sent` and `abandoned` mails (or after 20 s).
    const auto settled = [&](double sent, double abandoned) {
        const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(20);
        do {
            m = metrics();
            if (sample(m, "tarnix_mail_sent_total") == sent &&
                sample(m, "tarnix_mail_abandoned_total") == abandoned)
                break;
            std::this_thread::sleep_for(std::chrono::milliseconds(200));
        } while (std::chrono::steady_clock::now() < until);
        return m;
    };
    {
        Relay relay({}, port);
        ASSERT_EQ(relay.port(), port);
        m = settled(1, 0);
        EXPECT_EQ(sample(m, "tarnix_mail_sent_total"), 1) << m;
        EXPECT_EQ(sample(m, "tarnix_mail_queue_depth"), 0) << m;
    }
    Relay refusing({"--fault", "rcpt550"}, port);
    ASSERT_EQ(refusing.port(), port);
    ASSERT_EQ(server.ask("cmd=9&emily=refused@example.org").size(), 6u);
    m = settled(1, 1);
    EXPECT_EQ(sample(m, "tarnix_mail_abandoned_total"), 1) << m;
    EXPECT_EQ(sample(m, "tarnix_mail_queue_depth"), 0) << m;
    EXPECT_EQ(m.find("example.org"), std::string::npos) << "no address in the figures";
    EXPECT_TRUE(promtool_passes(server, m)) << m;
    EXPECT_EQ(server.stop(), 0);
}

// A figure read from a database that is down leaves that figure out, not the scrape.
TEST(MetricsTest, AFigureThatCannotBeReadIsLeftOutAndTheRestAnswer) {
    server::Metrics metrics;
    metrics.store_error();
    server::Gauges gauges;
    gauges.connections_open = [] { return int64_t{2}; };
    gauges.mail_queue_depth = []() -> int64_t { throw std::runtime_error("database down"); };
    gauges.mail_sent = [] { return int64_t{5}; };
    const std::string m = metrics.render(gauges);
    EXPECT_EQ(m.find("tarnix_mail_queue_depth"), std::string::npos) << m;
    EXPECT_EQ(sample(m, "tarnix_connections_open"), 2);
    EXPECT_EQ(sample(m, "tarnix_mail_sent_total"), 5);
    EXPECT_EQ(sample(m, "tarnix_store_errors_total"), 1);
}

TEST(MetricsTest, BadAdminListenOrLogFormatExitWithCode2) {
    for (const char* bad : {"9866", "localhost:", ":9866", "::1:9866", "h:99999", "h:12x"})
        EXPECT_EQ(run_server({"--admin-listen", bad}), 2) << bad;
    EXPECT_EQ(run_server({"--log-format", "xml"}), 2);
}

TEST(MetricsTest, LocksAreCountedOnceEach) {
    ServerProcess server({"--admin-listen", "127.0.0.1:0"});
    ASSERT_EQ(server.ask("cmd=9&emily=l@example.com").size(), 6u);
    ASSERT_EQ(server.ask("cmd=2&u=lockme1&p=secret1&q=l@example.com"), kSignUpOk);
    for (int i = 0; i < 5; ++i)
        server.sign_in("lockme1", "wrong11");
    EXPECT_EQ(server.sign_in("lockme1", "secret1"), kLocked);
    EXPECT_EQ(server.ask("cmd=3&u=lockme1&p=secret1&n=newpass1"), kLocked);
    const std::string m = get(server.admin_port(), "/metrics");
    EXPECT_EQ(sample(m, "tarnix_account_locks_total"), 1) << "locked once, refused twice";
    EXPECT_EQ(sample(m, "tarnix_requests_total{command=\"sign_in\",result=\"locked\"}"), 2);
    EXPECT_EQ(sample(m, "tarnix_requests_total{command=\"change_password\",result=\"locked\"}"), 1);
    EXPECT_EQ(server.stop(), 0);
}

TEST(MetricsTest, ARealPrometheusScrapesTheAdminListener) {
    if (std::system("command -v prometheus >/dev/null") != 0)
        GTEST_SKIP() << "needs the Debian package prometheus";
    ServerProcess server({"--admin-listen", "127.0.0.1:0"});
    for (int i = 0; i < 7; ++i)
        ASSERT_EQ(server.ask("cmd=c"), "ConnectionOk");
    const std::string dir = server.dir() + "/prometheus";
    fs::create_directories(dir + "/data");
    std::ofstream(dir + "/prometheus.yml")
        << "global:\n  scrape_interval: 1s\nscrape_configs:\n  - job_name: tarnix\n"
           "    static_configs:\n      - targets: ['127.0.0.1:"
        << server.admin_port() << "']\n";
    const int web = free_port();
    const Argv argv({"/usr/bin/prometheus", "--config.file=" + dir + "/prometheus.yml",
                     "--storage.tsdb.path=" + dir + "/data",
                     "--web.listen-address=127.0.0.1:" + std::to_string(web)});
    const std::string log_path = dir + "/prometheus.log";
    pid_t prometheus = fork();
    if (prometheus == 0) {
        int log = open(log_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        dup2(log, 1);
        dup2(log, 2);
        exec_args(argv);
    }
    // The counter as Prometheus answers the query, once it has scraped it.
    std::string answer;
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (std::chrono::steady_clock::now() < until) {
        answer = get(web, "/api/v1/query?query=tarnix_requests_total%7Bcommand%3D%22connect%22%7D");
        if (answer.find("\"7\"]") != std::string::npos)
            break;
        std::this_thread::sleep_for(std::chrono::milliseconds(250));
    }
    EXPECT_NE(answer.find("\"result\":\"ok\""), std::string::npos) << answer;
    EXPECT_NE(answer.find("\"7\"]"), std::string::npos) << answer << "\n"
                                                        << read_file(dir + "/prometheus.log");
    kill(prometheus, SIGTERM);
    int st = 0;
    waitpid(prometheus, &st, 0);
    EXPECT_EQ(server.stop(), 0);
}

} // namespace
