// Connections as many users bring them: many clients behind one address, and
// returning HTTPS clients that resume their TLS session.
#include "answers.h"
#include "http/engine.h"
#include "server_process.h"
#include "app/configs.h"
#include "wire_client.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <memory>
#include <thread>
#include <vector>

using namespace server_test;

namespace {

const std::string kEndpoint = "/tx-client.asp";

// 64 users behind one address (a carrier's NAT, an office) each sending requests
// on new connections, as the client does, at the server's default limits: the
// connection that has just been answered and is still closing must not make the
// next one count as the 65th.
TEST(SharedAddressTest, SixtyFourClientsBehindOneAddressAreAllAnswered) {
    ServerProcess server;
    const int port = server.port();
    std::atomic<int> answered{0};
    std::atomic<int> failed{0};
    std::vector<std::thread> clients;
    for (int t = 0; t < 64; ++t) {
        clients.emplace_back([&] {
            for (int i = 0; i < 40; ++i) {
                wire::Connection c;
                wire::Reply r;
                // HTTP/1.0 without keep-alive: the server ends each connection.
                bool ok =
                    c.open("127.0.0.2", "127.0.0.1", port) &&
                    c.exchange("POST " + kEndpoint + " HTTP/1.0\r\nContent-Length: 5\r\n\r\ncmd=c",
                               r) &&
                    r.body == "ConnectionOk";
                ++(ok ? answered : failed);
            }
        });
    }
    for (auto& t : clients)
        t.join();
    EXPECT_EQ(failed.load(), 0) << "of " << 64 * 40 << " requests";
    EXPECT_EQ(answered.load(), 64 * 40);
    EXPECT_EQ(server.stop(), 0);
}

// One kept-alive connection asking the same and then something else, again and
// again: every answer is its own request's (an answer the connection sent before is
// sent again only when it is the same), with its header, and nothing is lost when a
// different answer comes between two that are the same.
TEST(KeptAliveTest, EveryAnswerIsItsOwnRequestsOnOneConnection) {
    ServerProcess server;
    wire::Connection c;
    ASSERT_TRUE(c.open("", "127.0.0.1", server.port()));
    const struct {
        const char* body;
        int status;
        std::string answer; // "" : the status record
    } asked[] = {
        {"cmd=c", 200, "ConnectionOk"}, {"cmd=c", 200, "ConnectionOk"}, {"cmd=5", 200, ""},
        {"cmd=c", 200, "ConnectionOk"}, {"cmd=x", 400, kUnknown},       {"cmd=x", 400, kUnknown},
        {"cmd=c", 200, "ConnectionOk"}};
    for (int round = 0; round < 2; ++round) {
        for (const auto& a : asked) {
            wire::Reply r;
            ASSERT_TRUE(c.exchange(wire::post(kEndpoint, a.body), r)) << a.body;
            EXPECT_EQ(r.status, a.status) << a.body;
            if (a.answer.empty())
                EXPECT_NE(r.body.find('|'), std::string::npos) << r.body;
            else
                EXPECT_EQ(r.body, a.answer) << a.body;
            EXPECT_NE(r.headers.find("Content-Type: text/plain; charset=gbk"), std::string::npos)
                << a.body;
        }
    }
    c.close();
    EXPECT_EQ(server.stop(), 0);
}

// The peer as the handler and the log see it, from sources whose octets have one,
// two and three digits and zeros; the per-address key is the address's own bytes.
// On a dual-stack listener ("::") an IPv4 client arrives as ::ffff:a.b.c.d, and is
// the same IPv4 address: not the /64 of zeros that every IPv4 client shares.
TEST(PeerTest, TheClientAddressIsWrittenAsItsDottedOctets) {
    for (const std::string host : {"127.0.0.1", "::"}) {
        server::EngineConfig config = server::engine_config(server::default_settings());
        config.host = host;
        config.port = 0;
        config.threads = 1;
        server::Engine engine(config);
        std::string error;
        ASSERT_TRUE(engine.listen(error)) << error;
        ASSERT_TRUE(engine.start(
            [](const server::Request& req) {
                server::Response res;
                res.body = req.client + " ";
                for (unsigned char b : req.client_key)
                    res.body += std::to_string(b) + ",";
                return res;
            },
            error))
            << error;
        for (const std::string source :
             {"127.0.0.1", "127.10.200.255", "127.0.100.9", "127.99.0.250", "127.255.255.254"}) {
            wire::Connection c;
            wire::Reply r;
            ASSERT_TRUE(c.open(source, "127.0.0.1", engine.port()) &&
                        c.exchange(wire::post(kEndpoint, "cmd=c"), r))
                << source;
            std::string key;
            for (size_t at = 0, dot = 0; dot != std::string::npos; at = dot + 1) {
                dot = source.find('.', at);
                key += source.substr(at, dot == std::string::npos ? dot : dot - at) + ",";
            }
            EXPECT_EQ(r.body, source + " " + key) << "listening on " << host;
        }
        engine.stop();
    }
}

// The server listening on "::": IPv4 clients keep budgets and connection places of
// their own, and an exempt IPv4 address is exempt there too.
TEST(PeerTest, IPv4ClientsOfADualStackListenerAreCountedApart) {
    ServerProcess server(
        {"--host", "::", "--max-per-address", "2", "--challenges-per-minute", "3"});
    const int port = server.port();
    // `n` challenges on one connection from `source`; the last answer.
    auto challenges = [port](const std::string& source, int n) {
        wire::Connection c;
        wire::Reply r;
        if (!c.open(source, "127.0.0.1", port))
            return std::string("no connection");
        for (int i = 0; i < n; ++i) {
            if (!c.exchange(wire::post(kEndpoint, "cmd=0&u=dualstack1"), r))
                return std::string("no answer");
        }
        return r.body;
    };
    EXPECT_EQ(challenges("127.0.0.2", 3).size(), 19u);
    EXPECT_EQ(challenges("127.0.0.2", 1), kTooMany);
    EXPECT_EQ(challenges("127.0.0.3", 1).size(), 19u) << "another address has its own budget";
    EXPECT_EQ(challenges("127.0.0.1", 6).size(), 19u) << "127.0.0.1 is exempt";

    std::vector<std::unique_ptr<wire::Connection>> held;
    for (int i = 0; i < 2; ++i) {
        held.push_back(std::make_unique<wire::Connection>());
        wire::Reply r;
        ASSERT_TRUE(held.back()->open("127.0.0.4", "127.0.0.1", port) &&
                    held.back()->exchange(wire::post(kEndpoint, "cmd=c"), r));
    }
    wire::Connection other;
    wire::Reply r;
    EXPECT_TRUE(other.open("127.0.0.5", "127.0.0.1", port, nullptr, 2000) &&
                other.exchange(wire::post(kEndpoint, "cmd=c"), r) && r.body == "ConnectionOk")
        << "another address while 127.0.0.4 holds all its places";
    EXPECT_EQ(server.stop(), 0);
}

// The limit still holds for connections that stay open, kept alive or idle, and
// a place comes free when one of them ends.
TEST(SharedAddressTest, ConnectionsHeldOpenCountAgainstTheirAddress) {
    ServerProcess server({"--max-per-address", "4"});
    const int port = server.port();
    std::vector<std::unique_ptr<wire::Connection>> held;
    for (int i = 0; i < 4; ++i) {
        held.push_back(std::make_unique<wire::Connection>());
        wire::Reply r;
        ASSERT_TRUE(held.back()->open("127.0.0.2", "127.0.0.1", port) &&
                    held.back()->exchange(wire::post(kEndpoint, "cmd=c"), r));
        EXPECT_EQ(r.body, "ConnectionOk") << "kept alive: " << i;
    }
    wire::Connection fifth;
    wire::Reply r;
    EXPECT_FALSE(fifth.open("127.0.0.2", "127.0.0.1", port, nullptr, 2000) &&
                 fifth.exchange(wire::post(kEndpoint, "cmd=c"), r))
        << "a fifth connection from the same address";
    wire::Connection other;
    ASSERT_TRUE(other.open("127.0.0.3", "127.0.0.1", port));
    ASSERT_TRUE(other.exchange(wire::post(kEndpoint, "cmd=c"), r));
    EXPECT_EQ(r.body, "ConnectionOk") << "another address";

    held.pop_back();
    bool answered = false;
    for (int i = 0; i < 20 && !answered; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        wire::Connection again;
        answered = again.open("127.0.0.2", "127.0.0.1", port) &&
                   again.exchange(wire::post(kEndpoint, "cmd=c"), r) && r.body == "ConnectionOk";
    }
    EXPECT_TRUE(answered) << "a place is free again once a connection ended";
    EXPECT_EQ(server.stop(), 0);
}

// `openssl s_client` as a returning client: one request, read until the server
// ends the connection (a TLS 1.3 ticket comes after the handshake), its session
// saved to `session` (or, with `resume`, the one saved there offered). Its report.
std::string s_client(int port, const std::string& ca, const std::string& session, bool resume,
                     const std::string& version) {
    const std::string cmd = "printf 'POST " + kEndpoint +
                            " HTTP/1.0\\r\\nContent-Length: 5\\r\\n\\r\\ncmd=c' | "
                            "openssl s_client -ign_eof -connect 127.0.0.1:" +
                            std::to_string(port) + " -CAfile " + ca + " " + version +
                            (resume ? " -sess_in " : " -sess_out ") + session + " 2>&1";
    std::string out;
    FILE* p = popen(cmd.c_str(), "r");
    if (!p)
        return out;
    char buf[4096];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, p)) > 0)
        out.append(buf, n);
    pclose(p);
    return out;
}

