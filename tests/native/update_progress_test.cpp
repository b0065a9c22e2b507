#include "update/update_progress.h"

#include <gtest/gtest.h>

// "更新进度（" and "%）" in GBK.
static std::string label(const std::string& number) {
    return "\xB8\xFC\xD0\xC2\xBD\xF8\xB6\xC8\xA3\xA8" + number + "%\xA3\xA9";
}

TEST(UpdateProgress, PositionRoundsHalfUp) {
    EXPECT_EQ(update::progress_position(1, 3), 333);
    EXPECT_EQ(update::progress_position(2, 3), 667);
    EXPECT_EQ(update::progress_position(0, 3), 0);
    EXPECT_EQ(update::progress_position(3, 3), 1000);
    EXPECT_EQ(update::progress_position(1, 2000), 1);      // 0.5 rounds up
    EXPECT_EQ(update::progress_position(1333, 2000), 667); // 666.5 rounds up
    EXPECT_EQ(update::progress_position(999999, 1000000), 1000);
    EXPECT_EQ(update::progress_position(268435455, 268435456), 1000);
    EXPECT_EQ(update::progress_position(134217728, 268435456), 500);
}

TEST(UpdateProgress, LabelWritesTheQuotientAsPercentG13) {
    EXPECT_EQ(update::progress_text(333), label("33.3"));
    EXPECT_EQ(update::progress_text(667), label("66.7"));
    EXPECT_EQ(update::progress_text(537), label("53.7"));
    EXPECT_EQ(update::progress_text(1000), label("100"));
    EXPECT_EQ(update::progress_text(0), label("0"));
    EXPECT_EQ(update::progress_text(5), label("0.5"));
}

// The trim works on the joined text: a space before the location stays behind
// "http://", a space after it goes; a location with its own scheme keeps both.
TEST(UpdateUrl, TrimsTheJoinedText) {
    EXPECT_EQ(update::download_url("example.com/Tarnix.exe"), "http://example.com/Tarnix.exe");
    EXPECT_EQ(update::download_url(" example.com/Tarnix.exe "), "http:// example.com/Tarnix.exe");
    EXPECT_EQ(update::download_url("example.com/Tarnix.exe\xA1\xA1 "),
              "http://example.com/Tarnix.exe");
    EXPECT_EQ(update::download_url("http://example.com/a.exe"), "http://http://example.com/a.exe");
    EXPECT_EQ(update::download_url(""), "http://");
}

TEST(UpdateUrl, LocalFileTakesTheCaption) {
    EXPECT_EQ(update::local_file_path("C:\\apps", "Tarnix"), "C:\\apps\\Tarnix.exe");
    EXPECT_EQ(update::local_file_path("", "Tarnix"), "\\Tarnix.exe");
}
