// What an operator and a balancer rely on: /healthz and /readyz following the
// store, HAProxy following /readyz, SIGHUP replacing the certificate and the update
// signature under open connections, and SIGTERM letting requests under way finish.
#include "server_process.h"
#include "wire_client.h"

#include <gtest/gtest.h>
#include <httplib.h>
#include <openssl/ssl.h>
#include <sqlite3.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <thread>

namespace fs = std::filesystem;
using namespace server_test;

namespace {

int get_status(int port, const std::string& path, std::string* body = nullptr) {
    httplib::Client client("127.0.0.1", port);
    client.set_read_timeout(5, 0);
    client.set_url_encode(false); // HAProxy's "/stats;csv" keeps its semicolon
    auto res = client.Get(path.c_str());
    if (!res)
        return -1;
    if (body)
        *body = res->body;
    return res->status;
}

// Polls `condition` every 50 ms for up to `seconds`.
bool within(double seconds, const std::function<bool()>& condition) {
    const auto until = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
    while (std::chrono::steady_clock::now() < until) {
        if (condition())
            return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return condition();
}

size_t count_of(const std::string& text, const std::string& what) {
    size_t n = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1))
        ++n;
    return n;
}

// Sends SIGHUP and waits until the log shows `outcome` once more.
bool reload(const ServerProcess& server, const std::string& outcome) {
    const size_t before = count_of(read_file(server.log_path()), outcome);
    kill(server.pid(), SIGHUP);
    return within(5, [&] { return count_of(read_file(server.log_path()), outcome) > before; });
}

std::string shell_output(const std::string& command) {
    std::string out;
    std::FILE* p = popen(command.c_str(), "r");
    if (!p)
        return out;
    char buf[512];
    size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, p)) > 0)
        out.append(buf, n);
    pclose(p);
    while (!out.empty() && out.back() == '\n')
        out.pop_back();
    return out;
}

const char kConnect[] = "POST /tx-client.asp HTTP/1.1\r\nHost: t\r\nContent-Type: "
                        "application/x-www-form-urlencoded\r\nContent-Length: 5\r\n\r\ncmd=c";

TEST(OpsTest, ReadinessFollowsALockOnTheSqliteFile) {
    ServerProcess server;
    EXPECT_EQ(get_status(server.port(), "/healthz"), 200);
    EXPECT_EQ(get_status(server.port(), "/readyz"), 200);

    // Another process holding the write lock: sign-ups would fail, so not ready.
    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open(server.db_path().c_str(), &db), SQLITE_OK);
    ASSERT_EQ(sqlite3_exec(db, "BEGIN EXCLUSIVE", nullptr, nullptr, nullptr), SQLITE_OK);
    EXPECT_EQ(get_status(server.port(), "/readyz"), 503);
    EXPECT_EQ(get_status(server.port(), "/healthz"), 200) << "alive all the same";
    sqlite3_exec(db, "ROLLBACK", nullptr, nullptr, nullptr);
    sqlite3_close(db);
    EXPECT_EQ(get_status(server.port(), "/readyz"), 200);
    EXPECT_EQ(server.stop(), 0);
}

