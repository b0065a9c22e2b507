#pragma once

#include "platform/secret_text.h"

#include <cstdint>
#include <string>
#include <string_view>

// The byte-string rules of the account operations: input checks, how answers
// are read and the parameter texts of their requests. Texts are GBK byte
// strings; lengths are bytes (a Chinese character counts 2).

// A challenge is usable only at exactly this many bytes.
inline constexpr std::size_t kChallengeLength = 19;

// Accounts and passwords of the sign-up, and new passwords, are 6 to 16 bytes.
// Only the length is tested, whatever the message shown says about letters.
bool passes_length_rule(std::string_view text);

// A sign-in answer means success when its first two bytes are "ok" (lower case).
bool is_sign_in_success(std::string_view answer);

// The caption of the get-code button while it counts down: "（29s）" with the
// full-width parentheses A3 A8 / A3 A9.
std::string countdown_caption(int32_t seconds_left);

// The sign-up checks, in the order they are made; the first that fails is the
// one reported.
enum class SignUpCheck {
    Passed,
    AccountEmpty,
    PasswordEmpty,
    EmailEmpty,
    AccountLength,
    PasswordLength,
    CodeEmpty,
    CodeWrong,
};
SignUpCheck check_sign_up(std::string_view account, std::string_view password,
                          std::string_view email, std::string_view code,
                          std::string_view stored_code);

// The password-change checks, in order.
enum class PasswordChangeCheck {
    Passed,
    AccountEmpty,
    OldPasswordEmpty,
    NewPasswordEmpty,
    RepeatEmpty,
    NewPasswordLength,
    RepeatDiffers,
};
PasswordChangeCheck check_password_change(std::string_view account, std::string_view old_password,
                                          std::string_view new_password, std::string_view repeat);

// Parameter texts of the requests. Only the account is percent-encoded; every
// other value goes in byte for byte as typed.
std::string challenge_parameters(std::string_view account);                        // "0"
std::string sign_in_parameters(std::string_view account, std::string_view proof);  // "1"
std::string code_request_parameters(std::string_view email);                       // "9"
SecretText sign_up_parameters(std::string_view account, std::string_view password, // "2"
                              std::string_view email);
SecretText password_change_parameters(std::string_view account, // "3"
                                      std::string_view old_password, std::string_view new_password);

// The bytes the sign-in proof is the digest of: the challenge, then the password.
SecretText proof_input(std::string_view challenge, std::string_view password);
