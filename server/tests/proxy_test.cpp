// The server behind the shipped HAProxy configuration (deploy/haproxy/tarnix.cfg),
// which ends TLS and names each client in a PROXY header: clients on loopback
// addresses of their own (127.0.0.2, 127.0.0.3) keep their own budgets and
// connection places through it, and nobody else can name a client.
#include "answers.h"
#include "server_process.h"
#include "wire_client.h"

#include <gtest/gtest.h>
#include <openssl/ssl.h>

#include <chrono>
#include <memory>
#include <thread>

using namespace server_test;

namespace {

const std::string kEndpoint = "/tx-client.asp";

bool eventually(double seconds, const std::function<bool()>& condition) {
    const auto until = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
    while (!condition()) {
        if (std::chrono::steady_clock::now() > until)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    return true;
}

// The shipped configuration, on a free loopback port, in front of one instance
// (both of its servers name it), with a test certificate (P-256) and ticket keys.
class Haproxy {
public:
    explicit Haproxy(int instance_port, const std::string& dir,
                     const std::string& client_timeout = "10s")
        : dir_(dir), port_(free_port()) {
        if (std::system(("sh " TARNIX_TEST_CA_SCRIPT " " + dir + "/ca ec && cat " + dir +
                         "/ca/server.pem " + dir + "/ca/server.key > " + dir +
                         "/haproxy.pem && (for i in 1 2 3; do head -c 48 /dev/urandom | base64 "
                         "-w0; echo; done) > " +
                         dir + "/ticket.keys")
                            .c_str()) != 0)
            return;
        const std::string instance = "127.0.0.1:" + std::to_string(instance_port);
        const std::string cmd = "TARNIX_BIND=127.0.0.1:" + std::to_string(port_) +
                                " TARNIX_CERT=" + dir + "/haproxy.pem TARNIX_TICKET_KEYS=" + dir +
                                "/ticket.keys TARNIX_A=" + instance + " TARNIX_B=" + instance +
                                " TARNIX_CLIENT_TIMEOUT=" + client_timeout +
                                " TARNIX_MAXCONN=1000 haproxy -D -q -f " TARNIX_HAPROXY_CFG " -p " +
                                dir + "/haproxy.pid";
        started_ = std::system(cmd.c_str()) == 0;
        tls_ = wire::client_tls(dir + "/ca/ca.pem");
    }
    ~Haproxy() {
        if (started_)
            kill(std::atoi(read_file(dir_ + "/haproxy.pid").c_str()), SIGTERM);
        if (tls_)
            SSL_CTX_free(tls_);
    }
    bool started() const { return started_ && tls_; }
    int port() const { return port_; }
    SSL_CTX* tls() const { return tls_; }

private:
    std::string dir_;
    int port_;
    bool started_ = false;
    SSL_CTX* tls_ = nullptr;
};

class ProxyTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (std::system("command -v haproxy >/dev/null") != 0)
            GTEST_SKIP() << "needs the Debian package haproxy";
        char tmpl[] = "/tmp/tarnix-proxy-XXXXXX";
        dir_ = mkdtemp(tmpl);
    }
    void TearDown() override {
        if (!dir_.empty())
            std::filesystem::remove_all(dir_);
    }
    std::string dir_;
};

// A raw request on a fresh connection from `source` to the server itself.
wire::Reply straight(const std::string& source, int port, const std::string& bytes) {
    wire::Connection c;
    wire::Reply r;
    if (!c.open(source, "127.0.0.1", port, nullptr, 2000) || !c.send(bytes) || !c.read(r))
        r.status = -1;
    return r;
}

// The admin listener's /metrics.
void get_metrics(int port, std::string& out) {
    wire::Connection c;
    wire::Reply r;
    if (c.open("127.0.0.1", "127.0.0.1", port) &&
        c.exchange("GET /metrics HTTP/1.1\r\nHost: x\r\n\r\n", r))
        out = r.body;
}

} // namespace

