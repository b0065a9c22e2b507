#include "protocol/request.h"

#include <gtest/gtest.h>

#include <string>

TEST(UrlEncode, KeepsOnlyLettersDigitsDashAndDot) {
    EXPECT_EQ(url_encode(""), "");
    EXPECT_EQ(url_encode("AZaz09-."), "AZaz09-.");
    EXPECT_EQ(url_encode(" "), "%20");
    EXPECT_EQ(url_encode("_"), "%5F");
    EXPECT_EQ(url_encode("\n"), "%0A");
    EXPECT_EQ(url_encode("~*/+%&="), "%7E%2A%2F%2B%25%26%3D");
    EXPECT_EQ(url_encode("\xD5\xC5"), "%D5%C5"); // GBK bytes, never re-encoded
    EXPECT_EQ(url_encode(std::string("\0\xFF", 2)), "%00%FF");
}

TEST(RequestText, BodiesAnswersAndComparison) {
    EXPECT_EQ(request_body("c"), "cmd=c");
    EXPECT_EQ(request_body("0", "&u=abc"), "cmd=0&u=abc");
    EXPECT_EQ(request_body("9", "&emily=a@b.c"), "cmd=9&emily=a@b.c");

    EXPECT_EQ(answer_from_body(""), "");
    EXPECT_EQ(answer_from_body("ok\r\n"), "ok\r\n");
    EXPECT_EQ(answer_from_body(std::string("ab\0cd", 5)), "ab");
    EXPECT_EQ(answer_from_body(std::string("\0x", 2)), "");

    EXPECT_TRUE(answer_is("ConnectionOk", "ConnectionOk"));
    EXPECT_FALSE(answer_is("ConnectionOk ", "ConnectionOk"));
    EXPECT_FALSE(answer_is("connectionok", "ConnectionOk"));
    EXPECT_FALSE(
        answer_is("\xD7\xA2\xB2\xE1\xB3\xC9\xB9\xA6\n", "\xD7\xA2\xB2\xE1\xB3\xC9\xB9\xA6"));
    EXPECT_TRUE(answer_is("", ""));
}

TEST(RequestText, DigestHexForms) {
    // MD5("abc")
    const unsigned char d[16] = {0x90, 0x01, 0x50, 0x98, 0x3c, 0xd2, 0x4f, 0xb0,
                                 0xd6, 0x96, 0x3f, 0x7d, 0x28, 0xe1, 0x7f, 0x72};
    EXPECT_EQ(digest_hex(d), "900150983cd24fb0d6963f7d28e17f72");
    EXPECT_EQ(digest_hex(d, true), "900150983CD24FB0D6963F7D28E17F72");
    EXPECT_EQ(digest_hex(d, false, true), "3cd24fb0d6963f7d");
    EXPECT_EQ(digest_hex(d, true, true), "3CD24FB0D6963F7D");
}
