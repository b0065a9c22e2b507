// Device cookies: the owner's devices keep signing in while strangers' failures
// lock out strangers only; cookies that prove nothing are passed over.
#include "answers.h"
#include "cookie_client.h"
#include "base/crypto.h"
#include "base/device_cookie.h"
#include "server_process.h"
#include "wire_client.h"

#include <gtest/gtest.h>
#include <httplib.h>

#include <atomic>
#include <chrono>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include <sys/stat.h>

using namespace server_test;

namespace {

void sign_up(const ServerProcess& server, const std::string& account) {
    const std::string email = account + "@example.com";
    ASSERT_EQ(server.ask("cmd=9&emily=" + email).size(), 6u);
    ASSERT_EQ(server.ask("cmd=2&u=" + account + "&p=secret1&q=" + email), kSignUpOk);
}

// Locks the account's untrusted counter from a client without cookies.
void lock_for_strangers(const ServerProcess& server, const std::string& account) {
    Client stranger;
    for (int i = 0; i < 5; ++i)
        ASSERT_EQ(stranger.sign_in(server, account, "wrong99"), i < 4 ? kWrong : kLocked) << i;
}

size_t count_of(const std::string& haystack, const std::string& needle) {
    size_t n = 0;
    for (size_t at = haystack.find(needle); at != std::string::npos;
         at = haystack.find(needle, at + 1))
        ++n;
    return n;
}

const std::string kKey(32, 'k');

} // namespace

TEST(DeviceTest, TheOwnersDeviceSignsInWhileStrangersAreLockedOut) {
    ServerProcess server({"--lock-seconds", "2"});
    sign_up(server, "owner01");

    Client owner;
    ASSERT_EQ(owner.sign_in(server, "owner01", "secret1"), kSignInOk);
    const std::string set = owner.last_set_cookie;
    EXPECT_EQ(set.rfind(server::DeviceCookies::cookie_name("owner01") + "=", 0), 0u) << set;
    for (const char* part :
         {"; Max-Age=31536000; Expires=", " GMT; Path=/; HttpOnly; SameSite=Strict"})
        EXPECT_NE(set.find(part), std::string::npos) << part << " in " << set;
    EXPECT_EQ(set.find("Secure"), std::string::npos) << "plain HTTP";
    const std::string first_cookie = owner.cookie;
    {
        // Plain HTTP behind a proxy that users reach over HTTPS.
        ServerProcess proxied({"--public-url", "https://accounts.example.com"});
        sign_up(proxied, "owner01");
        Client c;
        ASSERT_EQ(c.sign_in(proxied, "owner01", "secret1"), kSignInOk);
        EXPECT_NE(c.last_set_cookie.find("; Secure"), std::string::npos) << c.last_set_cookie;
    }

    lock_for_strangers(server, "owner01");
    EXPECT_EQ(owner.sign_in(server, "owner01", "secret1"), kSignInOk)
        << "the owner gets in at once";
    EXPECT_EQ(owner.cookie.substr(0, owner.cookie.find('=')),
              first_cookie.substr(0, first_cookie.find('=')));
    EXPECT_EQ(owner.post(server, "cmd=3&u=owner01&p=secret1&n=newpass1").body, kChanged)
        << "the old password's check counts on the device too";

    Client newcomer;
    EXPECT_EQ(newcomer.sign_in(server, "owner01", "newpass1"), kLocked)
        << "a client without the cookie waits for the lock time, right password or not";
    EXPECT_EQ(newcomer.post(server, "cmd=3&u=owner01&p=newpass1&n=newpass2").body, kLocked);
    EXPECT_TRUE(newcomer.cookie.empty()) << "a refused client gets no cookie";
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    std::string answer;
    while (std::chrono::steady_clock::now() < deadline &&
           (answer = newcomer.sign_in(server, "owner01", "newpass1")) == kLocked)
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
    EXPECT_EQ(answer, kSignInOk) << "the lock ends";
    EXPECT_FALSE(newcomer.cookie.empty()) << "and the newcomer is a known device now";

    EXPECT_EQ(server.stop(), 0);
    const std::string log = read_file(server.log_path());
    EXPECT_EQ(count_of(log, "account owner01 locked for clients it does not know"), 1u)
        << "one notice per lock";
    EXPECT_NE(log.find("cmd=1 u=owner01 -> ok (known device)"), std::string::npos);
    EXPECT_EQ(log.find(first_cookie.substr(first_cookie.find('=') + 1)), std::string::npos)
        << "no cookie in the log";
}

