#include "update/download_plan.h"

#include <gtest/gtest.h>

using download::Part;

TEST(ContentRange, AcceptsOnlyACompleteByteRange) {
    int64_t a = -1, b = -1, t = -1;
    ASSERT_TRUE(download::parse_content_range("bytes 0-10239/3158073", a, b, t));
    EXPECT_EQ(a, 0);
    EXPECT_EQ(b, 10239);
    EXPECT_EQ(t, 3158073);
    ASSERT_TRUE(download::parse_content_range(" bytes 5-5/6\r\n", a, b, t));
    EXPECT_EQ(a, 5);
    EXPECT_EQ(b, 5);
    EXPECT_EQ(t, 6);
    ASSERT_TRUE(download::parse_content_range("bytes 0-4294967299/4294967300", a, b, t));
    EXPECT_EQ(t, 4294967300LL);
    for (const char* bad : {"", "bytes", "bytes 0-9/*", "bytes */100", "bytes 9-0/100",
                            "bytes 0-100/100", "items 0-9/100", "bytes 0-9/100x", "bytes -1-9/100",
                            "bytes 0-9", "bytes0-9/100", "bytes 0-9/99999999999999999999"}) {
        EXPECT_FALSE(download::parse_content_range(bad, a, b, t)) << bad;
    }
}

TEST(ContentLength, DecimalOnly) {
    int64_t n = -1;
    ASSERT_TRUE(download::parse_content_length("0", n));
    EXPECT_EQ(n, 0);
    ASSERT_TRUE(download::parse_content_length(" 268435456 ", n));
    EXPECT_EQ(n, 268435456);
    for (const char* bad : {"", "-1", "+5", "12a", "1 2", "0x10"}) {
        EXPECT_FALSE(download::parse_content_length(bad, n)) << bad;
    }
}

// The parts cover the rest of the file exactly once, in order, without gaps.
TEST(SplitParts, CoverTheRestExactlyOnce) {
    struct Case {
        int64_t from, total;
        int32_t connections;
        int64_t min_part;
        size_t expected_parts;
    } cases[] = {
        {10240, 3 * 1024 * 1024 + 12345, 5, 10240, 5}, // a multi-megabyte file: five parts
        {10240, 25000, 5, 10240, 1},                   // less than two minimum parts: one
        {10240, 40960, 5, 10240, 3},                   // as many as the minimum size allows
        {0, 268435456, 16, 10240, 16},
        {0, 7, 5, 0, 5},       // a minimum of 0 counts as 1
        {10, 10, 5, 10240, 0}, // nothing left
        {0, 100, 0, 10, 1},    // at least one connection
    };
    for (const Case& c : cases) {
        std::vector<Part> parts = download::split_parts(c.from, c.total, c.connections, c.min_part);
        ASSERT_EQ(parts.size(), c.expected_parts) << c.total;
        int64_t next = c.from;
        for (const Part& p : parts) {
            EXPECT_EQ(p.start, next);
            EXPECT_GT(p.length, 0);
            next += p.length;
        }
        if (!parts.empty()) {
            EXPECT_EQ(next, c.total);
        }
    }
}

TEST(Validators, StrongEtagElseLastModifiedElseNone) {
    using download::Validators;
    const Validators both{"\"rev-1\"", "Tue, 08 Dec 2026 08:00:00 GMT"};
    const Validators date_only{"", "Tue, 08 Dec 2026 08:00:00 GMT"};
    const Validators weak{"W/\"rev-1\"", "Tue, 08 Dec 2026 08:00:00 GMT"};
    EXPECT_EQ(download::if_range_value(both), "\"rev-1\"");
    EXPECT_EQ(download::if_range_value(date_only), "Tue, 08 Dec 2026 08:00:00 GMT");
    EXPECT_EQ(download::if_range_value(weak), "Tue, 08 Dec 2026 08:00:00 GMT")
        << "a weak tag never matches an If-Range";
    EXPECT_EQ(download::if_range_value({"W/\"x\"", ""}), "");
    EXPECT_EQ(download::if_range_value({}), "");

    EXPECT_TRUE(download::same_revision(both, {" \"rev-1\"\r\n", "another date"}));
    EXPECT_FALSE(download::same_revision(both, {"\"rev-2\"", both.last_modified}));
    EXPECT_FALSE(download::same_revision(both, {"", both.last_modified})) << "tag gone";
    EXPECT_TRUE(download::same_revision(date_only, date_only));
    EXPECT_FALSE(download::same_revision(date_only, {"", "Tue, 08 Dec 2026 08:00:01 GMT"}));
    EXPECT_FALSE(download::same_revision({}, {})) << "without a validator nothing matches";
}
