#include "protocol/commands.h"

#include "base/charset.h"
#include "base/crypto.h"
#include "base/text.h"
#include "protocol/form.h"
#include "protocol/messages.h"
#include "base/metrics.h"
#include "base/version.h"

#include <cstdio>
#include <iterator>
#include <map>
#include <exception>

namespace server {
namespace {

constexpr size_t kChallengeLength = 19;
constexpr size_t kMaxAccountBytes = 64; // longer names cannot exist; refuse them early
constexpr size_t kMaxReported = 10000;  // accounts whose unreadable password was logged
const char kBuild[] = "tarnix-server " TARNIX_SERVER_VERSION;

// Names are also whole GBK characters: the client cannot type anything else.
bool valid_account(const std::string& s) {
    return valid_credential(s) && well_formed_gbk(s);
}

Outcome outcome_of(Msg m) {
    switch (m) {
    case Msg::ConnectionOk:
    case Msg::SignInOk:
    case Msg::SignUpOk:
    case Msg::PasswordChanged:
        return Outcome::Ok;
    case Msg::WrongAccountOrPassword:
    case Msg::WrongAccountOrOldPassword:
        return Outcome::Wrong;
    case Msg::ChallengeMissing:
        return Outcome::NoChallenge;
    case Msg::AccountLocked:
        return Outcome::Locked;
    case Msg::AccountTaken:
        return Outcome::Exists;
    case Msg::NoRecentCode:
        return Outcome::NoCode;
    case Msg::CodeTooSoon:
        return Outcome::TooSoon;
    case Msg::ServerError:
        return Outcome::Error;
    case Msg::TooManyRequests:
    case Msg::CodeDailyLimit:
        return Outcome::RateLimited;
    default:
        return Outcome::Invalid;
    }
}

// Every field of `needs` present, and the account name not empty.
bool has_fields(const Form& form, unsigned needs) {
    for (size_t i = 0; i < static_cast<size_t>(Field::Count); ++i) {
        const std::string* value = form.get(static_cast<Field>(i));
        if ((needs >> i & 1u) && (!value || (static_cast<Field>(i) == Field::U && value->empty())))
            return false;
    }
    return true;
}

Reply answer(Msg m, const char* result, int status = 200) {
    Reply r;
    r.outcome = outcome_of(m);
    r.status = status;
    r.body = gbk(m);
    r.result = result;
    return r;
}

} // namespace

namespace {

constexpr unsigned need(Field f) {
    return 1u << static_cast<unsigned>(f);
}

} // namespace

// clang-format off
const Commands::CookieHeader Commands::kNoCookies = [] { return std::string(); };

const Commands::Row Commands::kRows[] = {
    {"c", Command::Connect, 0, nullptr,
     [](Commands&, const Form&, const Sender&) { return answer(Msg::ConnectionOk, "ok"); }},
    {"5", Command::Status, 0, &Limits::status_per_minute,
     [](Commands& c, const Form&, const Sender& s) { return c.status_record(s); }},
    {"0", Command::Challenge, need(Field::U), &Limits::challenges_per_minute,
     [](Commands& c, const Form& f, const Sender& s) {
         return c.challenge(*f.get(Field::U), s.cookies()); }},
    {"1", Command::SignIn, need(Field::U) | need(Field::P), &Limits::sign_ins_per_minute,
     [](Commands& c, const Form& f, const Sender& s) {
         return c.sign_in(*f.get(Field::U), *f.get(Field::P), s.cookies(), s.over_tls); }},
    {"2", Command::SignUp, need(Field::U) | need(Field::P) | need(Field::Q), nullptr,
     [](Commands& c, const Form& f, const Sender&) {
         return c.sign_up(*f.get(Field::U), *f.get(Field::P), *f.get(Field::Q)); }},
    {"3", Command::ChangePassword, need(Field::U) | need(Field::P) | need(Field::N),
     &Limits::changes_per_minute,
     [](Commands& c, const Form& f, const Sender& s) {
         return c.change_password(*f.get(Field::U), *f.get(Field::P), *f.get(Field::N), s.cookies()); }},
    {"9", Command::SendCode, need(Field::Emily), &Limits::codes_per_minute,
     [](Commands& c, const Form& f, const Sender&) { return c.send_code(*f.get(Field::Emily)); }},
};
// clang-format on

Commands::Commands(Store& store, CodeMailing mailing, StatusTexts status, Timing timing,
                   Limits limits, DeviceCookieConfig devices)
    : store_(store), mailing_(std::move(mailing)), status_(std::move(status)), timing_(timing),
      limits_(limits), devices_(std::move(devices)) {
    for (const Row& row : kRows)
        budgets_.push_back(row.per_minute ? std::make_unique<RateLimiter>(limits.*row.per_minute,
                                                                          limits.max_addresses)
                                          : nullptr);
}

// Counting the accounts reads the whole table (under the SQLite store's lock, which
// every sign-in waits for): one request a second counts, the others answer with the
// figure it found.
int64_t Commands::accounts() {
    constexpr int64_t kMaxAgeMs = 1000;
    const int64_t now = monotonic_ms();
    if (count_read_at_.load(std::memory_order_acquire) > now - kMaxAgeMs)
        return account_count_.load(std::memory_order_relaxed);
    std::unique_lock<std::mutex> lock(count_mutex_, std::defer_lock);
    // Until there is a figure, everyone waits for the first.
    if (count_read_at_.load(std::memory_order_acquire) == kNever)
        lock.lock();
    else if (!lock.try_lock())
        return account_count_.load(std::memory_order_relaxed);
    if (count_read_at_.load(std::memory_order_acquire) <= now - kMaxAgeMs) {
        account_count_.store(store_.account_count(), std::memory_order_relaxed);
        count_read_at_.store(now, std::memory_order_release);
    }
    return account_count_.load(std::memory_order_relaxed);
}

Reply Commands::handle(const std::string& body, const std::string& client,
                       const CookieHeader& cookies, bool over_tls, const std::string& address) {
    Form form;
    FormError e = parse_form(body, form);
    if (e == FormError::IllegalBytes)
        return answer(Msg::IllegalBytes, "illegal bytes", 400);
    if (e == FormError::BadRequest)
        return answer(Msg::BadRequest, "bad request", 400);

    const std::string& cmd = *form.get(Field::Cmd);
    size_t at = 0;
    while (at < std::size(kRows) && cmd != kRows[at].word)
        ++at;
    const Row* row = at < std::size(kRows) ? &kRows[at] : nullptr;
    // Made in place, not moved: this is every request's path.
    Reply r = [&]() -> Reply {
        try {
            if (!row)
                return answer(Msg::UnknownCommand, "unknown command", 400);
            if (budgets_[at] && !client.empty() && !budgets_[at]->allow(client, monotonic_ms()))
                return answer(Msg::TooManyRequests, "too many requests", 429);
            if (!has_fields(form, row->needs))
                return answer(Msg::MissingField, "missing field", 400);
            return row->run(*this, form, Sender{cookies ? cookies : kNoCookies, over_tls, address});
        } catch (const UnreadablePassword& ex) {
            report_unreadable(ex);
            return answer(Msg::ServerError, "server error: stored password unreadable", 500);
        } catch (const std::exception& ex) {
            Reply failed = answer(Msg::ServerError, "server error", 500);
            failed.result += std::string(": ") + ex.what();
            return failed;
        }
    }();
    r.command = cmd;
    if (row)
        r.label = row->label;
    if (const std::string* u = form.get(Field::U))
        r.account = *u;
    else if (const std::string* emily = form.get(Field::Emily))
        r.account = *emily;
    return r;
}

void Commands::report_unreadable(const UnreadablePassword& e) {
    {
        std::lock_guard<std::mutex> lock(reported_mutex_);
        if (reported_.size() >= kMaxReported || !reported_.insert(e.account()).second)
            return;
    }
    if (on_unreadable_password)
        on_unreadable_password(e.account(), e.what());
}

Reply Commands::status_record(const Sender& sender) {
    int64_t now = now_seconds();
    Reply r;
    UpdateFields update{status_.client_version, status_.update_location,
                        status_.update_description};
    if (rollouts)
        update = rollouts->fields_for(update, sender.cookies(), sender.address, sender.over_tls,
                                      now, r.set_cookie);
    r.body = status_.service_name + "|" + update.version + "|" + update.location + "|" +
             update.description + "|" + status_.announcement + "|" + local_time_text(now) + "|" +
             kBuild + "|" + std::to_string(accounts());
    r.result = "ok";
    return r;
}

Reply Commands::challenge(const std::string& account, const std::string& cookies) {
    if (account.size() > kMaxAccountBytes || has_control_bytes(account) ||
        !well_formed_gbk(account))
        return answer(Msg::AccountFormat, "bad account");
    // Issued whether or not the account exists, so the answer tells nobody which do.
    static const std::string alphabet =
        "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
    std::string text = random_text(kChallengeLength, alphabet);
    const int64_t now = now_seconds();
    store_.put_challenge(account, devices_.device_of(account, cookies, now), text, now);
    Reply r;
    r.body = text;
    r.result = "challenge";
    return r;
}

Reply Commands::sign_in(const std::string& account, const std::string& proof,
                        const std::string& cookies, bool over_tls) {
    // The challenges this client asked for (a known device's own, or those it shares
    // with every other client), all used up by this attempt, right or wrong.
    const int64_t now = now_seconds();
    const Attempt who{devices_.device_of(account, cookies, now), DeviceCookies::new_device_id()};
    const std::vector<std::string> challenges = store_.take_challenges(account, who.device, now);
    if (challenges.empty())
        return answer(Msg::ChallengeMissing, "no challenge");
    CheckResult check = store_.check_password(
        account, who, now,
        [&](const Secret& password) {
            bool right = false;
            for (const std::string& challenge : challenges)
                right |= equal_in_constant_time(md5_hex(challenge, password.view()), proof);
            return right;
        },
        timing_.lock);
    Reply r;
    if (check.verdict == Verdict::Locked) {
        r = answer(Msg::AccountLocked, "locked");
    } else if (check.verdict == Verdict::Wrong) {
        r = answer(Msg::WrongAccountOrPassword, "wrong account or password");
    } else {
        r = answer(Msg::SignInOk, "ok");
        // A known device gets its cookie again, for another year from now.
        if (!check.device.empty())
            r.set_cookie = devices_.set_cookie(account, check.device, now, over_tls);
        r.event = event::kSignIn;
        r.event_detail = check.known_device ? "known device" : "new device";
        r.new_device = !check.known_device;
    }
    after_check(account, check, r);
    return r;
}

void Commands::after_check(const std::string& account, const CheckResult& check, Reply& reply) {
    if (check.verdict != Verdict::Ok) {
        reply.event = check.locked_now ? event::kLocked : event::kSignInFailed;
        reply.event_detail =
            std::string(check.known_device ? "device" : "untrusted") +
            (check.locked_now || check.verdict != Verdict::Locked ? "" : ", while locked");
    }
    if (check.locked_now && metrics)
        metrics->account_locked();
    if (check.known_device)
        reply.result += " (known device)";
    if (check.untrusted_locked) {
        reply.result += " (untrusted attempts locked)";
        if (on_untrusted_lock)
            on_untrusted_lock(account);
    }
}

Reply Commands::sign_up(const std::string& account, const std::string& password,
                        const std::string& email) {
    if (!valid_account(account))
        return answer(Msg::AccountFormat, "bad account");
    if (!valid_credential(password))
        return answer(Msg::PasswordFormat, "bad password");
    if (!acceptable_address(email))
        return answer(Msg::EmailFormat, "bad email");
    if (std::optional<Reply> refused = screen(account, password))
        return *refused;
    int64_t now = now_seconds();
    switch (store_.create_account(account, password, email, now, now - timing_.code_valid_seconds,
                                  limits_.sign_ups_per_code)) {
    case SignUp::Created: {
        Reply r = answer(Msg::SignUpOk, "created");
        r.event = event::kSignUp;
        return r;
    }
    case SignUp::Exists:
        return answer(Msg::AccountTaken, "exists");
    case SignUp::NoRecentCode:
        break;
    }
    return answer(Msg::NoRecentCode, "no recent code");
}

Reply Commands::change_password(const std::string& account, const std::string& old_password,
                                const std::string& new_password, const std::string& cookies) {
    if (!valid_credential(new_password))
        return answer(Msg::NewPasswordFormat, "bad new password");
    if (std::optional<Reply> refused = screen(account, new_password))
        return *refused;
    const int64_t now = now_seconds();
    // The old password's check is counted like a sign-in's; a change makes no device.
    const Attempt who{devices_.device_of(account, cookies, now), std::string()};
    CheckResult check =
        store_.change_password(account, who, old_password, new_password, now, timing_.lock);
    Reply r;
    switch (check.verdict) {
    case Verdict::Ok:
        r = answer(Msg::PasswordChanged, "changed");
        r.event = event::kPasswordChanged;
        break;
    case Verdict::Locked:
        r = answer(Msg::AccountLocked, "locked");
        break;
    case Verdict::Wrong:
        r = answer(Msg::WrongAccountOrOldPassword, "wrong account or password");
        break;
    }
    after_check(account, check, r);
    if (check.verdict != Verdict::Ok)
        r.event_detail += ", password change";
    return r;
}

std::optional<Reply> Commands::screen(const std::string& account, const std::string& password) {
    const Refusal why = passwords ? passwords->check(password, account) : Refusal::None;
    if (why == Refusal::None)
        return std::nullopt;
    if (metrics)
        metrics->password_refused(why);
    return answer(why == Refusal::Breached ? Msg::PasswordBreached : Msg::PasswordTooSimple,
                  why == Refusal::Breached ? "password refused: breached"
                                           : "password refused: too simple");
}

Reply Commands::send_code(const std::string& email) {
    // Checked before anything is stored: nothing the client sends may reach the
    // envelope or a header but one plain address.
    const std::optional<std::string> recipient =
        acceptable_address(email) ? gbk_to_utf8(email) : std::nullopt;
    if (!recipient)
        return answer(Msg::EmailFormat, "bad email");
    const int64_t now = now_seconds();
    CodeRequest request;
    request.email = email;
    request.code = random_text(6, "0123456789");
    request.now = now;
    request.not_after = now - timing_.code_interval_seconds;
    request.forget_before = now - timing_.code_valid_seconds;
    request.day_since = now - kDaySeconds;
    request.per_day = limits_.codes_per_address_per_day;

    const std::map<std::string, std::string> values = {
        {"code", request.code},
        {"minutes", std::to_string(timing_.code_valid_seconds / 60)},
        {"service", mailing_.service}};
    OutgoingMail mail;
    mail.kind = "code";
    mail.recipient = *recipient;
    mail.subject = mailing_.text.render_subject(values);
    mail.body = mailing_.text.render_body(values);
    mail.message_id = new_message_id(mailing_.message_domain, now);
    mail.created = now;
    mail.expires = now + timing_.code_valid_seconds;
    mail.file_line = local_time_text(now) + "\t" + email + "\t" + request.code + "\n";

    MailTransport& transport = *mailing_.transport;
    std::function<bool()> deliver;
    if (transport.immediate())
        deliver = [&] { return transport.send(mail).outcome == SendResult::Sent; };
    switch (store_.issue_code(request, mail, deliver)) {
    case CodeIssue::TooSoon:
        return answer(Msg::CodeTooSoon, "too soon");
    case CodeIssue::DailyLimit:
        return answer(Msg::CodeDailyLimit, "daily limit");
    case CodeIssue::Issued:
        break;
    }
    if (!transport.immediate() && mailing_.queued)
        mailing_.queued();
    if (on_code_sent)
        on_code_sent(transport.immediate() ? "code sent to " + printable(email)
                                           : "code queued: mail " + std::to_string(mail.id) +
                                                 " to " + printable(address_domain(email)));
    Reply r;
    r.body = request.code;
    r.result = transport.immediate() ? "code sent" : "code queued";
    return r;
}

} // namespace server