TEST(DeviceTest, ADeviceWithFiveWrongPasswordsLocksOnlyItself) {
    ServerProcess server({"--lock-seconds", "60"});
    sign_up(server, "shared1");
    Client laptop, phone;
    ASSERT_EQ(laptop.sign_in(server, "shared1", "secret1"), kSignInOk);
    ASSERT_EQ(phone.sign_in(server, "shared1", "secret1"), kSignInOk);
    ASSERT_NE(laptop.cookie, phone.cookie) << "each device its own id";

    // A success resets the device's own count.
    for (int i = 0; i < 4; ++i)
        EXPECT_EQ(phone.sign_in(server, "shared1", "wrong99"), kWrong);
    EXPECT_EQ(phone.sign_in(server, "shared1", "secret1"), kSignInOk);

    for (int i = 0; i < 5; ++i)
        EXPECT_EQ(laptop.sign_in(server, "shared1", "wrong99"), i < 4 ? kWrong : kLocked) << i;
    EXPECT_EQ(laptop.sign_in(server, "shared1", "secret1"), kLocked);
    EXPECT_EQ(laptop.post(server, "cmd=3&u=shared1&p=secret1&n=newpass1").body, kLocked);

    for (int i = 0; i < 4; ++i)
        EXPECT_EQ(phone.sign_in(server, "shared1", "wrong99"), kWrong) << "counted afresh " << i;
    EXPECT_EQ(phone.sign_in(server, "shared1", "secret1"), kSignInOk);
    Client stranger;
    for (int i = 0; i < 4; ++i)
        EXPECT_EQ(stranger.sign_in(server, "shared1", "wrong99"), kWrong) << i;
    EXPECT_EQ(stranger.sign_in(server, "shared1", "secret1"), kSignInOk)
        << "the untrusted counter did not see the laptop's failures";
    EXPECT_EQ(server.stop(), 0);
    EXPECT_EQ(read_file(server.log_path()).find("locked for clients it does not know"),
              std::string::npos);
}

// Each sign-in asks for a challenge, then proves the password against it. A stranger
// asking for challenges for the same account in between, by hand or in a flood, must
// not turn the owner's right proofs into wrong passwords.
TEST(DeviceTest, AStrangersChallengesCostTheOwnerNothing) {
    ServerProcess server({"--lock-seconds", "60"});
    sign_up(server, "owner01");
    Client owner, newcomer, stranger;
    ASSERT_EQ(owner.sign_in(server, "owner01", "secret1"), kSignInOk);
    auto proof_for = [](const std::string& challenge) {
        return server::md5_hex(challenge + "secret1");
    };
    for (int i = 0; i < 6; ++i) {
        const std::string mine = owner.post(server, "cmd=0&u=owner01").body;
        const std::string theirs = stranger.post(server, "cmd=0&u=owner01").body;
        ASSERT_EQ(theirs.size(), 19u);
        EXPECT_EQ(owner.post(server, "cmd=1&u=owner01&p=" + proof_for(mine)).body, kSignInOk) << i;
    }
    // A client the account does not know yet shares its challenges with strangers, a
    // few of which may stand at once.
    for (int i = 0; i < 3; ++i) {
        const std::string mine = newcomer.post(server, "cmd=0&u=owner01").body;
        stranger.post(server, "cmd=0&u=owner01");
        stranger.post(server, "cmd=0&u=owner01");
        EXPECT_EQ(newcomer.post(server, "cmd=1&u=owner01&p=" + proof_for(mine)).body, kSignInOk)
            << i;
        newcomer.cookie.clear();
    }
    // A challenge stays single use, and an answered one is gone.
    const std::string once = owner.post(server, "cmd=0&u=owner01").body;
    EXPECT_EQ(owner.post(server, "cmd=1&u=owner01&p=" + proof_for(once)).body, kSignInOk);
    EXPECT_EQ(owner.post(server, "cmd=1&u=owner01&p=" + proof_for(once)).body, kNoChallenge);

    // A flood from other addresses while the owner signs in.
    std::atomic<bool> stop{false};
    std::thread flood([&] {
        for (int i = 0; !stop; ++i) {
            wire::Connection c;
            wire::Reply r;
            if (c.open("127.0.0." + std::to_string(2 + i % 5), "127.0.0.1", server.port()))
                c.exchange(wire::post("/tx-client.asp", "cmd=0&u=owner01"), r);
        }
    });
    int failed = 0;
    for (int i = 0; i < 20; ++i)
        failed += owner.sign_in(server, "owner01", "secret1") != kSignInOk;
    stop = true;
    flood.join();
    EXPECT_EQ(failed, 0);
    EXPECT_EQ(server.stop(), 0);
    EXPECT_EQ(read_file(server.log_path()).find("-> locked"), std::string::npos);
}

