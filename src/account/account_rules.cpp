#include "account/account_rules.h"

#include "protocol/request.h"

bool passes_length_rule(std::string_view text) {
    return text.size() >= 6 && text.size() <= 16;
}

bool is_sign_in_success(std::string_view answer) {
    return answer.substr(0, 2) == "ok";
}

std::string countdown_caption(int32_t seconds_left) {
    return "\xA3\xA8" + std::to_string(seconds_left) + "s\xA3\xA9";
}

SignUpCheck check_sign_up(std::string_view account, std::string_view password,
                          std::string_view email, std::string_view code,
                          std::string_view stored_code) {
    if (account.empty()) {
        return SignUpCheck::AccountEmpty;
    }
    if (password.empty()) {
        return SignUpCheck::PasswordEmpty;
    }
    if (email.empty()) {
        return SignUpCheck::EmailEmpty;
    }
    if (!passes_length_rule(account)) {
        return SignUpCheck::AccountLength;
    }
    if (!passes_length_rule(password)) {
        return SignUpCheck::PasswordLength;
    }
    if (code.empty()) {
        return SignUpCheck::CodeEmpty;
    }
    if (code != stored_code) {
        return SignUpCheck::CodeWrong;
    }
    return SignUpCheck::Passed;
}

PasswordChangeCheck check_password_change(std::string_view account, std::string_view old_password,
                                          std::string_view new_password, std::string_view repeat) {
    if (account.empty()) {
        return PasswordChangeCheck::AccountEmpty;
    }
    if (old_password.empty()) {
        return PasswordChangeCheck::OldPasswordEmpty;
    }
    if (new_password.empty()) {
        return PasswordChangeCheck::NewPasswordEmpty;
    }
    if (repeat.empty()) {
        return PasswordChangeCheck::RepeatEmpty;
    }
    if (!passes_length_rule(new_password)) {
        return PasswordChangeCheck::NewPasswordLength;
    }
    if (new_password != repeat) {
        return PasswordChangeCheck::RepeatDiffers;
    }
    return PasswordChangeCheck::Passed;
}

std::string challenge_parameters(std::string_view account) {
    return "&u=" + url_encode(account);
}

std::string sign_in_parameters(std::string_view account, std::string_view proof) {
    std::string p = challenge_parameters(account);
    p.append("&p=").append(proof);
    return p;
}

std::string code_request_parameters(std::string_view email) {
    return "&emily=" + std::string(email);
}

SecretText sign_up_parameters(std::string_view account, std::string_view password,
                              std::string_view email) {
    const std::string u = url_encode(account);
    SecretText p;
    p.reserve(3 + u.size() + 3 + password.size() + 3 + email.size());
    p.append("&u=").append(u).append("&p=").append(password).append("&q=").append(email);
    return p;
}

SecretText password_change_parameters(std::string_view account, std::string_view old_password,
                                      std::string_view new_password) {
    const std::string u = url_encode(account);
    SecretText p;
    p.reserve(3 + u.size() + 3 + old_password.size() + 3 + new_password.size());
    p.append("&u=").append(u).append("&p=").append(old_password).append("&n=").append(new_password);
    return p;
}

SecretText proof_input(std::string_view challenge, std::string_view password) {
    SecretText t;
    t.reserve(challenge.size() + password.size());
    t.append(challenge).append(password);
    return t;
}
