// The one way the server starts a thread of its own (the mail sender, the recovery's
// mails, the engine's and systemd's watchdogs).
//
// `body` runs on a new thread. An exception that escapes it would end the whole
// process; here it is logged as an error naming `name` instead, and the thread ends.
// A body that must go on after a failure catches it inside its loop. The caller owns
// the thread and joins it; starting may throw std::system_error like std::thread.
#pragma once

#include <functional>
#include <string>
#include <thread>

namespace server {

std::thread start_worker(std::string name, std::function<void()> body);

} // namespace server