TEST(OpsTest, ReadinessFollowsPostgresAndHaproxyFollowsReadiness) {
    if (shell_output("bash -c '. " TARNIX_POSTGRES_SCRIPT " && pg_bin'").empty() ||
        std::system("command -v haproxy >/dev/null") != 0)
        GTEST_SKIP() << "needs the Debian packages postgresql and haproxy";
    char tmpl[] = "/tmp/tarnix-ops-pg-XXXXXX";
    const std::string dir = mkdtemp(tmpl);
    // The cluster's own folder (given to its owner, and removed, by postgres.sh).
    char pg_tmpl[] = "/tmp/tarnix-ops-pgdata-XXXXXX";
    const std::string pg_dir = mkdtemp(pg_tmpl);
    auto pg = [&](const char* what) {
        return "bash -c '. " TARNIX_POSTGRES_SCRIPT " && " + std::string(what) + " " + pg_dir + "'";
    };
    const std::string uri = shell_output(pg("pg_start"));
    ASSERT_FALSE(uri.empty());
    {
        ServerProcess server({"--db", uri});
        ASSERT_GT(server.port(), 0);
        EXPECT_EQ(get_status(server.port(), "/readyz"), 200);

        const int front = free_port();
        const int stats = free_port();
        std::ofstream(dir + "/haproxy.cfg")
            << "defaults\n  mode http\n  timeout connect 1s\n  timeout client 5s\n"
               "  timeout server 5s\n"
               "frontend tarnix\n  bind 127.0.0.1:"
            << front
            << "\n  default_backend instances\n"
               "backend instances\n  option httpchk GET /readyz\n  server a 127.0.0.1:"
            << server.port()
            << " check inter 200ms fall 1 rise 1\n"
               "listen stats\n  bind 127.0.0.1:"
            << stats << "\n  stats enable\n  stats uri /stats\n";
        ASSERT_EQ(std::system(
                      ("haproxy -D -f " + dir + "/haproxy.cfg -p " + dir + "/haproxy.pid").c_str()),
                  0);
        // The instance as HAProxy's statistics (CSV) show it: "UP", "DOWN"...
        auto state = [&] {
            std::string csv;
            if (get_status(stats, "/stats;csv", &csv) != 200)
                return std::string();
            size_t row = csv.find("\ninstances,a,");
            if (row == std::string::npos)
                return std::string();
            std::string line = csv.substr(row + 1, csv.find('\n', row + 1) - row - 1);
            size_t field = 0, start = 0;
            for (size_t i = 0; i < line.size() && field < 17; ++i)
                if (line[i] == ',' && ++field == 17)
                    start = i + 1;
            return line.substr(start, line.find(',', start) - start);
        };
        auto through_balancer = [&] {
            httplib::Client client("127.0.0.1", front);
            auto res = client.Post("/tx-client.asp", "cmd=c", "application/x-www-form-urlencoded");
            return res ? res->status : -1;
        };
        EXPECT_TRUE(within(10, [&] { return state() == "UP"; })) << state();
        EXPECT_EQ(through_balancer(), 200);

        ASSERT_EQ(std::system(pg("pg_pause").c_str()), 0);
        EXPECT_TRUE(within(5, [&] { return get_status(server.port(), "/readyz") == 503; }));
        EXPECT_EQ(get_status(server.port(), "/healthz"), 200);
        EXPECT_TRUE(within(5, [&] { return state().rfind("DOWN", 0) == 0; })) << state();
        EXPECT_EQ(through_balancer(), 503) << "no instance left to send it to";

        ASSERT_EQ(std::system(pg("pg_resume").c_str()), 0);
        EXPECT_TRUE(within(10, [&] { return get_status(server.port(), "/readyz") == 200; }));
        EXPECT_TRUE(within(5, [&] { return state() == "UP"; })) << state();
        EXPECT_EQ(through_balancer(), 200);

        const std::string haproxy_pid = read_file(dir + "/haproxy.pid");
        kill(std::atoi(haproxy_pid.c_str()), SIGTERM);
        EXPECT_EQ(server.stop(), 0);
    }
    std::system(pg("pg_stop").c_str());
    fs::remove_all(dir);
}

TEST(OpsTest, SighupServesANewCertificateToNewConnectionsWhileAnOldOneGoesOn) {
    char tmpl[] = "/tmp/tarnix-ops-tls-XXXXXX";
    const std::string dir = mkdtemp(tmpl);
    // Two authorities, each with a server certificate: a client trusting one of
    // them tells which certificate it was given.
    ASSERT_EQ(std::system(("sh " TARNIX_TEST_CA_SCRIPT " " + dir + "/a").c_str()), 0);
    ASSERT_EQ(std::system(("sh " TARNIX_TEST_CA_SCRIPT " " + dir + "/b").c_str()), 0);
    const std::string cert = dir + "/cert.pem", key = dir + "/key.pem";
    auto install = [&](const std::string& cert_from, const std::string& key_from) {
        fs::copy_file(cert_from, cert, fs::copy_options::overwrite_existing);
        fs::copy_file(key_from, key, fs::copy_options::overwrite_existing);
    };
    install(dir + "/a/server.pem", dir + "/a/server.key");
    SSL_CTX* trust_a = wire::client_tls(dir + "/a/ca.pem");
    SSL_CTX* trust_b = wire::client_tls(dir + "/b/ca.pem");
    ASSERT_TRUE(trust_a && trust_b);
    {
        ServerProcess server({"--tls-cert", cert, "--tls-key", key});
        ASSERT_GT(server.port(), 0);
        auto answers = [&](SSL_CTX* trust) {
            wire::Connection c;
            wire::Reply r;
            return c.open("", "127.0.0.1", server.port(), trust) && c.exchange(kConnect, r) &&
                   r.status == 200;
        };
        wire::Connection old;
        wire::Reply r;
        ASSERT_TRUE(old.open("", "127.0.0.1", server.port(), trust_a));
        ASSERT_TRUE(old.exchange(kConnect, r));
        EXPECT_FALSE(answers(trust_b));

        install(dir + "/b/server.pem", dir + "/b/server.key");
        ASSERT_TRUE(reload(server, "reload: new connections get the certificate"));
        EXPECT_TRUE(answers(trust_b)) << "new connections get the new certificate";
        EXPECT_FALSE(answers(trust_a));
        r = wire::Reply();
        EXPECT_TRUE(old.exchange(kConnect, r)) << "the old connection goes on";
        EXPECT_EQ(r.status, 200);

        // What does not load, does not match or has expired leaves the last good pair.
        std::ofstream(cert) << "-----BEGIN CERTIFICATE-----\nnot one\n-----END CERTIFICATE-----\n";
        ASSERT_TRUE(reload(server, "kept the old certificate: the certificate does not load"));
        EXPECT_TRUE(answers(trust_b));
        install(dir + "/a/server.pem", dir + "/b/server.key");
        ASSERT_TRUE(reload(server, "kept the old certificate: the key is not the certificate's"));
        EXPECT_TRUE(answers(trust_b));
        // A pair that matches but expired in 2020 (openssl ca takes explicit dates).
        std::ofstream(dir + "/expired.sh")
            << "set -e\ncd " << dir
            << "\nopenssl req -new -newkey rsa:2048 -nodes -keyout key.pem -out r.csr"
               " -subj /CN=127.0.0.1 2>/dev/null\n"
               "printf '%s\\n' '[ca]' 'default_ca=t' '[t]' 'database=index.txt'"
               " 'default_md=sha256' 'policy=p' 'new_certs_dir=.' 'serial=serial' '[p]'"
               " 'commonName=supplied' >ca.cnf\n"
               ": >index.txt\necho 01 >serial\n"
               "openssl ca -batch -config ca.cnf -selfsign -keyfile key.pem -in r.csr"
               " -startdate 20200101000000Z -enddate 20200102000000Z -out cert.pem 2>/dev/null\n";
        ASSERT_EQ(std::system(("sh " + dir + "/expired.sh").c_str()), 0);
        ASSERT_TRUE(reload(server, "kept the old certificate: the certificate is not valid now"));
        EXPECT_TRUE(answers(trust_b));
        old.close();
        EXPECT_EQ(server.stop(), 0);
    }
    SSL_CTX_free(trust_a);
    SSL_CTX_free(trust_b);
    fs::remove_all(dir);
}

