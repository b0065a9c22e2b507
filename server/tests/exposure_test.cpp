// The server facing hostile or careless clients: slow and idle connections,
// oversized headers, floods, probing, files left readable, and HTTPS. Clients use
// their own loopback source addresses (127.0.0.2, 127.0.0.3) so that per-address
// limits can be told apart; 127.0.0.1 is exempt from the budgets by default.
#include "store/challenges.h"
#include "base/crypto.h"
#include "answers.h"
#include "server_process.h"
#include "wire_client.h"

#include <gtest/gtest.h>
#include <openssl/ssl.h>
#include <poll.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <thread>
#include <vector>

using namespace server_test;

namespace {

using Clock = std::chrono::steady_clock;

const std::string kEndpoint = "/tx-client.asp";

long ms_since(Clock::time_point t) {
    return static_cast<long>(
        std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - t).count());
}

// One request on a fresh connection from `source`.
wire::Reply ask_from(const std::string& source, int port, const std::string& body,
                     SSL_CTX* tls = nullptr) {
    wire::Connection c;
    wire::Reply reply;
    if (!c.open(source, "127.0.0.1", port, tls) || !c.exchange(wire::post(kEndpoint, body), reply))
        reply.status = -1;
    return reply;
}

std::string get_code(const ServerProcess& server, const std::string& email) {
    std::string code = server.ask("cmd=9&emily=" + email);
    EXPECT_EQ(code.size(), 6u) << code;
    return code;
}

void get_code_and_sign_up(const ServerProcess& server, const std::string& account,
                          const std::string& password, const std::string& email) {
    get_code(server, email);
    ASSERT_EQ(server.ask("cmd=2&u=" + account + "&p=" + password + "&q=" + email), kSignUpOk);
}

long rss_kib(pid_t pid) {
    std::string status = read_file("/proc/" + std::to_string(pid) + "/status");
    size_t at = status.find("VmRSS:");
    return at == std::string::npos ? -1 : std::atol(status.c_str() + at + 6);
}

