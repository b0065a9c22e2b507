// Load on the account server, as many users at once would bring it.
//
//   server_load --port N [--clients 256] [--seconds 30] [--sources 8] [--think-ms 100]
//               [--ca ca.pem] [--slow 0] [--tag run1] [--flow all]
//
// With --flow all each client repeats the whole account flow with a fresh account: a
// code ("9"), sign-up ("2"), challenge and sign-in ("0", "1"), password change ("3"),
// each request on a new connection as the Windows client makes it, pausing a random
// 0 to 2 x think-ms between requests. Parts of it, to measure one command:
//   sign-up  a code and a sign-up, each with a fresh account;
//   sign-in  challenge and sign-in, over and over, to accounts each client made before
//            the clock starts, keeping their device cookies as the Windows client does;
//   code     only codes, each to a fresh address (what the mail queue gets).
// Clients are spread over --sources loopback
// source addresses (127.0.1.1, 127.0.1.2, ...). With --slow N, N more connections
// from 127.0.0.2 each send one header byte a second (reconnecting when closed).
// At the end every account that was answered "注册成功" must sign in with its
// last password. Prints throughput, latency percentiles and error counts; exits
// 1 when any request failed or any account is missing.
#include "wire_client.h"

#include <openssl/ssl.h>

#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <openssl/evp.h>

#include <algorithm>
#include <cctype>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

const std::string kSignUpOk = "\xD7\xA2\xB2\xE1\xB3\xC9\xB9\xA6";           // 注册成功
const std::string kSignInOk = "ok\xA3\xAC\xBB\xB6\xD3\xAD\xBB\xD8\xC0\xB4"; // ok，欢迎回来
const std::string kChanged = "\xC3\xDC\xC2\xEB\xD0\xDE\xB8\xC4\xB3\xC9\xB9\xA6"; // 密码修改成功

struct Settings {
    int port = 0;
    int clients = 256;
    int seconds = 30;
    int sources = 8;
    int think_ms = 100;
    int slow = 0;
    std::string ca;
    std::string tag = "r";
    std::string flow = "all";
};

// Accounts each client makes for --flow sign-in before the clock starts.
constexpr int kSignInAccounts = 8;

std::string md5_hex(const std::string& s) {
    unsigned char d[EVP_MAX_MD_SIZE];
    unsigned int n = 0;
    EVP_Digest(s.data(), s.size(), d, &n, EVP_md5(), nullptr);
    static const char* hex = "0123456789abcdef";
    std::string out;
    for (unsigned i = 0; i < n; ++i) {
        out += hex[d[i] >> 4];
        out += hex[d[i] & 15];
    }
    return out;
}

struct Account {
    std::string name;
    std::string password;
    std::string cookie; // "name=value" of its device cookie, once it has one
};

struct ClientResult {
    std::vector<double> latencies_ms;
    std::map<std::string, std::vector<double>> by_command; // the same, by request
    std::map<std::string, int> errors;
    std::vector<Account> created;
    long codes = 0; // codes answered
};

