#include "handshake/version_order.h"

#include <gtest/gtest.h>

#include <string>

using version_order::compare;
using version_order::well_formed;

// Components compare as whole numbers from the left; a missing one is 0.
TEST(VersionOrder, ComponentsCompareAsNumbers) {
    const char* ascending[] = {"0", "1", "1.001", "1.002", "1.010", "1.10.1", "2", "10", "10.0.1"};
    for (size_t i = 0; i < std::size(ascending); ++i) {
        for (size_t j = 0; j < std::size(ascending); ++j) {
            const int want = i < j ? -1 : (i > j ? 1 : 0);
            EXPECT_EQ(compare(ascending[i], ascending[j]), want)
                << ascending[i] << " vs " << ascending[j];
        }
    }
    for (const char* same : {"1.1", "1.001.0", "001.1", "1.1.0.0.000", "1.001"}) {
        EXPECT_EQ(compare(same, "1.001"), 0) << same;
        EXPECT_EQ(compare("1.001", same), 0) << same;
    }
    EXPECT_EQ(compare("1.0010", "1.001"), 1); // 10 after 1, not a trailing zero
    EXPECT_EQ(compare("1.000", "1.001"), -1);
    EXPECT_EQ(compare("1.001.1", "1.001"), 1);
}

// Digit strings far beyond any integer type still order right, with leading
// zeros of any length.
TEST(VersionOrder, HugeComponentsNeverOverflow) {
    const std::string big(400, '9');
    const std::string bigger = "1" + std::string(400, '0');
    EXPECT_EQ(compare("1." + big, "1." + bigger), -1);
    EXPECT_EQ(compare(bigger, big), 1);
    EXPECT_EQ(compare(std::string(300, '0') + "2", "1." + big), 1);
    EXPECT_EQ(compare("18446744073709551617", "18446744073709551616"), 1); // 2^64 + 1 vs 2^64
    EXPECT_EQ(compare(std::string(1000, '0') + "1", "1.0"), 0);
}

// Anything but digit runs between single dots has no order.
TEST(VersionOrder, OtherTextsAreNotVersions) {
    for (const char* bad : {"", ".", "1.", ".1", "1..2", "1.x", "x", " 1.001", "1.001 ", "-1", "+1",
                            "1,001", "1.0a", "\xD6\xD0"}) {
        EXPECT_FALSE(well_formed(bad)) << bad;
        EXPECT_EQ(compare(bad, "1.001"), std::nullopt) << bad;
        EXPECT_EQ(compare("1.001", bad), std::nullopt) << bad;
    }
    EXPECT_FALSE(well_formed(std::string("1\0", 2)));
    for (const char* good : {"0", "1.001", "007.0.00", "12345678901234567890.1"}) {
        EXPECT_TRUE(well_formed(good)) << good;
    }
}
