#include "mail/mail_sender.h"

#include "base/clock.h"
#include "base/log.h"
#include "base/worker.h"

#include <algorithm>
#include <chrono>
#include <exception>

namespace server {

int64_t retry_delay(int failures, const SenderConfig& config) {
    int64_t delay = config.first_retry;
    for (int i = 1; i < failures && delay < config.longest_retry; ++i)
        delay *= 2;
    return std::min(delay, config.longest_retry);
}

MailSender::MailSender(Store& store, MailTransport& transport, SenderConfig config)
    : store_(store), transport_(transport), config_(config) {}

void MailSender::start() {
    thread_ = start_worker("the mail sender", [this] { run(); });
}

void MailSender::stop() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stopping_ = true;
    }
    transport_.cancel();
    changed_.notify_all();
    if (thread_.joinable())
        thread_.join();
}

void MailSender::wake() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        woken_ = true;
    }
    changed_.notify_all();
}

void MailSender::run() {
    std::unique_lock<std::mutex> lock(mutex_);
    while (!stopping_) {
        woken_ = false;
        lock.unlock();
        int64_t wait = config_.poll_seconds;
        try {
            drain();
            const int64_t due = store_.next_mail_due();
            if (due != 0)
                wait = std::max<int64_t>(0, std::min(wait, due - now_seconds()));
        } catch (const std::exception& e) {
            log_error(std::string("mail queue: ") + e.what());
        }
        lock.lock();
        if (wait > 0 && !stopping_ && !woken_ &&
            !changed_.wait_for(lock, std::chrono::seconds(wait),
                               [this] { return stopping_ || woken_; })) {
            // Nothing came: the relay need not keep a connection open for us.
            lock.unlock();
            transport_.close();
            lock.lock();
        }
    }
}

void MailSender::drain() {
    for (;;) {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            if (stopping_)
                return;
        }
        const int64_t now = now_seconds();
        OutgoingMail mail;
        if (!store_.claim_mail(now, now + config_.lease_seconds, mail))
            return;
        const std::string what = "mail " + std::to_string(mail.id) + " (" + mail.kind + ") to " +
                                 address_domain(mail.recipient) + ", attempt " +
                                 std::to_string(mail.attempts + 1);
        if (now >= mail.expires) {
            store_.finish_mail(mail.id, MailEnd::Expired);
            counts_.abandoned.fetch_add(1, std::memory_order_relaxed);
            log_warning(what + ": abandoned, it expired before it could be sent");
            continue;
        }
        const SendResult a = transport_.send(mail);
        counts_.attempts.fetch_add(1, std::memory_order_relaxed);
        const std::string reply =
            a.reply ? "reply " + std::to_string(a.reply) : std::string("no reply");
        if (a.outcome == SendResult::Sent) {
            store_.finish_mail(mail.id, MailEnd::Sent);
            counts_.sent.fetch_add(1, std::memory_order_relaxed);
            log_info(what + ": sent (" + reply + ")");
            continue;
        }
        const int64_t next = now_seconds() + retry_delay(mail.attempts + 1, config_);
        if (a.outcome == SendResult::Abandon || next >= mail.expires) {
            store_.finish_mail(mail.id, MailEnd::Refused);
            counts_.abandoned.fetch_add(1, std::memory_order_relaxed);
            log_warning(what + ": abandoned (" + reply + ": " + a.detail + ")" +
                        (a.outcome == SendResult::Abandon
                             ? "; once the cause is mended, tarnix-server admin mail retry " +
                                   std::to_string(mail.id) + " sends it again"
                             : ", it expires before another attempt"));
            continue;
        }
        store_.retry_mail(mail.id, next);
        log_warning(what + ": failed (" + reply + ": " + a.detail + "), next attempt in " +
                    std::to_string(next - now_seconds()) + " s");
    }
}

} // namespace server
