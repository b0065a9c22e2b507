#pragma once

#include "ui/main_names.h"

#include <cstdint>
#include <string>
#include <string_view>

// The account operations as sequences of decisions, free of window code: what
// each reads from its page, in which order it checks, what it sends and what
// it shows. The main window and the server are reached through the two small
// interfaces below (account_win.h binds them to the real ones). Texts are GBK.

// The page a flow runs on: controls by name (main_names), and the two boxes.
class AccountPage {
public:
    virtual ~AccountPage() = default;
    virtual std::string text(const char* control) = 0;
    virtual void set_text(const char* control, std::string_view value) = 0;
    virtual void set_disabled(const char* control, bool disabled) = 0;
    virtual void set_interval(const char* timer, unsigned ms) = 0;
    virtual void info_box(std::string_view message) = 0;
    virtual void timed_notice(std::string_view message) = 0;
};

// The account server, and the digest of the sign-in proof.
class AccountServer {
public:
    virtual ~AccountServer() = default;
    // One command; the answer, "" when the server cannot be reached.
    virtual std::string request(std::string_view command, std::string_view parameters) = 0;
    virtual std::string md5_hex(std::string_view bytes) = 0;
};

// The controls a page disables while its request runs, in this order.
inline constexpr const char* kSignUpBusyControls[] = {
    main_names::kConfirmSignUp, main_names::kSignUpAccount, main_names::kSignUpPassword,
    main_names::kCode, main_names::kEmail};
inline constexpr const char* kChangeBusyControls[] = {
    main_names::kConfirmChange, main_names::kChangeAccount, main_names::kOldPassword,
    main_names::kNewPassword, main_names::kRepeatPassword};

// How long the get-code button stays locked after a code was asked for.
inline constexpr int32_t kCodeLockSeconds = 30;

// The sign-in button: challenge, then the MD5 proof of challenge + password.
void sign_in_flow(AccountPage& page, AccountServer& server);

// The get-code button: asks the server to mail a code to the address, keeps its
// answer in `stored_code` and locks the button for kCodeLockSeconds (`countdown`).
void get_code_flow(AccountPage& page, AccountServer& server, std::string& stored_code,
                   int32_t& countdown);
// One second of the lock: the caption counts down; at zero the button comes back.
void code_tick_flow(AccountPage& page, int32_t& countdown);

// The sign-up button: checks in order, then the sign-up; a success uses the code up.
void sign_up_flow(AccountPage& page, AccountServer& server, std::string& stored_code);

// The password-change button: checks in order, then the change, answered in the
// timed notice box.
void password_change_flow(AccountPage& page, AccountServer& server);
