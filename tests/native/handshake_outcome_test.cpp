#include "handshake/handshake_outcome.h"

#include <gtest/gtest.h>

namespace {
std::vector<std::string> record(const std::string& version, const std::string& announcement) {
    return {"Tarnix", version, "h/Tarnix.exe", "desc", announcement, "t", "s", "3"};
}
} // namespace

// Without a publisher key only the exact own version connects; any other
// text, even one that compares equal as a number, is a new version. The
// announcement is 8 pixels a byte.
TEST(HandshakeOutcome, VersionAnnouncementAndFailure) {
    EXPECT_EQ(read_status(true, record("1.001", "x"), "1.001", false).outcome,
              HandshakeOutcome::Failed);
    EXPECT_EQ(read_status(true, record("1.002", "x"), "1.001", true).outcome,
              HandshakeOutcome::Failed);
    for (const char* other : {"1.0010", "1.000", "1.1", "", "1.x"}) {
        EXPECT_EQ(read_status(false, record(other, ""), "1.001", false).outcome,
                  HandshakeOutcome::NewVersion)
            << other;
    }
    const StatusView v =
        read_status(false, record("1.001", "\xBB\xB6\xD3\xAD abc"), "1.001", false);
    EXPECT_EQ(v.outcome, HandshakeOutcome::Connected);
    EXPECT_EQ(v.version, "1.001");
    EXPECT_EQ(v.announcement_width, 64);
    EXPECT_TRUE(v.kept_own_version.empty());
    EXPECT_EQ(read_status(false, record("1.001", ""), "1.001", false).announcement_width, 0);
}

// With a key only a newer version updates. An older, numerically equal or
// unreadable one connects as the own version does: the announcement shows,
// the label names the own version, and there is a reason to log.
TEST(HandshakeOutcome, OnlyForwardWithAKey) {
    for (const char* newer : {"1.002", "1.0010", "2", "1.001.1"}) {
        const StatusView v = read_status(false, record(newer, "news"), "1.001", true);
        EXPECT_EQ(v.outcome, HandshakeOutcome::NewVersion) << newer;
        EXPECT_TRUE(v.kept_own_version.empty()) << newer;
    }
    struct Case {
        const char* version;
        const char* reason_has;
    } kept[] = {
        {"1.000", "older"},    {"0.999", "older"}, {"1.1", "equals"},        {"1.001.0", "equals"},
        {"1.x", "no version"}, {"", "no version"}, {" 1.002", "no version"},
    };
    for (const Case& c : kept) {
        const StatusView v = read_status(false, record(c.version, "news"), "1.001", true);
        EXPECT_EQ(v.outcome, HandshakeOutcome::Connected) << c.version;
        EXPECT_EQ(v.version, "1.001") << c.version;
        EXPECT_EQ(v.announcement, "news") << c.version;
        EXPECT_EQ(v.announcement_width, 32) << c.version;
        EXPECT_NE(v.kept_own_version.find(c.reason_has), std::string::npos)
            << c.version << ": " << v.kept_own_version;
    }
    // The exact own version needs no reason.
    const StatusView same = read_status(false, record("1.001", ""), "1.001", true);
    EXPECT_EQ(same.outcome, HandshakeOutcome::Connected);
    EXPECT_TRUE(same.kept_own_version.empty());
}