TEST_F(ProxyTest, ClientsBehindTheProxyKeepTheirOwnBudgetsAndPlaces) {
    ServerProcess server({"--proxy-from", "127.0.0.1", "--exempt-addresses", "",
                          "--max-per-address", "2", "--challenges-per-minute", "3"});
    Haproxy proxy(server.port(), dir_);
    ASSERT_TRUE(proxy.started());
    // `n` challenges on one connection through the proxy from `source`; the last answer.
    auto challenges = [&](const std::string& source, int n) {
        wire::Connection c;
        wire::Reply r;
        if (!c.open(source, "127.0.0.1", proxy.port(), proxy.tls()))
            return std::string("no connection");
        for (int i = 0; i < n; ++i)
            if (!c.exchange(wire::post(kEndpoint, "cmd=0&u=proxied1"), r))
                return std::string("no answer");
        return r.body;
    };
    ASSERT_TRUE(eventually(5, [&] { return challenges("127.0.0.2", 1).size() == 19u; }));
    EXPECT_EQ(challenges("127.0.0.2", 2).size(), 19u);
    EXPECT_EQ(challenges("127.0.0.2", 1), kTooMany);
    EXPECT_EQ(challenges("127.0.0.3", 1).size(), 19u) << "another client has its own budget";

    std::vector<std::unique_ptr<wire::Connection>> held;
    for (int i = 0; i < 2; ++i) {
        held.push_back(std::make_unique<wire::Connection>());
        wire::Reply r;
        ASSERT_TRUE(held.back()->open("127.0.0.4", "127.0.0.1", proxy.port(), proxy.tls()) &&
                    held.back()->exchange(wire::post(kEndpoint, "cmd=c"), r));
    }
    wire::Connection third;
    wire::Reply r;
    EXPECT_FALSE(third.open("127.0.0.4", "127.0.0.1", proxy.port(), proxy.tls(), 2000) &&
                 third.exchange(wire::post(kEndpoint, "cmd=c"), r) && r.status == 200)
        << "a third connection of 127.0.0.4, which holds both its places";
    wire::Connection other;
    EXPECT_TRUE(other.open("127.0.0.5", "127.0.0.1", proxy.port(), proxy.tls()) &&
                other.exchange(wire::post(kEndpoint, "cmd=c"), r) && r.body == "ConnectionOk")
        << "another client while 127.0.0.4 holds all its places";

    const std::string log = read_file(server.log_path());
    EXPECT_NE(log.find("127.0.0.3 cmd=0"), std::string::npos) << "logged as the client";
    EXPECT_EQ(server.stop(), 0);
}

// Only a listed proxy may name the client, and it must: a header from anyone else
// is refused, as is a listed address that sends none, and a header a client sends
// through the proxy is its own bytes, never its address.
TEST_F(ProxyTest, NobodyButTheListedProxyNamesTheClient) {
    ServerProcess server({"--proxy-from", "127.0.0.1", "--exempt-addresses", ""});
    const std::string request = "GET /healthz HTTP/1.1\r\nHost: x\r\n\r\n";
    const std::string header = "PROXY TCP4 198.51.100.9 127.0.0.1 4000 8866\r\n";
    EXPECT_EQ(straight("127.0.0.1", server.port(), header + request).status, 200);
    EXPECT_EQ(straight("127.0.0.2", server.port(), request).status, 200) << "a direct client";
    EXPECT_EQ(straight("127.0.0.2", server.port(), header + request).status, -1);
    EXPECT_EQ(straight("127.0.0.1", server.port(), request).status, -1);

    Haproxy proxy(server.port(), dir_);
    ASSERT_TRUE(proxy.started());
    auto through = [&](const std::string& bytes) {
        wire::Connection c;
        wire::Reply r;
        if (!c.open("127.0.0.2", "127.0.0.1", proxy.port(), proxy.tls()) || !c.send(bytes) ||
            !c.read(r))
            r.status = -1;
        return r.status;
    };
    ASSERT_TRUE(eventually(5, [&] { return through(request) == 200; }));
    const std::string own = "PROXY TCP4 203.0.113.66 127.0.0.1 4000 8866\r\n";
    EXPECT_NE(through(own + wire::post(kEndpoint, "cmd=0&u=chosen1")), 200);

    const std::string log = read_file(server.log_path());
    EXPECT_NE(log.find("127.0.0.2 refused: a PROXY header from an address not in --proxy-from"),
              std::string::npos)
        << log;
    EXPECT_NE(log.find("127.0.0.1 refused: no PROXY header from an address in --proxy-from"),
              std::string::npos);
    EXPECT_EQ(log.find("198.51.100.9 "), std::string::npos) << "a health check is not logged";
    EXPECT_EQ(log.find("203.0.113.66"), std::string::npos) << log;
    EXPECT_EQ(server.stop(), 0);
}

