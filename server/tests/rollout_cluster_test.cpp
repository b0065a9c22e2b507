// Two instances on one PostgreSQL database (run by with_postgres.sh) serving one
// rollout: they agree on every install's answer, and the operator's commands reach
// both within a second.
#include "base/device_cookie.h"
#include "protocol/rollout.h"
#include "rollout_support.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

using namespace server_test;

namespace {

const std::string kRelease = "1.001";
const std::string kKey(32, 'r');

class RolloutClusterTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (!test_postgres())
            GTEST_SKIP() << "needs PostgreSQL: run through with_postgres.sh";
        db_ = fresh_database();
        char tmpl[] = "/tmp/tarnix-rollout-key-XXXXXX";
        key_dir_ = mkdtemp(tmpl);
        const std::string key = key_dir_ + "/device.key";
        std::ofstream(key, std::ios::binary) << kKey;
        chmod(key.c_str(), 0600);
        a_.reset(new ServerProcess({"--db", db_, "--device-key-file", key}));
        b_.reset(new ServerProcess({"--db", db_, "--device-key-file", key}));
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

    // The install id inside a client's cookie, as the servers read it.
    static std::string id_of(const Client& c) {
        server::DeviceCookieConfig config;
        config.key = kKey;
        return server::DeviceCookies(config).install_of(c.cookie, 1);
    }

    // Milliseconds until both instances offer `version` to `install`.
    int64_t until_both(Client& install, const std::string& version) {
        return millis_until(
            [&] { return offered(install, *a_) == version && offered(install, *b_) == version; });
    }

    std::string db_, key_dir_;
    std::unique_ptr<ServerProcess> a_, b_;
};

TEST_F(RolloutClusterTest, InstancesAgreeAndCommandsReachBothWithinASecond) {
    Candidate c;
    ASSERT_EQ(start_rollout(db_, c, "1.002", 30), 0);
    std::vector<Client> installs(300);
    std::vector<bool> in_at_30;
    for (Client& install : installs) {
        install.post(*a_, "cmd=5"); // its cookie, made by one instance
        ASSERT_FALSE(id_of(install).empty());
        in_at_30.push_back(server::in_rollout_share(id_of(install), "1.002", 30));
    }
    // Let both read the rollout (a second at most), then every answer agrees.
    std::this_thread::sleep_for(std::chrono::milliseconds(1100));
    size_t in_share = 0;
    for (size_t i = 0; i < installs.size(); ++i) {
        const std::string at_a = offered(installs[i], *a_);
        ASSERT_EQ(at_a, offered(installs[i], *b_)) << i;
        ASSERT_EQ(at_a, in_at_30[i] ? "1.002" : kRelease) << i;
        in_share += in_at_30[i];
    }
    EXPECT_NEAR(static_cast<double>(in_share), 90.0, 30.0);

    // Widened: everyone in stays in, and some join, at both.
    ASSERT_EQ(rollout_admin(db_, {"percent", "60"}), 0);
    size_t joiner = 0;
    while (joiner < installs.size() &&
           (in_at_30[joiner] || !server::in_rollout_share(id_of(installs[joiner]), "1.002", 60)))
        ++joiner;
    ASSERT_LT(joiner, installs.size());
    const int64_t widened = until_both(installs[joiner], "1.002");
    EXPECT_GE(widened, 0);
    for (size_t i = 0; i < installs.size(); ++i) {
        if (in_at_30[i])
            ASSERT_EQ(offered(installs[i], *a_), "1.002") << i;
    }

    // Paused: an install in the share that was never offered it is not added. Until an
    // instance reads the pause it still adds them, so each probe is a fresh one.
    std::vector<size_t> unasked;
    for (size_t i = 0; i < installs.size(); ++i) {
        if (!in_at_30[i] && i != joiner &&
            server::in_rollout_share(id_of(installs[i]), "1.002", 60))
            unasked.push_back(i);
    }
    ASSERT_GT(unasked.size(), 40u);
    ASSERT_EQ(rollout_admin(db_, {"pause"}), 0);
    size_t probe = 0;
    const int64_t paused = millis_until([&] {
        if (probe == unasked.size())
            return false;
        Client& fresh = installs[unasked[probe++]];
        return offered(fresh, *a_) == kRelease && offered(fresh, *b_) == kRelease;
    });
    ASSERT_LT(probe, unasked.size());
    EXPECT_EQ(offered(installs[unasked[probe]], *b_), kRelease);
    EXPECT_EQ(offered(installs[unasked[probe]], *a_), kRelease);
    EXPECT_EQ(offered(installs[joiner], *a_), "1.002") << "offered before: kept";

    // Pulled: nobody is offered it.
    ASSERT_EQ(rollout_admin(db_, {"pull"}), 0);
    const int64_t pulled = until_both(installs[joiner], kRelease);

    // Finished: everyone is offered it, those out of its share too.
    ASSERT_EQ(start_rollout(db_, c, "1.003", 1), 0);
    size_t out = 0;
    while (out < installs.size() && server::in_rollout_share(id_of(installs[out]), "1.003", 1))
        ++out;
    ASSERT_EQ(rollout_admin(db_, {"finish"}), 0);
    const int64_t finished = until_both(installs[out], "1.003");
    EXPECT_EQ(fetch(*b_, installs[out], "/download/1.003/Tarnix.exe").body, c.program)
        << "the release a rollout made is served from its files";
    EXPECT_EQ(fetch(*a_, installs[out], "/download/1.002/Tarnix.exe").status, 404) << "pulled";

    std::printf("took effect at both instances after (ms): widen %lld, pause %lld, pull %lld, "
                "finish %lld\n",
                static_cast<long long>(widened), static_cast<long long>(paused),
                static_cast<long long>(pulled), static_cast<long long>(finished));
    // A second of the instances' reading, and the requests that find it out.
    for (int64_t ms : {widened, paused, pulled, finished}) {
        EXPECT_GE(ms, 0);
        EXPECT_LE(ms, 1500);
    }
    std::string status;
    ASSERT_EQ(rollout_admin(db_, {"status"}, &status), 0);
    EXPECT_NE(status.find("release: 1.003"), std::string::npos) << status;
}

} // namespace