TEST(OpsTest, SighupServesANewUpdateSignatureAndKeepsTheOldOneWhenBad) {
    char tmpl[] = "/tmp/tarnix-ops-sig-XXXXXX";
    const std::string dir = mkdtemp(tmpl);
    const std::string sig = dir + "/update.sig";
    std::ofstream(dir + "/update.bin") << "update";
    std::ofstream(sig) << std::string(64, 'a');
    {
        ServerProcess server({"--update-file", dir + "/update.bin", "--update-signature", sig});
        std::string body;
        ASSERT_EQ(get_status(server.port(), "/download/Tarnix.exe.sig", &body), 200);
        EXPECT_EQ(body, std::string(64, 'a'));

        std::ofstream(sig) << std::string(64, 'b');
        ASSERT_TRUE(reload(server, "reload: update signature read from"));
        ASSERT_EQ(get_status(server.port(), "/download/Tarnix.exe.sig", &body), 200);
        EXPECT_EQ(body, std::string(64, 'b'));

        std::ofstream(sig) << "short";
        ASSERT_TRUE(reload(server, "reload: kept the old update signature"));
        ASSERT_EQ(get_status(server.port(), "/download/Tarnix.exe.sig", &body), 200);
        EXPECT_EQ(body, std::string(64, 'b'));
        EXPECT_EQ(server.stop(), 0);
    }
    fs::remove_all(dir);
}

TEST(OpsTest, SigtermLetsARequestUnderWayFinishAndRefusesNewOnes) {
    ServerProcess server({"--timeout", "30"});
    wire::Connection slow;
    ASSERT_TRUE(slow.open("", "127.0.0.1", server.port()));
    const std::string request = kConnect;
    ASSERT_TRUE(slow.send(request.substr(0, request.size() - 3)));
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    kill(server.pid(), SIGTERM);
    EXPECT_TRUE(within(2, [&] {
        wire::Connection fresh;
        return !fresh.open("", "127.0.0.1", server.port(), nullptr, 500);
    })) << "the listener is closed at once";
    ASSERT_TRUE(slow.send(request.substr(request.size() - 3)));
    wire::Reply r;
    ASSERT_TRUE(slow.read(r));
    EXPECT_EQ(r.status, 200);
    EXPECT_EQ(r.body, "ConnectionOk");
    EXPECT_EQ(server.stop(), 0);
}

TEST(OpsTest, SigtermGivesUpOnARequestThatNeverFinishesAfterFiveSeconds) {
    ServerProcess server({"--timeout", "60"});
    wire::Connection slow;
    ASSERT_TRUE(slow.open("", "127.0.0.1", server.port()));
    const std::string request = kConnect;
    ASSERT_TRUE(slow.send(request.substr(0, request.size() - 3)));
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(server.stop(), 0);
    const double took =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    EXPECT_GE(took, 4.5) << "the request had its 5 s";
    EXPECT_LT(took, 15.0) << "well before its 60 s time-out";
}

} // namespace
