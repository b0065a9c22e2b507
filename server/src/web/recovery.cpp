#include "web/recovery.h"

#include "base/rate_limiter.h"
#include "base/charset.h"
#include "base/clock.h"
#include "base/text.h"
#include "base/crypto.h"
#include "base/log.h"
#include "base/metrics.h"
#include "base/policy.h"
#include "base/worker.h"
#include "web/pages.h"

#include <exception>

namespace server {
namespace {

const char kFormPath[] = "/account/reset";
const char kLinkPrefix[] = "/account/reset/";
const char kCookieName[] = "tx_form";
const char kCsrfPurpose[] = "recovery form";
constexpr size_t kTokenBytes = 32;
constexpr size_t kMaxAccountBytes = 64;
constexpr size_t kMaxEmailBytes = 100;
constexpr size_t kMaxPasswordBytes = 64; // UTF-8, before the GBK count

// The texts of the refusals, written once.
const char kBadForm[] = "请求格式不正确，请重新打开页面。";
const char kNotUtf8[] = "输入的内容不是有效的UTF-8文字，请重新输入。";
const char kNoCookie[] =
    "安全校验失败：表单已过期或浏览器没有发送本站的Cookie。请允许Cookie后重新打开页面。";
const char kTooMany[] = "请求过于频繁，请稍后再试。";
const char kTooLarge[] = "提交的内容过长。";
const char kFillBoth[] = "请填写账号和绑定邮箱。";
const char kLinkUnknown[] = "此链接无效：请确认链接完整，或重新申请。";
const char kLinkUsed[] = "此链接已使用过，每个链接只能使用一次。";
const char kLinkReplaced[] = "此链接已失效：之后又申请了新的链接，请使用最新邮件中的链接。";
const char kLinkExpired[] = "此链接已过期，请重新申请。";
const char kPasswordNotGbk[] =
    "新密码含有无法使用的字符（如表情符号或生僻字），请只用字母、数字、符号和常用汉字。";
const std::string kPasswordLength = std::string("新密码须为") + kPasswordRule;
const char kPasswordControl[] = "新密码不能含有制表符等控制字符。";
const char kPasswordsDiffer[] = "两次输入的新密码不一致。";

std::string utf8_of(const std::string& gbk) {
    return gbk_to_utf8(gbk).value_or(printable(gbk));
}

} // namespace

IssuedLink issue_reset_link(Store& store, const std::string& account, int64_t now,
                            int64_t lifetime_seconds, int per_hour,
                            const std::function<bool(const std::string&)>& matches) {
    IssuedLink out;
    out.token = base64url(random_bytes(kTokenBytes));
    ResetLink link;
    link.account = account;
    link.token_hash = sha256(out.token);
    link.now = now;
    link.expires = now + lifetime_seconds;
    link.window_start = now - kHourSeconds;
    link.per_window = per_hour;
    out.result = store.issue_reset_link(link, matches, out.email);
    return out;
}

std::string reset_link_url(const std::string& public_url, const std::string& token) {
    return public_url + kLinkPrefix + token;
}

bool is_recovery_path(std::string_view path) {
    return path.rfind("/account/", 0) == 0;
}

std::string path_for_log(std::string_view path) {
    return path.rfind(kLinkPrefix, 0) == 0 ? std::string(kLinkPrefix) + "(token)"
                                           : std::string(path);
}

bool valid_public_url(const std::string& url, std::string& why) {
    const size_t scheme = url.rfind("https://", 0) == 0 ? 8 : url.rfind("http://", 0) == 0 ? 7 : 0;
    if (scheme == 0) {
        why = "must start with http:// or https://";
        return false;
    }
    if (url.size() == scheme || url[scheme] == '/') {
        why = "needs a host";
        return false;
    }
    for (unsigned char c : url) {
        if (c <= 0x20 || c >= 0x7F || c == '"' || c == '\'' || c == '<' || c == '>' || c == '\\' ||
            c == '?' || c == '#') {
            why = "must be plain ASCII without spaces, quotes, <>, \\, ? or #";
            return false;
        }
    }
    if (url.back() == '/') {
        why = "must not end with /";
        return false;
    }
    // The pages are served at /account/ of the server's root, and their forms, their
    // stylesheet and their cookie name absolute paths: under a prefix every one of
    // them would miss.
    if (url.find('/', scheme) != std::string::npos) {
        why = "must be the server's root, https://host[:port], without a path: the pages "
              "are at /account/ there";
        return false;
    }
    return true;
}

Recovery::Recovery(Store& store, const DeviceCookies& keys, RecoveryConfig config, SendMail send)
    : store_(store), keys_(keys), config_(std::move(config)), send_(std::move(send)),
      budget_(new RateLimiter(config_.requests_per_minute, config_.max_addresses)) {
    thread_ = start_worker("the recovery's mails", [this] { run(); });
}

Recovery::~Recovery() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stopping_ = true;
    }
    changed_.notify_all();
    thread_.join();
}

