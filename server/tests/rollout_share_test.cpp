// The rollout's share of installs and the install cookie, without a server.
#include "base/device_cookie.h"
#include "protocol/rollout.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using server::in_rollout_share;

std::vector<std::string> install_ids(size_t n) {
    std::vector<std::string> ids;
    for (size_t i = 0; i < n; ++i)
        ids.push_back(server::DeviceCookies::new_device_id());
    return ids;
}

// Stable, monotone as the share grows (raising it only adds installs), near the
// asked share, and keyed with the version (each release tries other installs first).
TEST(RolloutShare, StableMonotoneNearTheShareAndKeyedWithTheVersion) {
    const std::vector<std::string> ids = install_ids(10000);
    std::vector<int> counts(101, 0);
    size_t same_in_both = 0, in_first = 0;
    for (const std::string& id : ids) {
        bool before = false;
        for (int64_t p = 0; p <= 100; ++p) {
            const bool in = in_rollout_share(id, "1.002", p);
            ASSERT_TRUE(in || !before) << id << " left the share at " << p << " %";
            before = in;
            counts[p] += in;
        }
        // Stable within a process; across processes the cluster test holds it.
        ASSERT_EQ(in_rollout_share(id, "1.002", 37), in_rollout_share(id, "1.002", 37));
        if (in_rollout_share(id, "1.002", 20)) {
            ++in_first;
            same_in_both += in_rollout_share(id, "1.003", 20);
        }
    }
    EXPECT_EQ(counts[0], 0);
    EXPECT_EQ(counts[100], 10000);
    for (int64_t p : {1, 5, 10, 25, 50, 90}) {
        // Binomial: 10,000 draws keep within about 4 standard deviations of p %.
        const double share = counts[p] / 100.0;
        EXPECT_NEAR(share, static_cast<double>(p), 2.0) << p << " % asked";
    }
    // Another version's 20 % overlaps this one's by chance only (about 20 % of it).
    EXPECT_NEAR(static_cast<double>(same_in_both) / in_first, 0.2, 0.05);
}

TEST(RolloutShare, AVersionIsDigitsAndDots) {
    for (const char* good : {"1.002", "2", "10.0.1"})
        EXPECT_TRUE(server::valid_rollout_version(good)) << good;
    for (const char* bad : {"", "1.x", ".1", "1.", "../1", "1/2", "1 2", "1.002|x"})
        EXPECT_FALSE(server::valid_rollout_version(bad)) << bad;
}

// The install cookie opens only as it was made: not forged, altered, expired, or a
// device cookie's value put under its name.
TEST(InstallCookie, OpensOnlyAsItWasMade) {
    server::DeviceCookieConfig config;
    config.key = std::string(32, 'k');
    const server::DeviceCookies cookies(config);
    const int64_t now = 1000000;
    const std::string id = server::DeviceCookies::new_device_id();
    const std::string set = cookies.set_install_cookie(id, now);
    ASSERT_EQ(set.rfind("tx_install=", 0), 0u);
    EXPECT_NE(set.find("; Max-Age=31536000; Expires="), std::string::npos);
    EXPECT_NE(set.find("; Path=/; HttpOnly; SameSite=Strict"), std::string::npos);
    const std::string pair = set.substr(0, set.find(';'));
    const std::string value = pair.substr(pair.find('=') + 1);
    EXPECT_EQ(cookies.install_of("a=b; " + pair, now), id);
    EXPECT_EQ(cookies.install_of(pair, now + 365 * 86400), "") << "expired";

    std::string altered = value;
    altered[12] = altered[12] == 'A' ? 'B' : 'A';
    EXPECT_EQ(cookies.install_of("tx_install=" + altered, now), "");
    server::DeviceCookieConfig other = config;
    other.key = std::string(32, 'o');
    EXPECT_EQ(server::DeviceCookies(other).install_of(pair, now), "") << "another key";
    // A device cookie's value for the empty account has the same length: its own
    // format byte keeps it out.
    EXPECT_EQ(cookies.install_of("tx_install=" + cookies.value("", id, now + 100), now), "");
}

} // namespace
