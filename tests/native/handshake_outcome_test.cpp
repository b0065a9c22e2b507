#include "handshake/handshake_outcome.h"

#include <gtest/gtest.h>

namespace {
std::vector<std::string> record(const std::string& version, const std::string& announcement) {
    return {"Tarnix", version, "h/Tarnix.exe", "desc", announcement, "t", "s", "3"};
}
} // namespace

// Only the exact own version connects; any other text, even one that compares
// equal as a number, is a new version. The announcement is 8 pixels a byte.
TEST(HandshakeOutcome, VersionAnnouncementAndFailure) {
    EXPECT_EQ(read_status(true, record("1.001", "x"), "1.001").outcome, HandshakeOutcome::Failed);
    EXPECT_EQ(read_status(false, record("1.0010", ""), "1.001").outcome,
              HandshakeOutcome::NewVersion);
    EXPECT_EQ(read_status(false, record("", ""), "1.001").outcome, HandshakeOutcome::NewVersion);
    const StatusView v = read_status(false, record("1.001", "\xBB\xB6\xD3\xAD abc"), "1.001");
    EXPECT_EQ(v.outcome, HandshakeOutcome::Connected);
    EXPECT_EQ(v.version, "1.001");
    EXPECT_EQ(v.announcement_width, 64);
    EXPECT_EQ(read_status(false, record("1.001", ""), "1.001").announcement_width, 0);
}