bool Recovery::post(std::function<void()> job) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (jobs_.size() >= config_.max_queued)
            return false;
        jobs_.push_back(std::move(job));
    }
    changed_.notify_one();
    return true;
}

void Recovery::run() {
    std::unique_lock<std::mutex> lock(mutex_);
    for (;;) {
        changed_.wait(lock, [&] { return stopping_ || !jobs_.empty(); });
        // What was queued before the stop is still done: each job is short.
        if (jobs_.empty())
            return;
        std::function<void()> job = std::move(jobs_.front());
        jobs_.pop_front();
        lock.unlock();
        try {
            job();
        } catch (const std::exception& e) {
            log_error(std::string("recovery: ") + e.what(), "recovery");
        }
        lock.lock();
    }
}

void Recovery::mail_link(const std::string& account, const std::string& email) {
    // Compared as the code mails' interval and cap compare addresses (charset.h).
    const std::string wanted = fold_address_gbk(trim(email));
    IssuedLink link = issue_reset_link(
        store_, account, now_seconds(), config_.link_seconds, config_.mails_per_hour,
        [&](const std::string& bound) { return fold_address_gbk(bound) == wanted; });
    if (link.result == ResetIssue::NoMatch) {
        log_info("recovery: no link for u=" + printable(account) + " (no such pair)", "recovery");
        return;
    }
    if (link.result == ResetIssue::TooMany) {
        log_info("recovery: no link for u=" + printable(account) + " (" +
                     std::to_string(config_.mails_per_hour) + " this hour already)",
                 "recovery");
        return;
    }
    send_("reset", link.email,
          {{"service", config_.service},
           {"account", utf8_of(account)},
           {"link", reset_link_url(config_.public_url, link.token)},
           {"minutes", std::to_string((config_.link_seconds + 59) / 60)}});
    if (metrics)
        metrics->reset_mail();
    log_info("recovery: link mailed for u=" + printable(account), "recovery");
}

void Recovery::password_changed(const std::string& account, const std::string& client) {
    const int64_t when = now_seconds();
    if (!post([this, account, client, when] {
            auto found = store_.find_account(account);
            if (!found)
                return;
            send_("changed", found->email,
                  {{"service", config_.service},
                   {"account", utf8_of(account)},
                   {"time", zoned_time_text(when)},
                   {"address", client},
                   {"reset_page", config_.public_url + kFormPath}});
        }))
        log_warning("recovery: queue full, no notice of the password change of u=" +
                        printable(account),
                    "recovery");
}

void Recovery::account_locked(const std::string& account) {
    if (!post([this, account] {
            auto found = store_.find_account(account);
            if (!found || found->locked_until == 0)
                return;
            send_("locked", found->email,
                  {{"service", config_.service},
                   {"account", utf8_of(account)},
                   {"until", zoned_time_text(found->locked_until)},
                   {"reset_page", config_.public_url + kFormPath}});
        }))
        log_warning("recovery: queue full, no lock notice for u=" + printable(account), "recovery");
}

void Recovery::new_device(const std::string& account, const std::string& client) {
    if (config_.new_device_notices_per_day <= 0)
        return;
    const int64_t when = now_seconds();
    if (!post([this, account, client, when] {
            auto found = store_.find_account(account);
            if (!found)
                return;
            // The first sign-in of an account (noted now) has no earlier device to
            // compare with; one that already knows another device is not its first.
            if (store_.mark_signed_in(account) && store_.devices(account).size() <= 1)
                return;
            const std::string to = gbk_to_utf8(found->email).value_or(std::string());
            if (store_.mails_since(to, "new-device", when - kDaySeconds) >=
                config_.new_device_notices_per_day) {
                log_info("recovery: no new-device notice for u=" + printable(account) +
                             ": its day's notices were sent",
                         "recovery");
                return;
            }
            send_("new-device", found->email,
                  {{"service", config_.service},
                   {"account", utf8_of(account)},
                   {"time", zoned_time_text(when)},
                   {"address", client},
                   {"reset_page", config_.public_url + kFormPath}});
            if (metrics)
                metrics->new_device_notice();
            if (events)
                events->record(NewEvent{when, event::kNewDeviceNotice, account, client, ""});
        }))
        log_warning("recovery: queue full, no new-device notice for u=" + printable(account),
                    "recovery");
}

