#pragma once

#include <windows.h>

#include <string>

// The mailbox a signing-up user reads: the Maildir of the test relay
// (tests/support/mail_relay.sh) to which the server mails its codes.
namespace testsupport {

// The verification code of the newest mail to `address` in the Maildir `maildir`
// (a Unix path), waiting up to `timeout_ms` for one: the first run of exactly 6
// digits in its body, decoded from base64. Empty when no such mail came.
std::string code_mailed_to(const std::string& maildir, const std::string& address,
                           DWORD timeout_ms);

} // namespace testsupport