TEST(DeviceTest, CookiesThatProveNothingAreIgnored) {
    ServerProcess server({"--lock-seconds", "60"});
    ServerProcess other_server({"--lock-seconds", "60"});
    sign_up(server, "victim1");
    sign_up(server, "other01");
    sign_up(other_server, "victim1");

    Client owner, other_account, other_key;
    ASSERT_EQ(owner.sign_in(server, "victim1", "secret1"), kSignInOk);
    ASSERT_EQ(other_account.sign_in(server, "other01", "secret1"), kSignInOk);
    ASSERT_EQ(other_key.sign_in(other_server, "victim1", "secret1"), kSignInOk);
    lock_for_strangers(server, "victim1");

    const std::string name = server::DeviceCookies::cookie_name("victim1");
    const std::string value = owner.cookie.substr(owner.cookie.find('=') + 1);
    std::string altered = value;
    altered[value.size() / 2] = altered[value.size() / 2] == 'A' ? 'B' : 'A';
    const std::string attempts[] = {
        name + "=" + altered,
        name + "=" + value.substr(0, value.size() - 1),
        name + "=" + other_account.cookie.substr(other_account.cookie.find('=') + 1),
        other_key.cookie,                                 // same name, another server's key
        name + "=" + std::string(value.size(), 'A'),      // forged
        name + "=" + value + "%3D",                       // padding and junk
        "tx_device_" + std::string(8, '0') + "=" + value, // the value under another name
        name + "==;;; ;=" + value + ";;",                 // malformed
    };
    for (const std::string& cookie : attempts) {
        Client c;
        c.cookie = cookie;
        EXPECT_EQ(c.sign_in(server, "victim1", "secret1"), kLocked) << cookie;
    }

    // At most 10 cookies named for the account are looked at.
    std::string junk;
    for (int i = 0; i < 9; ++i)
        junk += name + "=" + altered + "; ";
    Client tenth, eleventh;
    tenth.cookie = junk + owner.cookie;
    eleventh.cookie = junk + name + "=" + altered + "; " + owner.cookie;
    EXPECT_EQ(eleventh.sign_in(server, "victim1", "secret1"), kLocked);
    EXPECT_EQ(tenth.sign_in(server, "victim1", "secret1"), kSignInOk);
    // Other accounts' cookies beside it do not count against that.
    Client many;
    many.cookie = owner.cookie;
    for (int i = 0; i < 12; ++i)
        many.cookie = other_account.cookie + "; " + many.cookie;
    EXPECT_EQ(many.sign_in(server, "victim1", "secret1"), kSignInOk);
    EXPECT_EQ(server.stop(), 0);
    EXPECT_EQ(other_server.stop(), 0);
}

TEST(DeviceTest, AnAccountKeepsItsTwentyMostRecentDevices) {
    ServerProcess server({"--lock-seconds", "60"});
    sign_up(server, "busy001");
    std::vector<Client> devices(21);
    for (Client& d : devices)
        ASSERT_EQ(d.sign_in(server, "busy001", "secret1"), kSignInOk);
    lock_for_strangers(server, "busy001");
    EXPECT_EQ(devices[0].sign_in(server, "busy001", "secret1"), kLocked)
        << "the oldest was dropped: its cookie is a stranger's now";
    for (size_t i = 1; i < devices.size(); ++i)
        EXPECT_EQ(devices[i].sign_in(server, "busy001", "secret1"), kSignInOk) << i;
}