std::string Recovery::csrf_for(const std::string& cookie) const {
    return base64url(keys_.tag(kCsrfPurpose, cookie));
}

bool Recovery::csrf_ok(const std::string& cookie, const std::string& field) const {
    return !cookie.empty() && equal_in_constant_time(csrf_for(cookie), field);
}

std::string Recovery::form_cookie(const std::string& value, bool over_tls) const {
    return std::string(kCookieName) + "=" + value + "; Path=" + kFormPath +
           "; HttpOnly; SameSite=Strict" + secure_attribute(config_.secure, over_tls);
}

Response Recovery::page(int status, const std::string& html) const {
    Response res;
    res.status = status;
    res.content_type = "text/html; charset=utf-8";
    res.body = html;
    res.headers.emplace_back("Content-Security-Policy",
                             "default-src 'none'; style-src 'self'; "
                             "form-action 'self'; frame-ancestors 'none'");
    res.headers.emplace_back("X-Content-Type-Options", "nosniff");
    res.headers.emplace_back("Referrer-Policy", "no-referrer");
    res.headers.emplace_back("Cache-Control", "no-store");
    return res;
}

Response Recovery::request_form(const std::string& csrf_cookie, const std::string& error,
                                const std::string& account, const std::string& email, int status) {
    return page(status, reset_request_page(PageFrame{config_.service}, csrf_for(csrf_cookie), error,
                                           account, email));
}

Response Recovery::post_request(const Request& req, const std::string& csrf_cookie) {
    std::map<std::string, std::string> form;
    const PageFrame frame{config_.service};
    if (!parse_urlencoded(req.body, form))
        return page(400, message_page(frame, "无法处理请求", kBadForm));
    if (!csrf_ok(csrf_cookie, form["csrf"]))
        return page(403, message_page(frame, "安全校验失败", kNoCookie));
    const std::string account = form["account"];
    const std::string email = form["email"];
    // Not shown again: it could not be written into a UTF-8 page as it is.
    if (!valid_utf8(account) || !valid_utf8(email))
        return request_form(csrf_cookie, kNotUtf8, "", "", 400);
    if (trim(account).empty() || trim(email).empty())
        return request_form(csrf_cookie, kFillBoth, account, email, 400);
    // The same answer whatever follows: names and addresses that no account can
    // have (too long, or not GBK) simply match nothing.
    const std::optional<std::string> gbk_account = utf8_to_gbk(account);
    const std::optional<std::string> gbk_email = utf8_to_gbk(email);
    if (gbk_account && gbk_email && account.size() <= kMaxAccountBytes &&
        email.size() <= kMaxEmailBytes) {
        // The account as it was asked for: whether it exists is not the answer's, nor
        // the record's, to say.
        if (events)
            events->record(
                NewEvent{now_seconds(), event::kRecoveryRequested, *gbk_account, req.client, ""});
        if (!post([this, a = *gbk_account, e = *gbk_email] { mail_link(a, e); }))
            log_warning("recovery: queue full, a request for a link dropped", "recovery");
    }
    return page(200, reset_sent_page(frame, (config_.link_seconds + 59) / 60));
}

