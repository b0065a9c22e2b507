// The server's own answer texts. Written in UTF-8 here, sent as GBK.
#pragma once

#include <string>

namespace server {

enum class Msg {
    ConnectionOk,
    SignInOk,
    SignUpOk,
    PasswordChanged,
    WrongAccountOrPassword,
    WrongAccountOrOldPassword,
    ChallengeMissing,
    AccountLocked,
    AccountTaken,
    AccountFormat,
    PasswordFormat,
    NewPasswordFormat,
    EmailFormat,
    NoRecentCode,
    CodeTooSoon,
    CodeDailyLimit,
    MissingField,
    UnknownCommand,
    BadRequest,
    IllegalBytes,
    TooLarge,
    ServerError,
    TooManyRequests,
    PasswordBreached,
    PasswordTooSimple,
    Count
};

// Converts every text to GBK once; false (with the culprit in `bad`) when one does not convert.
bool init_messages(std::string& bad);

// The GBK bytes of a message (init_messages must have succeeded).
const std::string& gbk(Msg m);

// The UTF-8 source text of a message, for the log and the documentation.
const char* utf8(Msg m);

} // namespace server