// The "name=value" of a Set-Cookie header in a raw header block, "" when none.
std::string set_cookie(const std::string& headers) {
    static const std::string kName = "set-cookie:";
    std::string lower = headers;
    std::transform(lower.begin(), lower.end(), lower.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    const size_t at = lower.find(kName);
    if (at == std::string::npos)
        return std::string();
    size_t from = headers.find_first_not_of(' ', at + kName.size());
    size_t to = headers.find_first_of(";\r\n", from);
    return from == std::string::npos ? std::string() : headers.substr(from, to - from);
}

class Client {
public:
    Client(const Settings& s, SSL_CTX* tls, std::string source, int id)
        : s_(s), tls_(tls), source_(std::move(source)), id_(id), rng_(static_cast<unsigned>(id)) {}

    // One request on a new connection (or, with `keep_alive_`, on the one kept
    // open); "" (and an error counted) on failure. With `cookie`, sends it and keeps
    // the one the answer sets.
    std::string ask(const std::string& body, ClientResult& out, const char* what,
                    std::string* cookie = nullptr) {
        auto t = Clock::now();
        wire::Connection fresh;
        wire::Connection& c = keep_alive_ ? kept_ : fresh;
        wire::Reply r;
        std::string request = wire::post("/tx-client.asp", body);
        if (cookie && !cookie->empty())
            request.insert(request.find("\r\n") + 2, "Cookie: " + *cookie + "\r\n");
        bool ok = (c.is_open() || c.open(source_, "127.0.0.1", s_.port, tls_, 5000)) &&
                  c.exchange(request, r);
        if (!ok)
            c.close();
        const double ms = std::chrono::duration<double, std::milli>(Clock::now() - t).count();
        out.latencies_ms.push_back(ms);
        out.by_command[what].push_back(ms);
        if (ok && cookie) {
            std::string fresh_cookie = set_cookie(r.headers);
            if (!fresh_cookie.empty())
                *cookie = fresh_cookie;
        }
        if (!ok || r.status != 200) {
            ++out.errors[std::string(what) +
                         (ok ? " status " + std::to_string(r.status) : " no answer")];
            return std::string();
        }
        return r.body;
    }

    // The check afterwards asks tens of thousands of questions from one address:
    // a connection each would run out of local ports (TIME_WAIT).
    void keep_alive() { keep_alive_ = true; }

    void think() {
        if (s_.think_ms > 0)
            std::this_thread::sleep_for(std::chrono::milliseconds(
                std::uniform_int_distribution<int>(0, 2 * s_.think_ms)(rng_)));
    }

    // A code and a sign-up for the n-th fresh account of this client; false when
    // either failed.
    bool sign_up(int n, ClientResult& out) {
        char id[32];
        std::snprintf(id, sizeof id, "%03dn%05d", id_ % 1000, n % 100000);
        const std::string name = s_.tag + id; // 10 bytes: a valid account name
        const std::string email = name + "@load.test";
        const std::string password = "pw" + name;
        if (!code(email, out))
            return false;
        think();
        std::string a = ask("cmd=2&u=" + name + "&p=" + password + "&q=" + email, out, "sign-up");
        if (a != kSignUpOk) {
            ++out.errors["sign-up answer"];
            return false;
        }
        out.created.push_back(Account{name, password, std::string()});
        return true;
    }

    bool code(const std::string& email, ClientResult& out) {
        if (ask("cmd=9&emily=" + email, out, "code").size() != 6)
            return false;
        ++out.codes;
        return true;
    }

    void sign_in(Account& a, ClientResult& out) {
        std::string challenge = ask("cmd=0&u=" + a.name, out, "challenge", &a.cookie);
        if (ask("cmd=1&u=" + a.name + "&p=" + md5_hex(challenge + a.password), out, "sign-in",
                &a.cookie) != kSignInOk)
            ++out.errors["sign-in answer"];
    }

    // What --flow sign-in needs before the clock starts: accounts of this client.
    void prepare(ClientResult& out) {
        if (s_.flow == "sign-in")
            for (int n = 0; n < kSignInAccounts; ++n)
                sign_up(n, out);
    }

    void run(Clock::time_point end, ClientResult& out, std::vector<Account>& own) {
        if (s_.flow == "sign-in") {
            for (size_t n = 0; !own.empty() && Clock::now() < end; ++n) {
                sign_in(own[n % own.size()], out);
                think();
            }
            return;
        }
        for (int n = 0; Clock::now() < end; ++n) {
            if (s_.flow == "code") {
                char email[48];
                std::snprintf(email, sizeof email, "%s%03dn%06d@load.test", s_.tag.c_str(),
                              id_ % 1000, n % 1000000);
                code(email, out);
                think();
                continue;
            }
            if (!sign_up(n, out))
                continue;
            think();
            if (s_.flow == "sign-up")
                continue;
            Account& account = out.created.back();
            sign_in(account, out);
            think();
            const std::string& name = account.name;
            const std::string& password = account.password;
            const std::string next = "nw" + name;
            if (ask("cmd=3&u=" + name + "&p=" + password + "&n=" + next, out, "change") == kChanged)
                account.password = next;
            else
                ++out.errors["change answer"];
            think();
        }
    }

private:
    const Settings& s_;
    SSL_CTX* tls_;
    std::string source_;
    int id_;
    std::mt19937 rng_;
    bool keep_alive_ = false;
    wire::Connection kept_;
};

// --slow connections from 127.0.0.2, one header byte a second each.
void trickle(const Settings& s, std::atomic<bool>& stop, std::atomic<int>& open_now,
             std::atomic<long>& refused) {
    std::vector<int> fds(static_cast<size_t>(s.slow), -1);
    const std::string request = "POST /tx-client.asp HTTP/1.1\r\nHost: x\r\nX-Slow: ";
    size_t at = 0;
    while (!stop) {
        auto next = Clock::now() + std::chrono::seconds(1);
        int open_count = 0; // connections that lasted since the last round
        for (int& fd : fds) {
            if (fd >= 0) {
                char b;
                bool gone = ::recv(fd, &b, 1, MSG_DONTWAIT) == 0 ||
                            ::send(fd, &request[at % request.size()], 1, MSG_NOSIGNAL) != 1;
                if (gone) {
                    ::close(fd);
                    fd = -1;
                    ++refused;
                }
            }
            open_count += fd >= 0;
            if (fd < 0) {
                wire::Connection c;
                if (c.open("127.0.0.2", "127.0.0.1", s.port, nullptr, 1000))
                    fd = c.release();
            }
        }
        ++at;
        open_now = open_count;
        std::this_thread::sleep_until(next);
    }
    for (int fd : fds)
        if (fd >= 0)
            ::close(fd);
}

double percentile(std::vector<double>& v, double p) {
    if (v.empty())
        return 0;
    size_t k = static_cast<size_t>(p / 100.0 * static_cast<double>(v.size() - 1));
    std::nth_element(v.begin(), v.begin() + static_cast<long>(k), v.end());
    return v[k];
}

} // namespace

