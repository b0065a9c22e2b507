// What the server tells systemd: a notification socket of the test's own stands in
// for systemd's (NOTIFY_SOCKET), read as systemd reads it.
#include "ops/service_notify.h"
#include "server_process.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <filesystem>
#include <mutex>
#include <string>
#include <thread>

#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

using namespace server_test;

namespace {

// A datagram socket in a fresh folder, named by NOTIFY_SOCKET (and, when asked,
// a watchdog period in WATCHDOG_USEC) while it lives.
class NotifySocket {
public:
    explicit NotifySocket(long long watchdog_usec = 0) {
        char tmpl[] = "/tmp/tarnix-notify-XXXXXX";
        dir_ = mkdtemp(tmpl);
        fd_ = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        sockaddr_un addr{};
        addr.sun_family = AF_UNIX;
        const std::string path = dir_ + "/notify";
        path.copy(addr.sun_path, sizeof addr.sun_path - 1);
        if (fd_ < 0 || bind(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0)
            std::abort();
        setenv("NOTIFY_SOCKET", path.c_str(), 1);
        if (watchdog_usec > 0)
            setenv("WATCHDOG_USEC", std::to_string(watchdog_usec).c_str(), 1);
    }
    ~NotifySocket() {
        unsetenv("NOTIFY_SOCKET");
        unsetenv("WATCHDOG_USEC");
        close(fd_);
        std::filesystem::remove_all(dir_);
    }

    // The next message, or "" when none came within `ms`.
    std::string next(int ms = 10000) {
        pollfd p{fd_, POLLIN, 0};
        if (poll(&p, 1, ms) != 1)
            return "";
        char buf[4096];
        ssize_t n = recv(fd_, buf, sizeof buf, 0);
        return n > 0 ? std::string(buf, static_cast<size_t>(n)) : "";
    }

    // The next message that is not a watchdog ping.
    std::string next_but_pings(int ms = 10000) {
        std::string m;
        while ((m = next(ms)) == "WATCHDOG=1") {
        }
        return m;
    }

private:
    std::string dir_;
    int fd_ = -1;
};

// A probe the test turns on and off, counting the calls made while it is off.
struct Probe {
    std::mutex mutex;
    std::condition_variable called;
    bool alive = true;
    int calls_while_dead = 0;

    bool operator()() {
        std::lock_guard<std::mutex> lock(mutex);
        if (!alive)
            ++calls_while_dead;
        called.notify_all();
        return alive;
    }
    void set(bool on) {
        std::lock_guard<std::mutex> lock(mutex);
        alive = on;
        calls_while_dead = 0;
    }
    bool wait_dead_calls(int n) {
        std::unique_lock<std::mutex> lock(mutex);
        return called.wait_for(lock, std::chrono::seconds(10),
                               [&] { return calls_while_dead >= n; });
    }
};

} // namespace

TEST(ServiceNotifyTest, OutsideSystemdNothingIsSentAndNothingProbed) {
    unsetenv("NOTIFY_SOCKET");
    setenv("WATCHDOG_USEC", "20000", 1);
    std::atomic<int> probes{0};
    {
        server::ServiceNotifier notifier([&] { return ++probes > 0; });
        notifier.ready("test");
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        notifier.stopping();
    }
    unsetenv("WATCHDOG_USEC");
    EXPECT_EQ(probes.load(), 0);
}

// The watchdog is fed only while the probe says the server is alive, and stops
// with STOPPING=1.
TEST(ServiceNotifyTest, WatchdogIsFedOnlyWhileTheProbeAnswers) {
    NotifySocket systemd(100000);
    Probe probe;
    server::ServiceNotifier notifier([&] { return probe(); });
    notifier.ready("serving");
    EXPECT_EQ(systemd.next(), "READY=1\nSTATUS=serving");
    EXPECT_EQ(systemd.next(), "WATCHDOG=1");
    EXPECT_EQ(systemd.next(), "WATCHDOG=1");

    probe.set(false);
    // After the first probe that failed, every ping of earlier probes is queued:
    // drain them; none may follow.
    ASSERT_TRUE(probe.wait_dead_calls(1));
    while (!systemd.next(0).empty()) {
    }
    ASSERT_TRUE(probe.wait_dead_calls(4));
    EXPECT_EQ(systemd.next(0), "");

    probe.set(true);
    EXPECT_EQ(systemd.next(), "WATCHDOG=1");
    notifier.reloading();
    EXPECT_EQ(systemd.next_but_pings(), "RELOADING=1");
    notifier.ready("reloaded");
    EXPECT_EQ(systemd.next_but_pings(), "READY=1\nSTATUS=reloaded");
    notifier.stopping();
    EXPECT_EQ(systemd.next_but_pings(), "STOPPING=1");
    EXPECT_EQ(systemd.next(300), "") << "nothing after STOPPING=1";
}

// The server itself: ready once it answers, fed while it runs, reloading on SIGHUP,
// stopping on SIGTERM.
TEST(ServiceNotifyTest, ServerIsReadyWhenItAnswersAndSaysItStops) {
    NotifySocket systemd(200000);
    ServerProcess server;
    const std::string ready = systemd.next_but_pings();
    EXPECT_EQ(ready.rfind("READY=1\n", 0), 0u) << ready;
    EXPECT_EQ(server.ask("cmd=c"), "ConnectionOk");
    EXPECT_EQ(systemd.next(), "WATCHDOG=1");
    EXPECT_EQ(systemd.next(), "WATCHDOG=1");
    kill(server.pid(), SIGHUP);
    EXPECT_EQ(systemd.next_but_pings(), "RELOADING=1");
    EXPECT_EQ(systemd.next_but_pings(), "READY=1\nSTATUS=reloaded");
    EXPECT_EQ(server.stop(), 0);
    EXPECT_EQ(systemd.next_but_pings(), "STOPPING=1");
}
