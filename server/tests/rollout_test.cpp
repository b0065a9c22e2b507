// Staged rollouts against a server process (SQLite, and PostgreSQL through
// with_postgres.sh): the offer by share, the candidate's files, the operator's
// commands, and the halt on repeated fetches.
#include "rollout_support.h"
#include "wire_client.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

using namespace server_test;

namespace {

const std::string kRelease = "1.001"; // the servers' default client-version

// The live rollout's figures on /metrics, labelled by its version.
std::string metrics_of(const ServerProcess& server) {
    httplib::Client c("127.0.0.1", server.admin_port());
    auto res = c.Get("/metrics");
    return res ? res->body : std::string();
}

TEST(RolloutTest, OfferedToItsShareWithItsOwnFiles) {
    ServerProcess server({"--admin-listen", "127.0.0.1:0"});
    EXPECT_EQ(metrics_of(server).find("tarnix_rollout_percent{"), std::string::npos)
        << "no live rollout, no samples";
    Candidate c;
    std::string out;
    ASSERT_EQ(rollout_admin(server.db(), {"start", "1.002", "--file", c.file, "--signature", c.sig,
                                          "--description", "试用版", "--percent", "100"}),
              0);
    Client install;
    const std::string record = install.post(server, "cmd=5").body;
    EXPECT_EQ(install.last_set_cookie.rfind("tx_install=", 0), 0u) << install.last_set_cookie;
    EXPECT_EQ(field(record, 1), "1.002");
    EXPECT_EQ(field(record, 2),
              "127.0.0.1:" + std::to_string(server.port()) + "/download/1.002/Tarnix.exe");
    EXPECT_EQ(field(record, 3), "\xCA\xD4\xD3\xC3\xB0\xE6"); // 试用版, GBK
    EXPECT_EQ(offered(install, server), "1.002");
    EXPECT_EQ(install.last_set_cookie, "") << "a valid install cookie is kept, not renewed";

    EXPECT_EQ(fetch(server, install, "/download/1.002/Tarnix.exe").body, c.program);
    EXPECT_EQ(fetch(server, install, "/download/1.002/Tarnix.exe.sig").body, c.signature);
    const Answer part = fetch(server, install, "/download/1.002/Tarnix.exe", "bytes=10-19");
    EXPECT_EQ(part.status, 206);
    EXPECT_EQ(part.body, c.program.substr(10, 10));
    EXPECT_EQ(fetch(server, install, "/download/1.003/Tarnix.exe").status, 404);
    const std::string metrics = metrics_of(server);
    for (const char* sample :
         {"tarnix_rollout_percent{version=\"1.002\",state=\"running\"} 100",
          "tarnix_rollout_installs_offered{version=\"1.002\",state=\"running\"} 1",
          "tarnix_rollout_installs_fetched{version=\"1.002\",state=\"running\"} 1",
          "tarnix_rollout_installs_repeated{version=\"1.002\",state=\"running\"} 0"})
        EXPECT_NE(metrics.find(sample), std::string::npos) << sample << "\n" << metrics;

    // Refused: a second live rollout, a version that is no path, a share over 100.
    EXPECT_EQ(start_rollout(server.db(), c, "1.003", 5), 1);
    EXPECT_EQ(start_rollout(server.db(), c, "1.x", 5), 2);
    EXPECT_EQ(rollout_admin(server.db(), {"percent", "101"}), 2);
    EXPECT_EQ(rollout_admin(server.db(), {"start", "1.004", "--file", c.file}), 2);

    ASSERT_EQ(rollout_admin(server.db(), {"percent", "0"}), 0);
    EXPECT_GE(millis_until([&] { return offered(install, server) == kRelease; }), 0);
    ASSERT_EQ(rollout_admin(server.db(), {"status"}, &out), 0);
    EXPECT_NE(out.find("percent: 0\n"), std::string::npos) << out;
    EXPECT_NE(out.find("installs offered: 1\n"), std::string::npos) << out;

    ASSERT_EQ(rollout_admin(server.db(), {"pull"}), 0);
    EXPECT_GE(millis_until([&] {
                  return fetch(server, install, "/download/1.002/Tarnix.exe").status == 404;
              }),
              0)
        << "a pulled candidate is no longer served";
    EXPECT_EQ(rollout_admin(server.db(), {"pause"}), 1) << "nothing is live";
}

// A client that keeps no cookie is bucketed by its address: the same answer at every
// request, whatever new cookie each answer offers it.
TEST(RolloutTest, WithoutACookieTheAddressIsTheInstall) {
    ServerProcess server;
    Candidate c;
    ASSERT_EQ(start_rollout(server.db(), c, "1.002", 50), 0);
    std::this_thread::sleep_for(std::chrono::milliseconds(1100));
    int in_share = 0;
    for (int n = 2; n < 42; ++n) {
        const std::string source = "127.0.0." + std::to_string(n);
        std::string versions[2];
        for (std::string& version : versions) {
            wire::Connection conn;
            wire::Reply reply;
            ASSERT_TRUE(conn.open(source, "127.0.0.1", server.port()));
            ASSERT_TRUE(conn.exchange(wire::post("/tx-client.asp", "cmd=5"), reply));
            EXPECT_NE(reply.headers.find("Set-Cookie: tx_install="), std::string::npos);
            version = field(reply.body, 1);
        }
        EXPECT_EQ(versions[0], versions[1]) << source;
        in_share += versions[0] == "1.002";
    }
    // Of 40 addresses at 50 %, both kinds of answer (all one way: about 1 in 10^12).
    EXPECT_GT(in_share, 0);
    EXPECT_LT(in_share, 40);
    // Requests that keep no cookie write nothing: they add no installs to the figures.
    std::string status;
    ASSERT_EQ(rollout_admin(server.db(), {"status"}, &status), 0);
    EXPECT_NE(status.find("installs offered: 0\n"), std::string::npos) << status;
}

// Every install fetches the whole file and its signature once; `repeaters` of them
// fetch the file again from its start.
void fetch_whole(const ServerProcess& server, std::vector<Client>& installs, size_t from,
                 size_t to) {
    for (size_t i = from; i < to; ++i) {
        ASSERT_EQ(offered(installs[i], server), "1.002");
        ASSERT_EQ(fetch(server, installs[i], "/download/1.002/Tarnix.exe", "bytes=0-10239").status,
                  206);
        ASSERT_EQ(fetch(server, installs[i], "/download/1.002/Tarnix.exe", "bytes=10240-").status,
                  206);
        ASSERT_EQ(fetch(server, installs[i], "/download/1.002/Tarnix.exe.sig").status, 200);
    }
}

std::string status_of(const ServerProcess& server) {
    std::string out;
    EXPECT_EQ(rollout_admin(server.db(), {"status"}, &out), 0);
    return out;
}

// The halt waits for its minimum of complete fetches, holds at the share, and fires
// past it; a paused rollout keeps those it was offered to and adds nobody.
TEST(RolloutTest, PausesItselfWhenTooManyInstallsFetchItAgain) {
    ServerProcess server({"--rollout-halt-share", "5", "--rollout-halt-min", "20"});
    Candidate c;
    ASSERT_EQ(start_rollout(server.db(), c, "1.002", 100), 0);
    std::vector<Client> installs(22);
    for (Client& install : installs) {
        install.post(server, "cmd=5"); // its cookie
        ASSERT_EQ(offered(install, server), "1.002");
    }

    fetch_whole(server, installs, 0, 10);
    fetch_whole(server, installs, 0, 1); // 1 of 10 again: 10 %, under the minimum
    EXPECT_NE(status_of(server).find("state: running\n"), std::string::npos);

    fetch_whole(server, installs, 10, 20); // 1 of 20: 5 %, not past it
    std::string status = status_of(server);
    EXPECT_NE(status.find("state: running\n"), std::string::npos) << status;
    EXPECT_NE(status.find("installs that fetched it whole: 20\n"), std::string::npos) << status;
    EXPECT_NE(status.find("installs that fetched it again within a day: 1\n"), std::string::npos)
        << status;

    fetch_whole(server, installs, 1, 2); // 2 of 20: 10 %
    status = status_of(server);
    EXPECT_NE(status.find("state: paused\n"), std::string::npos) << status;
    EXPECT_NE(status.find("paused itself: 2 of 20 installs that fetched 1.002 fetched it again "
                          "within a day (10.0 %, over 5 %)"),
              std::string::npos)
        << status;
    EXPECT_NE(read_file(server.log_path()).find("rollout of 1.002 paused itself"),
              std::string::npos);

    // Paused: those offered it keep it; a new install in the share is not added.
    EXPECT_GE(millis_until([&] {
                  Client newcomer;
                  offered(newcomer, server);
                  return offered(newcomer, server) == kRelease;
              }),
              0);
    EXPECT_EQ(offered(installs[21], server), "1.002");

    EXPECT_EQ(rollout_admin(server.db(), {"percent", "50"}), 1) << "paused: resume first";
    ASSERT_EQ(rollout_admin(server.db(), {"resume"}), 0);
    EXPECT_EQ(status_of(server).find("paused itself"), std::string::npos);
}

} // namespace