int main(int argc, char** argv) {
    Settings s;
    for (int i = 1; i + 1 < argc; i += 2) {
        std::string f = argv[i];
        std::string v = argv[i + 1];
        if (f == "--port")
            s.port = std::atoi(v.c_str());
        else if (f == "--clients")
            s.clients = std::atoi(v.c_str());
        else if (f == "--seconds")
            s.seconds = std::atoi(v.c_str());
        else if (f == "--sources")
            s.sources = std::max(1, std::atoi(v.c_str()));
        else if (f == "--think-ms")
            s.think_ms = std::atoi(v.c_str());
        else if (f == "--slow")
            s.slow = std::atoi(v.c_str());
        else if (f == "--ca")
            s.ca = v;
        else if (f == "--tag")
            s.tag = v;
        else if (f == "--flow")
            s.flow = v;
        else {
            std::fprintf(stderr, "unknown flag %s\n", f.c_str());
            return 2;
        }
    }
    const bool known_flow =
        s.flow == "all" || s.flow == "sign-up" || s.flow == "sign-in" || s.flow == "code";
    if (s.port <= 0 || s.clients < 1 || s.seconds < 1 || s.seconds > 600 || !known_flow) {
        std::fprintf(stderr, "usage: server_load --port N [--clients 256] [--seconds 30] "
                             "[--sources 8] [--think-ms 100] [--ca ca.pem] [--slow N] [--tag T] "
                             "[--flow all|sign-up|sign-in|code]\n");
        return 2;
    }
    rlimit nofile{};
    getrlimit(RLIMIT_NOFILE, &nofile);
    nofile.rlim_cur = nofile.rlim_max;
    setrlimit(RLIMIT_NOFILE, &nofile);

    SSL_CTX* tls = s.ca.empty() ? nullptr : wire::client_tls(s.ca);
    if (!s.ca.empty() && !tls) {
        std::fprintf(stderr, "cannot load %s\n", s.ca.c_str());
        return 2;
    }

    std::atomic<bool> stop{false};
    std::atomic<int> slow_open{0};
    std::atomic<long> slow_closed{0};
    std::thread slow;
    if (s.slow > 0) {
        slow = std::thread(trickle, std::cref(s), std::ref(stop), std::ref(slow_open),
                           std::ref(slow_closed));
        std::this_thread::sleep_for(std::chrono::seconds(2));
    }

    auto source_of = [&](int i) { return "127.0.1." + std::to_string(1 + i % s.sources); };
    // Before the clock: what the flow needs to exist (not counted but for its errors).
    std::vector<ClientResult> prepared(static_cast<size_t>(s.clients));
    {
        std::vector<std::thread> threads;
        for (int i = 0; i < s.clients; ++i)
            threads.emplace_back([&, i] {
                Client(s, tls, source_of(i), i).prepare(prepared[static_cast<size_t>(i)]);
            });
        for (auto& t : threads)
            t.join();
    }

    const auto start = Clock::now();
    const auto end = start + std::chrono::seconds(s.seconds);
    const double start_unix =
        std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch()).count();
    std::vector<ClientResult> results(static_cast<size_t>(s.clients));
    std::vector<std::thread> threads;
    for (int i = 0; i < s.clients; ++i) {
        threads.emplace_back([&, i] {
            Client(s, tls, source_of(i), i)
                .run(end, results[static_cast<size_t>(i)],
                     prepared[static_cast<size_t>(i)].created);
        });
    }
    int slow_open_seen = 0;
    while (Clock::now() < end) {
        std::this_thread::sleep_for(std::chrono::milliseconds(500));
        slow_open_seen = std::max(slow_open_seen, slow_open.load());
    }
    for (auto& t : threads)
        t.join();
    const double elapsed = std::chrono::duration<double>(Clock::now() - start).count();
    stop = true;
    if (slow.joinable())
        slow.join();

    const double end_unix =
        std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch()).count();

    std::vector<double> all;
    std::map<std::string, std::vector<double>> by_command;
    std::map<std::string, int> errors;
    std::vector<Account> created;
    long codes = 0;
    for (auto& r : prepared) {
        for (auto& e : r.errors)
            errors["before the clock: " + e.first] += e.second;
        created.insert(created.end(), r.created.begin(), r.created.end());
    }
    for (auto& r : results) {
        all.insert(all.end(), r.latencies_ms.begin(), r.latencies_ms.end());
        for (auto& c : r.by_command)
            by_command[c.first].insert(by_command[c.first].end(), c.second.begin(), c.second.end());
        for (auto& e : r.errors)
            errors[e.first] += e.second;
        created.insert(created.end(), r.created.begin(), r.created.end());
        codes += r.codes;
    }
    const size_t requests = all.size();
    const double p50 = percentile(all, 50), p90 = percentile(all, 90), p99 = percentile(all, 99);
    const double worst = all.empty() ? 0 : *std::max_element(all.begin(), all.end());

    // Every account the server said it created must exist with its last password.
    ClientResult check;
    Client checker(s, tls, "127.0.0.1", -1);
    checker.keep_alive();
    int missing = 0;
    for (const Account& a : created) {
        std::string challenge = checker.ask("cmd=0&u=" + a.name, check, "check challenge");
        if (checker.ask("cmd=1&u=" + a.name + "&p=" + md5_hex(challenge + a.password), check,
                        "check sign-in") != kSignInOk)
            ++missing;
    }

    int error_count = 0;
    for (auto& e : errors)
        error_count += e.second;
    std::printf("clients %d over %d source addresses, %s, think time 0-%d ms, %.1f s\n", s.clients,
                s.sources, tls ? "HTTPS" : "HTTP", 2 * s.think_ms, elapsed);
    std::printf("requests %zu (%.0f/s), accounts created %zu, missing afterwards %d\n", requests,
                static_cast<double>(requests) / elapsed, created.size(), missing);
    std::printf("latency ms: p50 %.2f  p90 %.2f  p99 %.2f  max %.2f\n", p50, p90, p99, worst);
    // One line per request kind, for the scripts' tables: name, count, rate, p50, p99, max.
    for (auto& c : by_command) {
        std::vector<double>& v = c.second;
        const double most = v.empty() ? 0 : *std::max_element(v.begin(), v.end());
        const double c50 = percentile(v, 50), c99 = percentile(v, 99);
        std::printf("command %s: %zu (%.1f/s)  p50 %.2f  p99 %.2f  max %.2f ms\n", c.first.c_str(),
                    v.size(), static_cast<double>(v.size()) / elapsed, c50, c99, most);
    }
    std::printf("codes answered %ld; clock from %.3f to %.3f (Unix time)\n", codes, start_unix,
                end_unix);
    if (s.slow > 0)
        std::printf("slow connections: %d kept trying, at most %d open at once, %ld ended by the "
                    "server (refused or timed out)\n",
                    s.slow, slow_open_seen, slow_closed.load());
    int check_errors = 0;
    for (auto& e : check.errors)
        check_errors += e.second;
    std::printf("errors %d (and %d in the check afterwards)\n", error_count, check_errors);
    for (auto& e : errors)
        std::printf("  %s: %d\n", e.first.c_str(), e.second);
    for (auto& e : check.errors)
        std::printf("  %s: %d\n", e.first.c_str(), e.second);
    if (tls)
        SSL_CTX_free(tls);
    return error_count == 0 && missing == 0 ? 0 : 1;
}
