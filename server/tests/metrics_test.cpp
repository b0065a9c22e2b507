// /metrics on the admin listener: counters follow the requests made, the text
// passes promtool, and a real Prometheus scrapes it and answers a query with it.
#include "answers.h"
#include "crypto.h"
#include "server_process.h"
#include "wire_client.h"

#include <gtest/gtest.h>
#include <httplib.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
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

int free_port() {
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
    getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
    close(fd);
    return ntohs(a.sin_port);
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

    const std::string file = server.dir() + "/metrics.txt";
    std::ofstream(file) << after;
    EXPECT_EQ(std::system(("promtool check metrics < " + file + " >&2").c_str()), 0) << after;
    EXPECT_EQ(server.stop(), 0);
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
    pid_t prometheus = fork();
    if (prometheus == 0) {
        int log = open((dir + "/prometheus.log").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        dup2(log, 1);
        dup2(log, 2);
        std::vector<std::string> args = {"/usr/bin/prometheus",
                                         "--config.file=" + dir + "/prometheus.yml",
                                         "--storage.tsdb.path=" + dir + "/data",
                                         "--web.listen-address=127.0.0.1:" + std::to_string(web)};
        exec_args(args);
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
