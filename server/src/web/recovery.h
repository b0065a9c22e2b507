// Password recovery by an e-mailed link, on the main port (pages.h draws the pages),
// and the notices to an account's owner when its password changes, it locks, or it
// signs in from a new device.
//
//   GET  /account/reset          the form: account name and bound e-mail address
//   POST /account/reset          one answer whatever matched; a link mailed on a match
//   GET  /account/reset/TOKEN    the new password's form
//   POST /account/reset/TOKEN    sets the password
//   GET  /account/style.css      the pages' stylesheet
//
// A token is 32 random bytes in base64url; the store keeps only its SHA-256. Every
// form carries a token tied to a SameSite=Strict, HttpOnly cookie (HMAC under the
// device key, so instances that share that key take each other's forms).
//
// Nothing that depends on the account runs while a request for a link is answered:
// the lookup, the link and the mail happen afterwards on the recovery's own thread,
// so the answer and its time are the same whether or not the pair matched. Notices
// are queued on the same thread and never delay an answer.
//
// Threads: handle() and the notice calls from any thread; the mails are handed to
// `send` on the recovery's thread (a worker, worker.h), one at a time. Store failures
// there are logged.
#pragma once

#include "base/device_cookie.h"
#include "base/password_screen.h"
#include "base/policy.h"
#include "http/engine.h"
#include "store/event_log.h"
#include "store/store.h"

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>

namespace server {

class Metrics;
class RateLimiter;

// Made from the settings (recovery_config in configs.h).
struct RecoveryConfig {
    std::string public_url; // "https://host[:port]", no path; "": off
    std::string service;    // UTF-8, the pages' header
    bool secure = false;    // the form cookie says Secure (HTTPS here or in front)
    int64_t link_seconds = kLinkSeconds;
    int mails_per_hour = 3;                                   // links mailed per account
    int new_device_notices_per_day = kNewDeviceNoticesPerDay; // per account; 0: none
    int requests_per_minute; // recovery requests per client address (0: no limit)
    size_t max_addresses = kMaxTrackedAddresses;
    size_t max_queued = 10000; // mails and lookups waiting for the thread
};

// Where the recovery's mails go (the mail queue). `kind` is "reset", "changed" or
// "locked"; `recipient` the bound address as stored (GBK); `values` the template's
// placeholders. Called on the recovery's thread.
using SendMail = std::function<void(const std::string& kind, const std::string& recipient,
                                    const std::map<std::string, std::string>& values)>;

// A fresh link for `account`: a new token, stored (ending every earlier link) when
// the account exists, `matches` accepts its address and the hourly cap allows
// (`per_hour` 0: no cap). The token, its result and the account's address.
struct IssuedLink {
    ResetIssue result = ResetIssue::NoMatch;
    std::string token;
    std::string email; // GBK
};
IssuedLink issue_reset_link(Store& store, const std::string& account, int64_t now,
                            int64_t lifetime_seconds, int per_hour,
                            const std::function<bool(const std::string&)>& matches);

// "{public_url}/account/reset/{token}".
std::string reset_link_url(const std::string& public_url, const std::string& token);

// The path prefix of the recovery's pages.
bool is_recovery_path(std::string_view path);
// A path as the log may show it: a link's token left out (it is as good as a password).
std::string path_for_log(std::string_view path);

// False (with the reason) for a public URL that cannot begin a link: not http(s)://,
// no host, or characters a mail or a page would have to escape.
bool valid_public_url(const std::string& url, std::string& why);

class Recovery {
public:
    Recovery(Store& store, const DeviceCookies& keys, RecoveryConfig config, SendMail send);
    ~Recovery();
    Recovery(const Recovery&) = delete;
    Recovery& operator=(const Recovery&) = delete;

    // A request to a recovery path; `exempt`: the address's budget is not counted.
    Response handle(const Request& req, bool exempt);

    // Notices, queued for the thread. `client` is the address the change came from.
    void password_changed(const std::string& account, const std::string& client);
    void account_locked(const std::string& account);
    // A sign-in by a client the account did not know: a notice to its owner, unless
    // it is the account's first sign-in or it had its day's notices already.
    void new_device(const std::string& account, const std::string& client);

    // Counts the links mailed and the passwords reset, when set.
    Metrics* metrics = nullptr;
    // The screen a new password passes, when set.
    const PasswordScreen* passwords = nullptr;
    // Keeps the requests for a link and the passwords set through one, when set.
    EventLog* events = nullptr;

private:
    Response request_form(const std::string& csrf_cookie, const std::string& error,
                          const std::string& account, const std::string& email, int status);
    Response post_request(const Request& req, const std::string& csrf_cookie);
    Response link_page(const Request& req, const std::string& token, bool post,
                       const std::string& csrf_cookie);
    Response page(int status, const std::string& html) const;
    std::string csrf_for(const std::string& cookie) const;
    bool csrf_ok(const std::string& cookie, const std::string& field) const;
    std::string form_cookie(const std::string& value, bool over_tls) const;

    // The thread's work: one job at a time; false when the queue is full.
    bool post(std::function<void()> job);
    void run();
    void mail_link(const std::string& account, const std::string& email);

    Store& store_;
    const DeviceCookies& keys_;
    const RecoveryConfig config_;
    const SendMail send_;
    std::unique_ptr<RateLimiter> budget_;

    std::mutex mutex_;
    std::condition_variable changed_;
    std::deque<std::function<void()>> jobs_;
    bool stopping_ = false;
    std::thread thread_;
};

} // namespace server