Response Recovery::link_page(const Request& req, const std::string& token, bool is_post,
                             const std::string& csrf_cookie) {
    const PageFrame frame{config_.service};
    std::string bytes;
    const bool well_formed = from_base64url(token, bytes) && bytes.size() == kTokenBytes;
    const std::string hash = sha256(token);
    const int64_t now = now_seconds();
    LinkUse use;
    if (well_formed)
        use = store_.find_reset_link(hash, now);
    auto refused = [&](LinkState state) {
        const char* why = state == LinkState::Used       ? kLinkUsed
                          : state == LinkState::Replaced ? kLinkReplaced
                          : state == LinkState::Expired  ? kLinkExpired
                                                         : kLinkUnknown;
        return page(state == LinkState::Unknown ? 404 : 410,
                    message_page(frame, "链接不可用", why));
    };
    if (use.state != LinkState::Live)
        return refused(use.state);
    const std::string account = utf8_of(use.account);
    auto again = [&](const std::string& error) {
        return page(400, new_password_page(frame, csrf_for(csrf_cookie), std::string(req.path),
                                           account, error));
    };
    if (!is_post)
        return page(200, new_password_page(frame, csrf_for(csrf_cookie), std::string(req.path),
                                           account, ""));
    // A bad link is said first: nothing of the form matters then.
    std::map<std::string, std::string> form;
    if (!parse_urlencoded(req.body, form))
        return page(400, message_page(frame, "无法处理请求", kBadForm));
    if (!csrf_ok(csrf_cookie, form["csrf"]))
        return page(403, message_page(frame, "安全校验失败", kNoCookie, std::string(req.path)));

    const std::string& password = form["password"];
    if (password.size() > kMaxPasswordBytes)
        return again(kPasswordLength);
    const std::optional<std::string> gbk_password = utf8_to_gbk(password);
    if (!gbk_password)
        return again(valid_utf8(password) ? kPasswordNotGbk : kNotUtf8);
    for (unsigned char c : password) {
        if (c < 0x20 || c == 0x7F)
            return again(kPasswordControl);
    }
    if (!valid_credential(*gbk_password))
        return again(kPasswordLength);
    if (password != form["again"])
        return again(kPasswordsDiffer);
    if (const Refusal why =
            passwords ? passwords->check(*gbk_password, use.account) : Refusal::None;
        why != Refusal::None) {
        if (metrics)
            metrics->password_refused(why);
        return again(refusal_text(why));
    }
    use = store_.reset_password(hash, *gbk_password, now);
    if (use.state != LinkState::Live)
        return refused(use.state);
    if (metrics)
        metrics->password_reset();
    log_info(req.client + " recovery: password reset for u=" + printable(use.account), "recovery");
    if (events)
        events->record(
            NewEvent{now_seconds(), event::kRecoveryCompleted, use.account, req.client, ""});
    password_changed(use.account, req.client);
    return page(200, reset_done_page(frame));
}

Response Recovery::handle(const Request& req, bool exempt) {
    const bool get = req.method == "GET" || req.method == "HEAD";
    const bool post = req.method == "POST";
    const PageFrame frame{config_.service};
    if (get && req.path == kStylesheetPath) {
        Response res = page(200, stylesheet());
        res.content_type = "text/css; charset=utf-8";
        return res;
    }
    const bool form = req.path == kFormPath;
    const bool link = req.path.rfind(kLinkPrefix, 0) == 0 && req.path.size() > sizeof kLinkPrefix;
    if (!form && !link) {
        Response res = page(404, message_page(frame, "找不到该页面", "找不到该页面。"));
        return res;
    }
    if (!get && !post) {
        Response res = page(405, message_page(frame, "无法处理请求", kBadForm));
        res.headers.emplace_back("Allow", "GET, HEAD, POST");
        return res;
    }
    if (req.kind == Request::Kind::BodyTooLarge) {
        Response res = page(413, message_page(frame, "无法处理请求", kTooLarge));
        res.close = true;
        return res;
    }
    if ((post || link) && !exempt && !req.client_key.empty() &&
        !budget_->allow(req.client_key, monotonic_ms()))
        return page(429, message_page(frame, "请稍后再试", kTooMany));

    // The form's cookie: the one the browser sent, or a new one with this answer.
    const std::vector<std::string> sent = cookie_values(req.header("Cookie"), kCookieName, 1);
    std::string cookie = sent.empty() ? std::string() : sent.front();
    std::string ignored;
    std::string set_cookie;
    if (cookie.size() != 43 || !from_base64url(cookie, ignored)) {
        cookie.clear();
        if (get) {
            cookie = base64url(random_bytes(kTokenBytes));
            set_cookie = form_cookie(cookie, req.over_tls);
        }
    }
    Response res;
    try {
        if (form)
            res = post ? post_request(req, cookie) : request_form(cookie, "", "", "", 200);
        else
            res =
                link_page(req, std::string(req.path.substr(sizeof kLinkPrefix - 1)), post, cookie);
    } catch (const std::exception& e) {
        log_error(req.client + " recovery: " + e.what(), "recovery");
        res = page(500, message_page(frame, "服务器错误", "服务器暂时无法处理请求，请稍后再试。"));
    }
    if (!set_cookie.empty())
        res.headers.emplace_back("Set-Cookie", set_cookie);
    return res;
}

} // namespace server
