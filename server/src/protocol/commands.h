// The account protocol: one form body in, one GBK answer out.
#pragma once

#include "base/rate_limiter.h"
#include "base/clock.h"
#include "base/device_cookie.h"
#include "base/metrics.h"
#include "base/password_screen.h"
#include "base/policy.h"
#include "mail/mail.h"
#include "base/secrets.h"
#include "protocol/form.h"
#include "protocol/rollout.h"
#include "store/store.h"

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <unordered_set>
#include <vector>

namespace server {

// Texts of the status record, already GBK.
struct StatusTexts {
    std::string service_name;
    std::string client_version;
    std::string update_location;
    std::string update_description;
    std::string announcement;
};

struct Timing {
    int64_t code_valid_seconds = 600;   // a sign-up needs a code this recent
    int64_t code_interval_seconds = 30; // at most one code per address this often
    LockPolicy lock;
};

// What one client address, and all of them together, may make the server hold or do.
// The budgets come from the settings (limits_config in configs.h).
struct Limits {
    int challenges_per_minute;                   // "0", per client address (0: no limit)
    int sign_ins_per_minute;                     // "1"
    int changes_per_minute;                      // "3"
    int codes_per_minute;                        // "9"
    int status_per_minute;                       // "5"
    size_t max_addresses = kMaxTrackedAddresses; // addresses whose budgets are remembered
    int sign_ups_per_code = 5;     // sign-up attempts a sent code allows, whatever they answer
    int codes_per_address_per_day; // code mails to one address in 24 hours (0: no cap)
};

struct Reply {
    Command label = Command::Other; // the command, as the metrics count it
    Outcome outcome = Outcome::Ok;
    int status = 200;
    std::string body;       // GBK
    std::string command;    // for the log
    std::string account;    // GBK, for the log
    std::string result;     // for the log: never a password or a proof
    std::string set_cookie; // a Set-Cookie header value to send ("" none)
    // What the security event record keeps of it (one of event::k*, events.h), with a
    // detail; nullptr: nothing.
    const char* event = nullptr;
    std::string event_detail;
    bool new_device = false; // a sign-in by a client the account did not know
};

// How "9" mails its code.
struct CodeMailing {
    MailTransport* transport = nullptr; // the file transport or SMTP (not owned)
    MailTemplate text = MailTemplate::builtin_code();
    std::string service;                      // UTF-8, the template's {service}
    std::string message_domain = "localhost"; // of the Message-IDs
    std::function<void()> queued;             // a mail was queued (wakes the sender)
};

class Commands {
public:
    Commands(Store& store, CodeMailing mailing, StatusTexts status, Timing timing, Limits limits,
             DeviceCookieConfig devices);

    // The request's Cookie header (where device cookies come from), asked for only by
    // the commands that read it.
    using CookieHeader = std::function<std::string()>;

    // Never throws: a failure of the store becomes the server-error answer. `client`
    // (the address as bytes) is what the per-address budgets count; "" counts nothing.
    // No `cookies`: the request has none. `over_tls`: the request came over TLS to a
    // proxy in front (the cookies sent back are then Secure, as they always are when
    // this server is configured for HTTPS).
    // `address` (as text) is who a status request without an install cookie is
    // bucketed as, for a rollout.
    Reply handle(const std::string& body, const std::string& client = std::string(),
                 const CookieHeader& cookies = CookieHeader(), bool over_tls = false,
                 const std::string& address = std::string());

    // Decides status fields 2 to 4 per install when set (a rollout may name a candidate).
    Rollouts* rollouts = nullptr;

    // Called for every code sent or queued, with a line for the log, never the code
    // (the address with the file transport; with SMTP the queue id and domain).
    std::function<void(const std::string&)> on_code_sent;
    // Counts the accounts locked by wrong passwords, when set.
    Metrics* metrics = nullptr;
    // The screen new passwords pass (sign-up, change), when set.
    const PasswordScreen* passwords = nullptr;

    // Called (with the account, GBK) once per lock of an account's untrusted
    // counter, by the failure that locks it: where a notice to the owner belongs.
    std::function<void(const std::string&)> on_untrusted_lock;

    const DeviceCookies& device_cookies() const { return devices_; }
    // Called once per account (GBK name) whose stored password opens under none of the
    // keys, with the reason; its requests keep getting the server-error answer.
    std::function<void(const std::string&, const std::string&)> on_unreadable_password;

private:
    // One protocol command: the word of its `cmd` field, the fields it needs (a bit per
    // Field; "u" must also not be empty), its budget per client address (the Limits
    // field, nullptr: none), its metrics label and its handler. Dispatch, the missing
    // field answer, the budgets and the metrics all read the row: a new command is a
    // row and a handler.
    // What the request says of its sender besides the form.
    struct Sender {
        const CookieHeader& cookies;
        bool over_tls;
        const std::string& address;
    };
    struct Row {
        const char* word;
        Command label;
        unsigned needs;
        int Limits::*per_minute;
        Reply (*run)(Commands&, const Form&, const Sender& sender);
    };
    static const Row kRows[];
    static const CookieHeader kNoCookies;

    Reply status_record(const Sender& sender);
    Reply challenge(const std::string& account, const std::string& cookies);
    Reply sign_in(const std::string& account, const std::string& proof, const std::string& cookies,
                  bool over_tls);
    Reply sign_up(const std::string& account, const std::string& password,
                  const std::string& email);
    Reply change_password(const std::string& account, const std::string& old_password,
                          const std::string& new_password, const std::string& cookies);
    // The log's result text and the lock hook, for the answer of a password check.
    void after_check(const std::string& account, const CheckResult& check, Reply& reply);
    Reply send_code(const std::string& email);
    // The refusal of a new password the screen does not let through, before anything
    // is stored or counted, so the user can try again at once; nothing when it passes.
    std::optional<Reply> screen(const std::string& account, const std::string& password);

    int64_t accounts();
    void report_unreadable(const UnreadablePassword& e);

    Store& store_;
    CodeMailing mailing_;
    StatusTexts status_;
    Timing timing_;
    Limits limits_;
    DeviceCookies devices_;
    // Each row's budget, by the row's place in kRows (null: none).
    std::vector<std::unique_ptr<RateLimiter>> budgets_;
    // The status record's account count, read again at most once a second.
    std::mutex count_mutex_;
    std::atomic<int64_t> account_count_{0};
    std::atomic<int64_t> count_read_at_{kNever};
    static constexpr int64_t kNever = INT64_MIN;
    std::mutex reported_mutex_;
    std::unordered_set<std::string> reported_;
};

} // namespace server
