#include "protocol/status_record.h"

#include <gtest/gtest.h>

using Fields = std::vector<std::string>;

TEST(StatusRecord, SeparatorsAtTheEdgesAndInARow) {
    EXPECT_EQ(split_status_record(""), Fields{});
    EXPECT_EQ(split_status_record("|"), Fields{""});
    EXPECT_EQ(split_status_record("a"), Fields{"a"});
    EXPECT_EQ(split_status_record("|a"), (Fields{"", "a"}));
    EXPECT_EQ(split_status_record("a||b"), (Fields{"a", "", "b"}));
    EXPECT_EQ(split_status_record("a|b|"), (Fields{"a", "b"}));
    EXPECT_EQ(split_status_record("a|b||"), (Fields{"a", "b", ""}));
}

TEST(StatusRecord, EightFieldsWithAndWithoutTrailingSeparator) {
    const std::string eight = "Tarnix|1.001|h/p.exe|desc||f6|f7|f8";
    EXPECT_EQ(split_status_record(eight).size(), 8u);
    EXPECT_EQ(split_status_record(eight + "|").size(), 8u);
    // Seven fields and a trailing separator: the empty eighth field is lost.
    EXPECT_EQ(split_status_record("Tarnix|1.001|h/p.exe|desc||f6|f7|").size(), 7u);
    EXPECT_EQ(status_field(split_status_record(eight), 2), "1.001");
    EXPECT_EQ(status_field(split_status_record(eight), 5), "");
    EXPECT_EQ(status_field(split_status_record(eight), 9), "");
    EXPECT_EQ(status_field(split_status_record(eight), 0), "");
}

TEST(StatusRecord, DoubleByteCharactersAreNeverSplit) {
    // 0x7C ("|") as the second byte of a GBK character stays inside it.
    const std::string with_pipe_trail = "\x81\x7C|x";
    EXPECT_EQ(split_status_record(with_pipe_trail), (Fields{"\x81\x7C", "x"}));
    // "张|三": two characters with a real separator between them.
    EXPECT_EQ(split_status_record("\xD5\xC5|\xC8\xFD"), (Fields{"\xD5\xC5", "\xC8\xFD"}));
    // A lead byte at the very end does not take a byte past the text.
    const std::string odd = std::string("a|") + '\xD5';
    EXPECT_EQ(split_status_record(odd), (Fields{"a", "\xD5"}));
    // A lead byte right before the last separator takes it as its trail byte.
    const std::string lead_before_pipe = std::string("a\xD5|");
    EXPECT_EQ(split_status_record(lead_before_pipe), (Fields{"a\xD5|"}));
}