bool reused(const std::string& report) {
    return report.find("\nReused, ") != std::string::npos;
}

class TlsSessionTest : public ::testing::Test {
protected:
    void SetUp() override {
        char tmpl[] = "/tmp/tarnix-tls-XXXXXX";
        dir_ = mkdtemp(tmpl);
        ASSERT_EQ(std::system(("sh " TARNIX_TEST_CA_SCRIPT " " + dir_ + " ec").c_str()), 0);
    }
    void TearDown() override { std::filesystem::remove_all(dir_); }

    // An engine in this process answering "ok", so the ticket key can be given.
    std::unique_ptr<server::Engine> engine(const std::string& key_file, int key_seconds = 86400) {
        server::EngineConfig config = server::engine_config(server::default_settings());
        config.port = 0;
        config.threads = 2;
        config.tls_cert_pem = read_file(dir_ + "/server.pem");
        config.tls_key_pem = read_file(dir_ + "/server.key");
        config.tls_ticket_key_file = key_file;
        config.ticket_key_seconds = key_seconds;
        auto e = std::make_unique<server::Engine>(config);
        std::string error;
        if (!e->listen(error) || !e->start(
                                     [](const server::Request&) {
                                         server::Response res;
                                         res.body = "ok";
                                         return res;
                                     },
                                     error)) {
            ADD_FAILURE() << error;
            return nullptr;
        }
        return e;
    }