TEST(DeviceTest, WithAKeyFileCookiesOutliveARestart) {
    char tmpl[] = "/tmp/tarnix-device-restart-XXXXXX";
    const std::string dir = mkdtemp(tmpl);
    const std::string key = dir + "/device.key";
    std::ofstream(key, std::ios::binary) << kKey;
    chmod(key.c_str(), 0600);
    const std::vector<std::string> flags = {"--db", dir + "/accounts.db", "--device-key-file",
                                            key,    "--lock-seconds",     "60"};
    Client owner;
    {
        ServerProcess first(flags);
        sign_up(first, "owner01");
        ASSERT_EQ(owner.sign_in(first, "owner01", "secret1"), kSignInOk);
        EXPECT_EQ(first.stop(), 0);
        EXPECT_EQ(read_file(first.log_path()).find("no --device-key-file"), std::string::npos);
    }
    {
        ServerProcess second(flags);
        lock_for_strangers(second, "owner01");
        EXPECT_EQ(owner.sign_in(second, "owner01", "secret1"), kSignInOk);
        EXPECT_EQ(second.stop(), 0);
    }
    {
        ServerProcess without_key({"--db", dir + "/accounts.db"});
        EXPECT_EQ(owner.sign_in(without_key, "owner01", "secret1"), kLocked)
            << "another key: the cookie proves nothing";
        EXPECT_EQ(without_key.stop(), 0);
        EXPECT_NE(read_file(without_key.log_path()).find("warning: no --device-key-file"),
                  std::string::npos);
    }
    chmod(key.c_str(), 0644);
    EXPECT_EQ(run_server({"--port", "0", "--db", dir + "/accounts.db", "--device-key-file", key}),
              2)
        << "a key others can read is refused";
    std::filesystem::remove_all(dir);
}

// The cookie's own checks, without a server: every way a value can be wrong.
TEST(DeviceCookieTest, OnlyAnIntactUnexpiredCookieForTheAccountNamesADevice) {
    server::DeviceCookieConfig config;
    config.key = kKey;
    const server::DeviceCookies cookies(config);
    const std::string device = server::DeviceCookies::new_device_id();
    ASSERT_EQ(device.size(), 32u);
    EXPECT_NE(server::DeviceCookies::new_device_id(), device);
    const int64_t now = 1800000000;
    const std::string name = server::DeviceCookies::cookie_name("alice01");
    ASSERT_EQ(name.size(), 18u);
    EXPECT_NE(server::DeviceCookies::cookie_name("alice02"), name);
    const std::string value = cookies.value("alice01", device, now + 10);

    EXPECT_EQ(cookies.device_of("alice01", name + "=" + value, now), device);
    EXPECT_EQ(cookies.device_of("alice01", "a=b;  " + name + " = " + value + " ;c=d", now), device);
    EXPECT_EQ(cookies.device_of("alice01", name + "=" + value, now + 9), device);
    EXPECT_EQ(cookies.device_of("alice01", name + "=" + value, now + 10), "") << "expired";
    EXPECT_EQ(cookies.device_of("alice02",
                                server::DeviceCookies::cookie_name("alice02") + "=" + value, now),
              "")
        << "another account";
    const std::string base64url =
        "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-_";
    for (size_t i = 0; i < value.size(); ++i) {
        std::string altered = value;
        altered[i] = base64url[(base64url.find(value[i]) + 1) % 64];
        EXPECT_EQ(cookies.device_of("alice01", name + "=" + altered, now), "") << i;
    }
    server::DeviceCookieConfig other = config;
    other.key[0] = 'x';
    EXPECT_EQ(server::DeviceCookies(other).device_of("alice01", name + "=" + value, now), "")
        << "another key";
    EXPECT_TRUE(server::DeviceCookies().key_is_ephemeral());
    EXPECT_FALSE(cookies.key_is_ephemeral());

    config.secure = true;
    const std::string set = server::DeviceCookies(config).set_cookie("alice01", device, 0);
    EXPECT_EQ(set, name + "=" + cookies.value("alice01", device, 31536000) +
                       "; Max-Age=31536000; Expires=Fri, 01 Jan 1971 00:00:00 GMT; Path=/;"
                       " HttpOnly; SameSite=Strict; Secure");
}

TEST(DeviceCookieTest, AKeyFileHoldsThirtyTwoBytesForItsOwnerOnly) {
    char tmpl[] = "/tmp/tarnix-device-key-XXXXXX";
    const std::string dir = mkdtemp(tmpl);
    const std::string path = dir + "/device.key";
    auto write = [&](const std::string& bytes, mode_t mode) {
        std::ofstream(path, std::ios::binary | std::ios::trunc) << bytes;
        chmod(path.c_str(), mode);
    };
    std::string key, error;
    EXPECT_FALSE(server::read_device_key(path, key, error)) << "missing";
    write(kKey, 0600);
    EXPECT_TRUE(server::read_device_key(path, key, error)) << error;
    EXPECT_EQ(key, kKey);
    write(kKey, 0640);
    EXPECT_FALSE(server::read_device_key(path, key, error)) << "readable by the group";
    write(kKey.substr(1), 0600);
    EXPECT_FALSE(server::read_device_key(path, key, error)) << "31 bytes";
    write(kKey + "\n", 0600);
    EXPECT_FALSE(server::read_device_key(path, key, error)) << "33 bytes";
    std::filesystem::remove_all(dir);
}
