#include "account/account_flows.h"

#include "account/account_rules.h"
#include "account/account_texts.h"
#include "platform/secret_text.h"
#include "protocol/request.h"
#include "ui/main_names.h"

using namespace main_names;
using namespace account_texts;

namespace {

template <size_t N>
void set_all_disabled(AccountPage& page, const char* const (&controls)[N], bool disabled) {
    for (const char* name : controls) {
        page.set_disabled(name, disabled);
    }
}

void set_sign_in_busy(AccountPage& page, bool busy) {
    page.set_disabled(kSignIn, busy);
    page.set_text(kSignIn, busy ? kSigningIn : kSignInCaption);
    page.set_disabled(kSignInAccount, busy);
    page.set_disabled(kSignInPassword, busy);
}

const char* sign_up_message(SignUpCheck check) {
    switch (check) {
    case SignUpCheck::AccountEmpty:
        return kSignUpAccountEmpty;
    case SignUpCheck::PasswordEmpty:
        return kSignUpPasswordEmpty;
    case SignUpCheck::EmailEmpty:
        return kSignUpEmailEmpty;
    case SignUpCheck::AccountLength:
        return kAccountFormat;
    case SignUpCheck::PasswordLength:
        return kPasswordFormat;
    case SignUpCheck::CodeEmpty:
        return kCodeEmpty;
    case SignUpCheck::CodeWrong:
        return kCodeWrong;
    case SignUpCheck::Passed:
        break;
    }
    return "";
}

const char* change_message(PasswordChangeCheck check) {
    switch (check) {
    case PasswordChangeCheck::AccountEmpty:
        return kChangeAccountEmpty;
    case PasswordChangeCheck::OldPasswordEmpty:
        return kOldPasswordEmpty;
    case PasswordChangeCheck::NewPasswordEmpty:
        return kNewPasswordEmpty;
    case PasswordChangeCheck::RepeatEmpty:
        return kRepeatEmpty;
    case PasswordChangeCheck::NewPasswordLength:
        return kPasswordFormat;
    case PasswordChangeCheck::RepeatDiffers:
        return kRepeatDiffers;
    case PasswordChangeCheck::Passed:
        break;
    }
    return "";
}

} // namespace

void sign_in_flow(AccountPage& page, AccountServer& server) {
    const std::string account = page.text(kSignInAccount);
    if (account.empty()) {
        page.info_box(kAskAccount);
        return;
    }
    const SecretText password(page.text(kSignInPassword));
    if (password.empty()) {
        page.info_box(kAskPassword);
        return;
    }
    set_sign_in_busy(page, true);
    const std::string challenge = server.request("0", challenge_parameters(account));
    if (challenge.size() != kChallengeLength) {
        page.timed_notice(challenge);
    } else {
        // The password itself never travels: only the digest of challenge + password.
        const std::string proof = server.md5_hex(proof_input(challenge, password.view()).view());
        const std::string result = server.request("1", sign_in_parameters(account, proof));
        if (!is_sign_in_success(result)) {
            page.info_box(result);
        }
    }
    set_sign_in_busy(page, false);
}

void get_code_flow(AccountPage& page, AccountServer& server, std::string& stored_code,
                   int32_t& countdown) {
    const std::string email = page.text(kEmail);
    if (email.empty()) {
        page.info_box(kNoEmailYet);
        return;
    }
    // The button stays usable while the request runs; the lock follows the answer.
    stored_code = server.request("9", code_request_parameters(email));
    page.set_disabled(kGetCode, true);
    page.set_text(kGetCode, kSending);
    countdown = kCodeLockSeconds;
    page.set_interval(kCodeTimer, 1000);
}

void code_tick_flow(AccountPage& page, int32_t& countdown) {
    --countdown;
    page.set_text(kGetCode, countdown_caption(countdown));
    if (page.text(kGetCode) == countdown_caption(0)) {
        page.set_interval(kCodeTimer, 0);
        page.set_disabled(kGetCode, false);
        page.set_text(kGetCode, kGetCodeCaption);
    }
}

void sign_up_flow(AccountPage& page, AccountServer& server, std::string& stored_code) {
    const std::string account = page.text(kSignUpAccount);
    const SecretText password(page.text(kSignUpPassword));
    const std::string email = page.text(kEmail);
    const std::string code = page.text(kCode);
    const SignUpCheck check = check_sign_up(account, password.view(), email, code, stored_code);
    if (check != SignUpCheck::Passed) {
        page.info_box(sign_up_message(check));
        return;
    }
    set_all_disabled(page, kSignUpBusyControls, true);
    std::string answer;
    {
        const SecretText parameters = sign_up_parameters(account, password.view(), email);
        answer = server.request("2", parameters.view());
    }
    page.info_box(answer);
    if (answer_is(answer, kSignedUp)) {
        stored_code.clear();
    }
    set_all_disabled(page, kSignUpBusyControls, false);
}

void password_change_flow(AccountPage& page, AccountServer& server) {
    const std::string account = page.text(kChangeAccount);
    const SecretText old_password(page.text(kOldPassword));
    const SecretText new_password(page.text(kNewPassword));
    const SecretText repeat(page.text(kRepeatPassword));
    const PasswordChangeCheck check =
        check_password_change(account, old_password.view(), new_password.view(), repeat.view());
    if (check != PasswordChangeCheck::Passed) {
        page.info_box(change_message(check));
        return;
    }
    set_all_disabled(page, kChangeBusyControls, true);
    std::string answer;
    {
        const SecretText parameters =
            password_change_parameters(account, old_password.view(), new_password.view());
        answer = server.request("3", parameters.view());
    }
    // The page stays busy while the notice is open.
    page.timed_notice(answer);
    set_all_disabled(page, kChangeBusyControls, false);
}