    std::string ca() const { return dir_ + "/ca.pem"; }
    std::string session() const { return dir_ + "/session.pem"; }
    std::string dir_;
};

TEST_F(TlsSessionTest, AReturningClientResumesOverTls13And12) {
    ServerProcess server({"--tls-cert", dir_ + "/server.pem", "--tls-key", dir_ + "/server.key"});
    for (const std::string version : {"-tls1_3", "-tls1_2"}) {
        std::string first = s_client(server.port(), ca(), session(), false, version);
        EXPECT_NE(first.find("Verify return code: 0 (ok)"), std::string::npos) << first;
        EXPECT_FALSE(reused(first)) << first;
        std::string again = s_client(server.port(), ca(), session(), true, version);
        EXPECT_TRUE(reused(again)) << version << "\n" << again;
    }
    EXPECT_EQ(server.stop(), 0);
}

// Instances resume each other's sessions only when they share a key file.
TEST_F(TlsSessionTest, InstancesShareSessionsOnlyThroughAKeyFile) {
    const std::string key_file = dir_ + "/ticket.key";
    ASSERT_EQ(std::system(("openssl rand -hex 64 > " + key_file).c_str()), 0);
    ASSERT_EQ(chmod(key_file.c_str(), 0600), 0);
    const std::vector<std::string> tls = {"--tls-cert", dir_ + "/server.pem", "--tls-key",
                                          dir_ + "/server.key"};
    std::vector<std::string> shared = tls;
    shared.insert(shared.end(), {"--tls-ticket-key-file", key_file});
    ServerProcess a(shared), b(shared), own(tls);
    s_client(a.port(), ca(), session(), false, "-tls1_3");
    EXPECT_TRUE(reused(s_client(b.port(), ca(), session(), true, "-tls1_3")));
    EXPECT_FALSE(reused(s_client(own.port(), ca(), session(), true, "-tls1_3")));
    s_client(own.port(), ca(), session(), false, "-tls1_2");
    EXPECT_TRUE(reused(s_client(own.port(), ca(), session(), true, "-tls1_2")));
    EXPECT_FALSE(reused(s_client(a.port(), ca(), session(), true, "-tls1_2")));

    // A key file that its group or others may read stops the start, with one line.
    ASSERT_EQ(chmod(key_file.c_str(), 0640), 0);
    ServerProcess readable(shared);
    EXPECT_EQ(readable.port(), 0);
    EXPECT_EQ(readable.stop(), 2);
    const std::string said = read_file(readable.log_path());
    const size_t refusal = said.rfind("tarnix-server: ");
    ASSERT_NE(refusal, std::string::npos) << said;
    EXPECT_TRUE(refusal == 0 || said[refusal - 1] == '\n') << said;
    EXPECT_EQ(said.find('\n', refusal + 1), said.size() - 1) << said;
    EXPECT_NE(said.find(key_file + " may be read by others (mode 0640)", refusal),
              std::string::npos)
        << said;
    ASSERT_EQ(chmod(key_file.c_str(), 0600), 0);

    // An empty, short or malformed key file, or one without HTTPS, stops the start.
    for (const char* bad : {"", "abc", "zz"}) {
        ASSERT_EQ(std::system(("printf '%s' '" + std::string(bad) + "' > " + key_file).c_str()), 0);
        std::vector<std::string> args = shared;
        args.insert(args.end(), {"--port", "0", "--db", dir_ + "/x.db", "--outbox", dir_ + "/x"});
        EXPECT_NE(run_server(args), 0) << bad;
    }
    EXPECT_NE(
        run_server({"--port", "0", "--db", dir_ + "/x.db", "--tls-ticket-key-file", key_file}), 0);
}

// A key of the process's own is replaced after its time: sessions from before
// then get a full handshake.
TEST_F(TlsSessionTest, TheProcessKeyIsReplacedInTime) {
    auto e = engine("", 3);
    ASSERT_TRUE(e);
    s_client(e->port(), ca(), session(), false, "-tls1_3");
    EXPECT_TRUE(reused(s_client(e->port(), ca(), session(), true, "-tls1_3")));
    std::this_thread::sleep_for(std::chrono::milliseconds(4500));
    EXPECT_FALSE(reused(s_client(e->port(), ca(), session(), true, "-tls1_3")));
}

} // namespace
