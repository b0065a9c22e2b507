// Two server instances on one PostgreSQL database (run by with_postgres.sh): what
// one instance does to an account, the other sees at once, and requests racing at
// both count once.
#include "base/crypto.h"
#include "answers.h"
#include "cookie_client.h"
#include "server_process.h"

#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

using namespace server_test;

namespace {

// Two instances sharing a fresh database.
class ClusterTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (!test_postgres())
            GTEST_SKIP() << "needs PostgreSQL: run through with_postgres.sh";
        const std::string db = fresh_database();
        // Instances behind one balancer share the device key.
        char tmpl[] = "/tmp/tarnix-cluster-key-XXXXXX";
        key_dir_ = mkdtemp(tmpl);
        const std::string key = key_dir_ + "/device.key";
        std::ofstream(key, std::ios::binary) << std::string(32, 'c');
        chmod(key.c_str(), 0600);
        a_.reset(new ServerProcess({"--db", db, "--device-key-file", key}));
        b_.reset(new ServerProcess({"--db", db, "--device-key-file", key}));
        ASSERT_GT(a_->port(), 0);
        ASSERT_GT(b_->port(), 0);
    }
    void TearDown() override {
        if (a_)
            EXPECT_EQ(a_->stop(), 0);
        if (b_)
            EXPECT_EQ(b_->stop(), 0);
        if (!key_dir_.empty())
            std::filesystem::remove_all(key_dir_);
    }

    void sign_up(const std::string& account, const std::string& password) {
        const std::string email = account + "@example.com";
        ASSERT_EQ(a_->ask("cmd=9&emily=" + email).size(), 6u);
        ASSERT_EQ(b_->ask("cmd=2&u=" + account + "&p=" + password + "&q=" + email), kSignUpOk);
    }

    static std::string answer(const ServerProcess& at, const std::string& account,
                              const std::string& challenge, const std::string& password) {
        return at.ask("cmd=1&u=" + account + "&p=" + server::md5_hex(challenge + password));
    }

    std::unique_ptr<ServerProcess> a_, b_;
    std::string key_dir_;
};

} // namespace

TEST_F(ClusterTest, AChallengeFromOneInstanceIsAnsweredAtTheOtherOnce) {
    sign_up("alice01", "secret1");
    std::string challenge = a_->ask("cmd=0&u=alice01");
    ASSERT_EQ(challenge.size(), 19u);
    EXPECT_EQ(answer(*b_, "alice01", challenge, "secret1"), kSignInOk);
    EXPECT_EQ(answer(*a_, "alice01", challenge, "secret1"), kNoChallenge) << "single use";

    // The same answer at both at once: one signs in, the other finds no challenge.
    for (int round = 0; round < 10; ++round) {
        challenge = (round % 2 ? b_ : a_)->ask("cmd=0&u=alice01");
        std::string at_a, at_b;
        std::thread ta([&] { at_a = answer(*a_, "alice01", challenge, "secret1"); });
        std::thread tb([&] { at_b = answer(*b_, "alice01", challenge, "secret1"); });
        ta.join();
        tb.join();
        EXPECT_EQ((at_a == kSignInOk) + (at_b == kSignInOk), 1) << "round " << round;
        EXPECT_EQ((at_a == kNoChallenge) + (at_b == kNoChallenge), 1) << "round " << round;
    }
}

TEST_F(ClusterTest, FailuresAtBothInstancesLockTheAccountAtBoth) {
    sign_up("bob0001", "secret1");
    for (int i = 0; i < 5; ++i) {
        const ServerProcess& at = i % 2 ? *b_ : *a_;
        std::string challenge = at.ask("cmd=0&u=bob0001");
        EXPECT_EQ(answer(at, "bob0001", challenge, "wrong11"), i < 4 ? kWrong : kLocked) << i;
    }
    for (const ServerProcess* at : {a_.get(), b_.get()}) {
        std::string challenge = at->ask("cmd=0&u=bob0001");
        EXPECT_EQ(answer(*at, "bob0001", challenge, "secret1"), kLocked);
    }
}

TEST_F(ClusterTest, ACodeUsedUpAtOneInstanceIsUsedUpAtTheOther) {
    sign_up("carol01", "secret1");
    // A sign-up uses up the address's codes everywhere.
    EXPECT_EQ(a_->ask("cmd=2&u=carol02&p=secret1&q=carol01@example.com"), kNoCode);

    // A code's five attempts, raced for from both instances, are counted once each.
    ASSERT_EQ(b_->ask("cmd=9&emily=probe@example.com").size(), 6u);
    std::atomic<int> taken{0}, no_code{0};
    std::vector<std::thread> racers;
    for (int i = 0; i < 10; ++i) {
        racers.emplace_back([&, i] {
            std::string r = (i % 2 ? b_ : a_)->ask("cmd=2&u=carol01&p=secret1&q=probe@example.com");
            taken += r == kTaken;
            no_code += r == kNoCode;
        });
    }
    for (auto& t : racers)
        t.join();
    EXPECT_EQ(taken.load(), 5);
    EXPECT_EQ(no_code.load(), 5);
}

TEST_F(ClusterTest, ACookieFromOneInstanceIsTrustedAtTheOtherAndLocksHoldAtBoth) {
    sign_up("dave001", "secret1");
    Client owner, laptop, stranger;
    ASSERT_EQ(owner.sign_in(*a_, "dave001", "secret1"), kSignInOk);
    ASSERT_EQ(laptop.sign_in(*b_, "dave001", "secret1"), kSignInOk);
    // Strangers' failures at A lock strangers out at B; the owner's cookie from A
    // signs in at B.
    for (int i = 0; i < 5; ++i)
        EXPECT_EQ(stranger.sign_in(*a_, "dave001", "wrong11"), i < 4 ? kWrong : kLocked) << i;
    EXPECT_EQ(stranger.sign_in(*b_, "dave001", "secret1"), kLocked);
    EXPECT_EQ(owner.sign_in(*b_, "dave001", "secret1"), kSignInOk);
    // A device's failures spread over both lock that device at both.
    for (int i = 0; i < 5; ++i)
        EXPECT_EQ(laptop.sign_in(i % 2 ? *b_ : *a_, "dave001", "wrong11"), i < 4 ? kWrong : kLocked)
            << i;
    EXPECT_EQ(laptop.sign_in(*b_, "dave001", "secret1"), kLocked);
    EXPECT_EQ(laptop.sign_in(*a_, "dave001", "secret1"), kLocked);
    EXPECT_EQ(owner.sign_in(*a_, "dave001", "secret1"), kSignInOk);
}