// A header that does not come in time is refused without holding up anyone else.
TEST_F(ProxyTest, AProxyThatSendsNothingIsClosedAtTheTimeOut) {
    ServerProcess server(
        {"--proxy-from", "127.0.0.0/8", "--exempt-addresses", "", "--timeout", "1"});
    wire::Connection silent;
    ASSERT_TRUE(silent.open("127.0.0.7", "127.0.0.1", server.port()));
    silent.send(std::string("\r\n\r\n\0\r\n", 6)); // a header's first bytes, no more
    const std::string header = "PROXY TCP4 198.51.100.9 127.0.0.1 4000 8866\r\n";
    EXPECT_EQ(straight("127.0.0.8", server.port(), header + "GET /healthz HTTP/1.1\r\n\r\n").status,
              200)
        << "meanwhile";
    EXPECT_TRUE(silent.closed_within(2500));
    EXPECT_NE(read_file(server.log_path())
                  .find("127.0.0.7 refused: no PROXY header or request within the time-out"),
              std::string::npos);
    EXPECT_EQ(server.stop(), 0);
}

// Before a connection reaches the engine's limits it waits at the gate, where one
// address may hold no more places than it may hold connections.
TEST_F(ProxyTest, SilentConnectionsFromOneAddressCannotFillTheGate) {
    ServerProcess server({"--proxy-from", "127.0.0.9", "--exempt-addresses", "",
                          "--max-per-address", "2", "--timeout", "5"});
    std::vector<std::unique_ptr<wire::Connection>> silent;
    for (int i = 0; i < 2; ++i) {
        silent.push_back(std::make_unique<wire::Connection>());
        ASSERT_TRUE(silent.back()->open("127.0.0.2", "127.0.0.1", server.port()));
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    wire::Connection third;
    ASSERT_TRUE(third.open("127.0.0.2", "127.0.0.1", server.port()));
    EXPECT_TRUE(third.closed_within(1000)) << "a third silent connection of 127.0.0.2";
    EXPECT_FALSE(silent[0]->closed_within(200));
    EXPECT_EQ(straight("127.0.0.3", server.port(), "GET /healthz HTTP/1.1\r\n\r\n").status, 200);
    EXPECT_EQ(server.stop(), 0);
}

// A device cookie is Secure when the client came over TLS, to the proxy in front
// as much as to the server itself, and only then.
TEST_F(ProxyTest, CookiesAreSecureWhenTheProxySaysTheClientCameOverTls) {
    ServerProcess server({"--proxy-from", "127.0.0.1", "--exempt-addresses", ""});
    Haproxy proxy(server.port(), dir_);
    ASSERT_TRUE(proxy.started());
    // One request from 127.0.0.2: through the proxy (TLS), or straight to the server,
    // with `header` first.
    auto ask = [&](bool through, const std::string& body, const std::string& header = "") {
        wire::Connection c;
        wire::Reply r;
        const bool open = through ? c.open("127.0.0.2", "127.0.0.1", proxy.port(), proxy.tls())
                                  : c.open(header.empty() ? "127.0.0.2" : "127.0.0.1", "127.0.0.1",
                                           server.port());
        if (!open || !c.exchange(header + wire::post(kEndpoint, body), r))
            r.status = -1;
        return r;
    };
    ASSERT_EQ(ask(false, "cmd=9&emily=tls@example.org").body.size(), 6u);
    ASSERT_EQ(ask(false, "cmd=2&u=tlsuser1&p=secret1&q=tls@example.org").body, kSignUpOk);
    auto sign_in = [&](bool through, const std::string& header = "") {
        const std::string challenge = ask(through, "cmd=0&u=tlsuser1", header).body;
        return ask(through, "cmd=1&u=tlsuser1&p=" + server::md5_hex(challenge + "secret1"), header);
    };
    ASSERT_TRUE(eventually(5, [&] { return sign_in(true).body == kSignInOk; }));
    const wire::Reply proxied = sign_in(true);
    EXPECT_NE(proxied.headers.find("Set-Cookie: tx_device_"), std::string::npos);
    EXPECT_NE(proxied.headers.find("; Secure"), std::string::npos) << proxied.headers;

    const wire::Reply plain = sign_in(false);
    EXPECT_NE(plain.headers.find("Set-Cookie: tx_device_"), std::string::npos);
    EXPECT_EQ(plain.headers.find("; Secure"), std::string::npos) << plain.headers;
    const wire::Reply no_tls = sign_in(false, "PROXY TCP4 198.51.100.2 127.0.0.1 1 2\r\n");
    EXPECT_NE(no_tls.headers.find("Set-Cookie: tx_device_"), std::string::npos);
    EXPECT_EQ(no_tls.headers.find("; Secure"), std::string::npos) << "a header without TLS";
    EXPECT_EQ(server.stop(), 0);
}

// Clients stalling their TLS handshakes wait at HAProxy, which cuts them at its
// time-out, and never take the instance's places: with room for two connections
// there, a real client still gets through 20 of them.
TEST_F(ProxyTest, AStalledHandshakeIsCutByTheProxyWithoutTakingAServerPlace) {
    ServerProcess server({"--proxy-from", "127.0.0.1", "--exempt-addresses", "",
                          "--max-connections", "2", "--admin-listen", "127.0.0.1:0"});
    Haproxy proxy(server.port(), dir_, "1s");
    ASSERT_TRUE(proxy.started());
    auto connect_ok = [&] {
        wire::Connection c;
        wire::Reply r;
        return c.open("127.0.0.2", "127.0.0.1", proxy.port(), proxy.tls()) &&
               c.exchange(wire::post(kEndpoint, "cmd=c"), r) && r.body == "ConnectionOk";
    };
    ASSERT_TRUE(eventually(5, connect_ok));
    // The first bytes of a ClientHello's record, and no more.
    std::vector<std::unique_ptr<wire::Connection>> stalled;
    for (int i = 0; i < 20; ++i) {
        stalled.push_back(std::make_unique<wire::Connection>());
        ASSERT_TRUE(stalled.back()->open("127.0.0.3", "127.0.0.1", proxy.port()));
        stalled.back()->send(std::string("\x16\x03\x01\x02\x00\x01", 6));
    }
    EXPECT_TRUE(connect_ok()) << "a client while 20 handshakes stall";
    // The client's own connection ends at the instance a little after its answer;
    // the stalled ones are cut only after a second.
    std::string metrics;
    EXPECT_TRUE(eventually(0.5, [&] {
        get_metrics(server.admin_port(), metrics);
        return metrics.find("tarnix_connections_open 0") != std::string::npos;
    })) << metrics;
    for (auto& c : stalled)
        EXPECT_TRUE(c->closed_within(3000)) << "cut by HAProxy's time-out";
    EXPECT_EQ(server.stop(), 0);
}

TEST(ProxySettingsTest, AnExemptProxyOrABadRangeIsRefusedAtStart) {
    std::string err;
    EXPECT_EQ(run_server({"--proxy-from", "127.0.0.0/8", "--db", "/nonexistent/x"}, nullptr, &err),
              2);
    EXPECT_NE(err.find("exempt-addresses 127.0.0.1 is also in proxy-from"), std::string::npos)
        << err;
    EXPECT_EQ(std::count(err.begin(), err.end(), '\n'), 1) << err;
    EXPECT_EQ(run_server({"--proxy-from", "10.0.0.0/40", "--db", "/nonexistent/x"}, nullptr, &err),
              2);
    EXPECT_NE(err.find("'10.0.0.0/40' is neither an address"), std::string::npos) << err;
}