TEST(ExposureTest, SlowAndIdleConnectionsAreClosedWhileOthersAreAnswered) {
    ServerProcess server({"--timeout", "1"});
    const int port = server.port();
    wire::Connection slow_headers, slow_body, idle;
    ASSERT_TRUE(slow_headers.open("127.0.0.2", "127.0.0.1", port));
    ASSERT_TRUE(slow_body.open("127.0.0.2", "127.0.0.1", port));
    ASSERT_TRUE(idle.open("127.0.0.2", "127.0.0.1", port));
    const auto start = Clock::now();
    std::atomic<bool> stop{false};
    // One byte every 100 ms: never idle, never done.
    std::thread trickle([&] {
        const std::string headers = "POST " + kEndpoint + " HTTP/1.1\r\nHost: x\r\nX-Pad: ";
        const std::string body_start =
            "POST " + kEndpoint + " HTTP/1.1\r\nHost: x\r\nContent-Length: 1000\r\n\r\ncmd=";
        slow_body.send(body_start);
        for (size_t i = 0; !stop && i < 60; ++i) {
            slow_headers.send(std::string(1, headers[i % headers.size()]));
            slow_body.send("a");
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
        }
    });
    // Meanwhile another address is answered at once, again and again.
    long worst = 0;
    for (int i = 0; i < 10; ++i) {
        auto t = Clock::now();
        wire::Reply r = ask_from("127.0.0.3", port, "cmd=c");
        worst = std::max(worst, ms_since(t));
        EXPECT_EQ(r.body, "ConnectionOk");
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    EXPECT_LT(worst, 500);
    EXPECT_TRUE(idle.closed_within(3000));
    EXPECT_TRUE(slow_headers.closed_within(3000));
    EXPECT_TRUE(slow_body.closed_within(3000));
    const long closed_after = ms_since(start);
    stop = true;
    trickle.join();
    EXPECT_GE(closed_after, 900) << "not before the time-out";
    EXPECT_LT(closed_after, 4000);
    EXPECT_EQ(server.stop(), 0);
}

// Cut at its time-out, a connection may have a byte waiting that the server
// reads instead of the end; a client that keeps sending must not live on for it.
TEST(ExposureTest, ClientsThatKeepSendingAreClosedAtTheTimeOutToo) {
    ServerProcess server({"--timeout", "1"});
    const int port = server.port();
    std::vector<std::unique_ptr<wire::Connection>> slow;
    for (int i = 0; i < 48; ++i) {
        slow.push_back(std::make_unique<wire::Connection>());
        ASSERT_TRUE(slow.back()->open("127.0.0.2", "127.0.0.1", port));
    }
    const auto start = Clock::now();
    std::atomic<bool> stop{false};
    std::thread trickle([&] {
        const std::string headers = "GET " + kEndpoint + " HTTP/1.1\r\nHost: x\r\nX-Pad: ";
        for (size_t i = 0; !stop && ms_since(start) < 8000; ++i) {
            for (auto& c : slow)
                c->send(std::string(1, i < headers.size() ? headers[i] : 'a'));
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
    });
    int open = 0;
    for (auto& c : slow)
        open += c->closed_within(static_cast<int>(std::max(50L, 3000 - ms_since(start)))) ? 0 : 1;
    stop = true;
    trickle.join();
    EXPECT_EQ(open, 0) << "of 48 connections still open 3 s after their 1 s time-out began";
    EXPECT_EQ(server.stop(), 0);
}

TEST(ExposureTest, OversizedHeadersAreRefusedWithBoundedMemory) {
    ServerProcess server;
    const int port = server.port();
    std::string padding;
    for (int i = 0; padding.size() < 17 * 1024; ++i)
        padding += "X-Pad-" + std::to_string(i) + ": " + std::string(100, 'a') + "\r\n";
    wire::Connection c;
    ASSERT_TRUE(c.open("127.0.0.2", "127.0.0.1", port));
    wire::Reply r;
    ASSERT_TRUE(c.exchange("GET " + kEndpoint + " HTTP/1.1\r\nHost: x\r\n" + padding + "\r\n", r));
    EXPECT_EQ(r.status, 431);
    EXPECT_EQ(r.body, kBadRequest);
    EXPECT_TRUE(c.closed_within(2000));

    // Endless header lines on several connections cost the server next to nothing.
    const long before = rss_kib(server.pid());
    std::vector<std::unique_ptr<wire::Connection>> flood;
    const std::string line = "X-Flood: " + std::string(1000, 'b') + "\r\n";
    std::string chunk = "GET " + kEndpoint + " HTTP/1.1\r\n";
    while (chunk.size() < 256 * 1024)
        chunk += line;
    for (int i = 0; i < 8; ++i) {
        flood.push_back(std::make_unique<wire::Connection>());
        ASSERT_TRUE(flood.back()->open("127.0.0.2", "127.0.0.1", port));
        for (int k = 0; k < 16 && flood.back()->send(chunk); ++k) {
        }
    }
    const long after = rss_kib(server.pid());
    EXPECT_LT(after - before, 16 * 1024) << "KiB grown for 8 connections of 4 MiB headers";
    EXPECT_EQ(ask_from("127.0.0.3", port, "cmd=c").body, "ConnectionOk");
    flood.clear();
    EXPECT_EQ(server.stop(), 0);
}

TEST(ExposureTest, ChallengeFloodFromOneAddressLeavesAnotherSigningIn) {
    ServerProcess server;
    const int port = server.port();
    get_code_and_sign_up(server, "flood01", "secret1", "flood@example.com");
    std::atomic<bool> stop{false};
    std::atomic<int> refused{0};
    std::vector<std::thread> flooders;
    for (int t = 0; t < 2; ++t) {
        flooders.emplace_back([&, t] {
            wire::Connection c;
            for (int i = 0; !stop; ++i) {
                wire::Reply r;
                if (!c.is_open() && !c.open("127.0.0.2", "127.0.0.1", port))
                    continue;
                if (!c.exchange(
                        wire::post(kEndpoint, "cmd=0&u=fl" + std::to_string(t * 1000000 + i)), r)) {
                    c.close();
                    continue;
                }
                refused += r.body == kTooMany;
            }
        });
    }
    // The flood has used up its address's budget before the sign-ins start.
    const auto flood_start = Clock::now();
    while (refused < 50 && ms_since(flood_start) < 10000)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    int signed_in = 0;
    for (int i = 0; i < 10; ++i) {
        std::string challenge = ask_from("127.0.0.3", port, "cmd=0&u=flood01").body;
        std::string proof = server::md5_hex(challenge + "secret1");
        signed_in += ask_from("127.0.0.3", port, "cmd=1&u=flood01&p=" + proof).body == kSignInOk;
    }
    stop = true;
    for (auto& t : flooders)
        t.join();
    EXPECT_EQ(signed_in, 10);
    EXPECT_GE(refused.load(), 50) << "the flooding address ran out of its budget";
    EXPECT_EQ(server.stop(), 0);
}

// Every /readyz on the public port asks the store: an address gets a small budget
// of them (an exempt one none). /healthz stays free, and the admin listener's
// /readyz (the operator's balancer) unbudgeted.
TEST(ExposureTest, ReadinessChecksOnThePublicPortAreBudgetedPerAddress) {
    ServerProcess server({"--admin-listen", "127.0.0.1:0"});
    // `n` GETs of `path` on one connection from `source`; how many were answered 200,
    // and the last answer in `last`.
    auto gets = [](const std::string& source, int port, const std::string& path, int n,
                   wire::Reply& last) {
        wire::Connection c;
        int ok = 0;
        if (!c.open(source, "127.0.0.1", port))
            return -1;
        for (int i = 0; i < n && c.exchange("GET " + path + " HTTP/1.1\r\nHost: x\r\n\r\n", last);
             ++i)
            ok += last.status == 200;
        return ok;
    };
    wire::Reply last;
    const auto start = Clock::now();
    EXPECT_EQ(gets("127.0.0.2", server.port(), "/readyz", 60, last), 60);
    EXPECT_EQ(gets("127.0.0.2", server.port(), "/readyz", 1, last), 0);
    EXPECT_EQ(last.status, 429);
    EXPECT_EQ(last.body, "too many readiness checks\n");
    ASSERT_LT(ms_since(start), 1000) << "the budget refills one a second";
    EXPECT_EQ(gets("127.0.0.2", server.port(), "/healthz", 100, last), 100);
    EXPECT_EQ(gets("127.0.0.3", server.port(), "/readyz", 1, last), 1);
    EXPECT_EQ(gets("127.0.0.1", server.port(), "/readyz", 100, last), 100) << "exempt";
    EXPECT_EQ(gets("127.0.0.2", server.admin_port(), "/readyz", 100, last), 100) << "admin";
    EXPECT_EQ(server.stop(), 0);
}

// A client that reads its answer a few bytes at a time loses its connection at the
// time-out, and with it the rest of the answer: the server's socket must not stay
// behind, holding megabytes of the file for it, for as long as it keeps reading. A
// client reading at any real speed gets the whole file.
TEST(ExposureTest, AClientThatBarelyReadsItsAnswerIsReset) {
    char tmpl[] = "/tmp/tarnix-update-XXXXXX";
    const std::string dir = mkdtemp(tmpl);
    const std::string file = dir + "/update.bin";
    std::string content(4 * 1000 * 1000, '\0');
    for (size_t i = 0; i < content.size(); ++i)
        content[i] = static_cast<char>(i * 7 + i / 4096);
    std::ofstream(file, std::ios::binary) << content;
    {
        ServerProcess server({"--timeout", "2", "--update-file", file});
        // A tiny receive window, set before the handshake so that it is the one offered.
        const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        const int small = 1024;
        ASSERT_EQ(setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &small, sizeof small), 0);
        sockaddr_in from{}, to{};
        from.sin_family = to.sin_family = AF_INET;
        inet_pton(AF_INET, "127.0.0.2", &from.sin_addr);
        inet_pton(AF_INET, "127.0.0.1", &to.sin_addr);
        to.sin_port = htons(static_cast<uint16_t>(server.port()));
        ASSERT_EQ(bind(fd, reinterpret_cast<sockaddr*>(&from), sizeof from), 0);
        ASSERT_EQ(connect(fd, reinterpret_cast<sockaddr*>(&to), sizeof to), 0);
        const std::string get = "GET /download/Tarnix.exe HTTP/1.1\r\nHost: x\r\n\r\n";
        ASSERT_EQ(send(fd, get.data(), get.size(), MSG_NOSIGNAL), static_cast<ssize_t>(get.size()));
        // 64 bytes every half second, until the server's end is seen (what is still
        // in the client's own buffer is not waited for).
        const auto start = Clock::now();
        bool ended = false;
        size_t got = 0;
        while (!ended && ms_since(start) < 20000) {
            pollfd p{fd, POLLIN, 0};
            ended = poll(&p, 1, 500) == 1 && (p.revents & (POLLHUP | POLLERR)) != 0;
            char buf[64];
            const ssize_t n = ended ? 0 : recv(fd, buf, sizeof buf, MSG_DONTWAIT);
            got += n > 0 ? static_cast<size_t>(n) : 0;
            if (!ended)
                std::this_thread::sleep_for(std::chrono::milliseconds(500));
        }
        const long after = ms_since(start);
        close(fd);
        EXPECT_TRUE(ended) << "still sending after " << after << " ms, " << got << " bytes read";
        EXPECT_LT(after, 8000);

        httplib::Client client("127.0.0.1", server.port());
        auto whole = client.Get("/download/Tarnix.exe");
        ASSERT_TRUE(whole);
        EXPECT_TRUE(whole->body == content) << whole->body.size() << " bytes";
        EXPECT_EQ(server.stop(), 0);
    }
    std::filesystem::remove_all(dir);
}

TEST(ExposureTest, ChallengeTableDropsTheOldestFirst) {
    using List = std::vector<std::string>;
    server::ChallengeStore store(4, 2, 100);
    store.put("a", "", "A1", 0);
    store.put("b", "", "B1", 1);
    store.put("a", "", "A2", 2);
    store.put("a", "", "A3", 3); // two per asker: A1 goes
    EXPECT_EQ(store.size(), 3u);
    store.put("a", "dev", "D1", 4); // another asker of the same account
    store.put("c", "", "C1", 5);    // full: "b" was the oldest
    EXPECT_EQ(store.take("b", "", 6), List());
    EXPECT_EQ(store.take("a", "", 6), List({"A3", "A2"}));
    EXPECT_EQ(store.take("a", "", 6), List()) << "single use";
    EXPECT_EQ(store.take("c", "", 105), List()) << "expired";
    store.put("a", "", "A4", 6);
    store.drop("a");
    EXPECT_EQ(store.size(), 0u) << "every asker's";
    EXPECT_EQ(store.take("a", "dev", 7), List());
}

TEST(ExposureTest, ACodeAllowsFiveSignUpAttempts) {
    ServerProcess server;
    get_code_and_sign_up(server, "taken01", "secret1", "first@example.com");
    get_code(server, "probe@example.com");
    for (int i = 0; i < 5; ++i)
        EXPECT_EQ(server.ask("cmd=2&u=taken01&p=secret1&q=probe@example.com"), kTaken) << i;
    EXPECT_EQ(server.ask("cmd=2&u=fresh01&p=secret1&q=probe@example.com"), kNoCode)
        << "the sixth attempt, whatever its name";
}

TEST(ExposureTest, AccountNamesMustBeWholeGbkCharacters) {
    ServerProcess server;
    get_code(server, "gbk@example.com");
    for (const char* name : {"abcde%FF", "abcdef%81", "%80abcdef", "abc%81%7Fdef"}) {
        EXPECT_EQ(server.ask(std::string("cmd=2&u=") + name + "&p=secret1&q=gbk@example.com"),
                  kAccountFormat)
            << name;
        EXPECT_EQ(server.ask(std::string("cmd=0&u=") + name), kAccountFormat) << name;
    }
    EXPECT_EQ(server.ask("cmd=2&u=%D5%C5%C8%FDab&p=secret1&q=gbk@example.com"), kSignUpOk);
}

TEST(ExposureTest, FilesBecomeOwnerOnlyAtEveryStart) {
    ServerProcess server({}, [](const std::string& dir) {
        for (const char* name :
             {"/accounts.db", "/accounts.db-wal", "/accounts.db-shm", "/outbox.txt"}) {
            int fd = open((dir + name).c_str(), O_WRONLY | O_CREAT, 0644);
            fchmod(fd, 0644);
            close(fd);
        }
    });
    ASSERT_GT(server.port(), 0);
    EXPECT_EQ(server.ask("cmd=c"), "ConnectionOk");
    for (const std::string& path : {server.db_path(), server.db_path() + "-wal",
                                    server.db_path() + "-shm", server.outbox_path()}) {
        struct stat st {};
        ASSERT_EQ(stat(path.c_str(), &st), 0) << path;
        EXPECT_EQ(st.st_mode & 0777, 0600u) << path;
    }
}

TEST(ExposureTest, HttpsWithATestAuthority) {
    char tmpl[] = "/tmp/tarnix-ca-XXXXXX";
    const std::string ca_dir = mkdtemp(tmpl);
    ASSERT_EQ(std::system(("sh " TARNIX_TEST_CA_SCRIPT " " + ca_dir).c_str()), 0);
    {
        ServerProcess server(
            {"--tls-cert", ca_dir + "/server.pem", "--tls-key", ca_dir + "/server.key"});
        ASSERT_GT(server.port(), 0);
        SSL_CTX* tls = wire::client_tls(ca_dir + "/ca.pem");
        ASSERT_NE(tls, nullptr);
        EXPECT_EQ(ask_from("127.0.0.2", server.port(), "cmd=c", tls).body, "ConnectionOk");
        // A device cookie set over HTTPS says it is for HTTPS only.
        auto over_tls = [&](const std::string& body) {
            return ask_from("127.0.0.2", server.port(), body, tls);
        };
        ASSERT_EQ(over_tls("cmd=9&emily=tls@example.com").body.size(), 6u);
        ASSERT_EQ(over_tls("cmd=2&u=tlsuser1&p=secret1&q=tls@example.com").body, kSignUpOk);
        const std::string challenge = over_tls("cmd=0&u=tlsuser1").body;
        const wire::Reply signed_in =
            over_tls("cmd=1&u=tlsuser1&p=" + server::md5_hex(challenge + "secret1"));
        EXPECT_EQ(signed_in.body, kSignInOk);
        EXPECT_NE(signed_in.headers.find("; SameSite=Strict; Secure\r\n"), std::string::npos)
            << signed_in.headers;

        // Nothing older than TLS 1.2, and no plain HTTP on the same port.
        SSL_CTX* old = wire::client_tls(ca_dir + "/ca.pem");
        SSL_CTX_set_security_level(old, 0);
        SSL_CTX_set_max_proto_version(old, TLS1_1_VERSION);
        EXPECT_EQ(ask_from("127.0.0.2", server.port(), "cmd=c", old).status, -1);
        EXPECT_EQ(ask_from("127.0.0.2", server.port(), "cmd=c").status, -1);
        // A client that trusts another authority refuses the server.
        SSL_CTX* other = wire::client_tls("/etc/ssl/certs/ca-certificates.crt");
        if (other)
            EXPECT_EQ(ask_from("127.0.0.2", server.port(), "cmd=c", other).status, -1);
        SSL_CTX_free(tls);
        SSL_CTX_free(old);
        SSL_CTX_free(other);
        EXPECT_EQ(server.stop(), 0);
    }
    std::filesystem::remove_all(ca_dir);
}

TEST(ExposureTest, OneConnectionCarriesPipelinedRequestsAndNoRangeOnAnswers) {
    ServerProcess server({"--timeout", "1"});
    wire::Connection c;
    ASSERT_TRUE(c.open("127.0.0.2", "127.0.0.1", server.port()));
    ASSERT_TRUE(c.send(
        wire::post(kEndpoint, "cmd=c") + wire::post(kEndpoint, "cmd=0&u=x") + "POST " + kEndpoint +
        " HTTP/1.1\r\nHost: x\r\nRange: bytes=0-1\r\nContent-Length: 5\r\n\r\ncmd=c"));
    wire::Reply a, b, d;
    ASSERT_TRUE(c.read(a));
    ASSERT_TRUE(c.read(b));
    ASSERT_TRUE(c.read(d));
    EXPECT_EQ(a.body, "ConnectionOk");
    EXPECT_EQ(b.body.size(), 19u);
    EXPECT_EQ(d.status, 200);
    EXPECT_EQ(d.body, "ConnectionOk");

    // A body that ends early is a bad request, not one too long: whether the client
    // ends its side or just stops sending.
    wire::Connection s, t;
    ASSERT_TRUE(s.open("127.0.0.2", "127.0.0.1", server.port(), nullptr, 3000));
    ASSERT_TRUE(t.open("127.0.0.2", "127.0.0.1", server.port(), nullptr, 3000));
    ASSERT_TRUE(
        s.send("POST " + kEndpoint + " HTTP/1.1\r\nHost: x\r\nContent-Length: 50\r\n\r\ncmd=c"));
    ASSERT_TRUE(
        t.send("POST " + kEndpoint + " HTTP/1.1\r\nHost: x\r\nContent-Length: 50\r\n\r\ncmd=c"));
    s.shutdown_writes();
    for (wire::Connection* conn : {&s, &t}) {
        wire::Reply r;
        ASSERT_TRUE(conn->read(r));
        EXPECT_EQ(r.status, 400);
        EXPECT_EQ(r.body, kBadRequest);
    }
}

} // namespace
