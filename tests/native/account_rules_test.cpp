#include "account/account_rules.h"
#include "platform/secret_text.h"

#include <gtest/gtest.h>

#include <string>

// The 6-to-16-byte rule counts bytes: a Chinese character (two GBK bytes)
// counts twice, and punctuation is not refused.
TEST(AccountRules, LengthRuleCountsBytes) {
    EXPECT_FALSE(passes_length_rule(""));
    EXPECT_FALSE(passes_length_rule("abcde"));
    EXPECT_TRUE(passes_length_rule("abcdef"));
    EXPECT_TRUE(passes_length_rule("!@#$%^"));
    EXPECT_TRUE(passes_length_rule(std::string(16, 'a')));
    EXPECT_FALSE(passes_length_rule(std::string(17, 'a')));
    const std::string zhang = "\xD5\xC5"; // 张
    EXPECT_TRUE(passes_length_rule(zhang + zhang + zhang));
    std::string nine;
    for (int i = 0; i < 9; ++i) {
        nine += zhang;
    }
    EXPECT_FALSE(passes_length_rule(nine));
}

TEST(AccountRules, SignInSuccessIsLowerCaseOkPrefix) {
    EXPECT_TRUE(is_sign_in_success("ok"));
    EXPECT_TRUE(is_sign_in_success("ok, welcome"));
    EXPECT_FALSE(is_sign_in_success("OK"));
    EXPECT_FALSE(is_sign_in_success("Ok"));
    EXPECT_FALSE(is_sign_in_success("o"));
    EXPECT_FALSE(is_sign_in_success(""));
    EXPECT_FALSE(is_sign_in_success(" ok"));
}

// Full-width parentheses (A3 A8, A3 A9) around the seconds and an ASCII "s".
TEST(AccountRules, CountdownCaption) {
    EXPECT_EQ(countdown_caption(29), "\xA3\xA8"
                                     "29s\xA3\xA9");
    EXPECT_EQ(countdown_caption(1), "\xA3\xA8"
                                    "1s\xA3\xA9");
    EXPECT_EQ(countdown_caption(0), "\xA3\xA8"
                                    "0s\xA3\xA9");
}

// The first failing check is reported; all empty gives the first.
TEST(AccountRules, SignUpChecksInOrder) {
    EXPECT_EQ(check_sign_up("", "", "", "", ""), SignUpCheck::AccountEmpty);
    EXPECT_EQ(check_sign_up("abc", "", "", "", ""), SignUpCheck::PasswordEmpty);
    EXPECT_EQ(check_sign_up("abc", "p", "", "", ""), SignUpCheck::EmailEmpty);
    EXPECT_EQ(check_sign_up("abc", "p", "e", "", ""), SignUpCheck::AccountLength);
    EXPECT_EQ(check_sign_up("abcdef", "p", "e", "", ""), SignUpCheck::PasswordLength);
    EXPECT_EQ(check_sign_up("abcdef", "secret", "e", "", ""), SignUpCheck::CodeEmpty);
    EXPECT_EQ(check_sign_up("abcdef", "secret", "e", "Ab12", "ab12"), SignUpCheck::CodeWrong);
    EXPECT_EQ(check_sign_up("abcdef", "secret", "e", "ab12 ", "ab12"), SignUpCheck::CodeWrong);
    EXPECT_EQ(check_sign_up("abcdef", "secret", "e", "ab12", ""), SignUpCheck::CodeWrong);
    EXPECT_EQ(check_sign_up("abcdef", "secret", "e", "ab12", "ab12"), SignUpCheck::Passed);
}

TEST(AccountRules, PasswordChangeChecksInOrder) {
    EXPECT_EQ(check_password_change("", "", "", ""), PasswordChangeCheck::AccountEmpty);
    EXPECT_EQ(check_password_change("u", "", "", ""), PasswordChangeCheck::OldPasswordEmpty);
    EXPECT_EQ(check_password_change("u", "o", "", ""), PasswordChangeCheck::NewPasswordEmpty);
    EXPECT_EQ(check_password_change("u", "o", "n", ""), PasswordChangeCheck::RepeatEmpty);
    EXPECT_EQ(check_password_change("u", "o", "abcde", "abcde"),
              PasswordChangeCheck::NewPasswordLength);
    EXPECT_EQ(check_password_change("u", "o", std::string(17, 'a'), std::string(17, 'a')),
              PasswordChangeCheck::NewPasswordLength);
    EXPECT_EQ(check_password_change("u", "o", "abcdef", "ABCDEF"),
              PasswordChangeCheck::RepeatDiffers);
    // A one-byte old password, and a new one equal to it, are the server's business.
    EXPECT_EQ(check_password_change("u", "o", "abcdef", "abcdef"), PasswordChangeCheck::Passed);
    EXPECT_EQ(check_password_change("u", "abcdef", "abcdef", "abcdef"),
              PasswordChangeCheck::Passed);
}

// Only the account is percent-encoded; passwords and e-mail go in as typed.
TEST(AccountRules, ParameterTexts) {
    EXPECT_EQ(challenge_parameters("abc"), "&u=abc");
    EXPECT_EQ(challenge_parameters("a b_\xD5\xC5"), "&u=a%20b%5F%D5%C5");
    EXPECT_EQ(sign_in_parameters("a b", "0123"), "&u=a%20b&p=0123");
    EXPECT_EQ(code_request_parameters("x y@z.cn"), "&emily=x y@z.cn");
    EXPECT_EQ(sign_up_parameters("a b", "p&w d", "m@x").view(), "&u=a%20b&p=p&w d&q=m@x");
    EXPECT_EQ(password_change_parameters("a_b", "old 1", "new%2").view(),
              "&u=a%5Fb&p=old 1&n=new%2");
    EXPECT_EQ(proof_input("challenge", "pw").view(), "challengepw");
}

// A secret takes over the bytes it is made from and wipes the source; growing
// and moving it keep the content.
TEST(SecretText, TakesOverAndWipesItsSource) {
    std::string source = "a password of some length, longer than inline storage";
    const std::size_t n = source.size();
    const char* bytes = source.data();
    SecretText secret(std::move(source));
    EXPECT_EQ(secret.view(), "a password of some length, longer than inline storage");
    for (std::size_t i = 0; i < n; ++i) {
        ASSERT_EQ(bytes[i], '\0') << "byte " << i;
    }
    secret.append(" and more bytes appended to force a larger buffer");
    SecretText moved(std::move(secret));
    EXPECT_TRUE(secret.empty());
    EXPECT_EQ(moved.view(), "a password of some length, longer than inline storage and more bytes "
                            "appended to force a larger buffer");
}

TEST(SecretText, WipeBytesZeroes) {
    char buf[8] = {'s', 'e', 'c', 'r', 'e', 't', '!', '!'};
    wipe_bytes(buf, 6);
    EXPECT_EQ(std::string(buf, 8), std::string("\0\0\0\0\0\0!!", 8));
}
