#include "web/recovery_mail.h"

#include "base/charset.h"
#include "base/clock.h"
#include "base/log.h"
#include "store/store.h"

#include <exception>
#include <stdexcept>

namespace server {
const std::vector<std::string>& notice_kinds() {
    static const std::vector<std::string> kinds = {"reset", "changed", "locked", "new-device",
                                                   "audit"};
    return kinds;
}

const std::vector<std::string>& notice_template_names(const std::string& kind) {
    static const std::vector<std::string> reset = {"service", "account", "link", "minutes"};
    static const std::vector<std::string> changed = {"service", "account", "time", "address",
                                                     "reset_page"};
    static const std::vector<std::string> locked = {"service", "account", "until", "reset_page"};
    if (kind == "reset")
        return reset;
    static const std::vector<std::string> audit = {"service", "account", "reason", "link", "hours"};
    if (kind == "changed" || kind == "new-device")
        return changed;
    if (kind == "audit")
        return audit;
    if (kind == "locked")
        return locked;
    throw std::invalid_argument("no mail kind " + kind);
}

MailTemplate builtin_notice(const std::string& kind) {
    MailTemplate t;
    if (kind == "reset") {
        t.subject = "{service}密码重置";
        t.body = "您好！\n"
                 "\n"
                 "有人为您在{service}的账号 {account} "
                 "申请了重置密码。请在{minutes}分钟内打开下面的链接，"
                 "设置新密码：\n"
                 "\n"
                 "{link}\n"
                 "\n"
                 "链接只能使用一次；再次申请后，之前的链接随即失效。\n"
                 "如果这不是您本人的操作，请忽略本邮件，您的密码不会改变。\n"
                 "\n"
                 "此邮件由系统自动发出，请勿回复。\n"
                 "{service}\n";
    } else if (kind == "changed") {
        t.subject = "您的Tarnix账号密码已修改";
        t.body = "您好！\n"
                 "\n"
                 "您在{service}的账号 {account} 的密码已于 {time} 修改（来自地址 {address}）。\n"
                 "\n"
                 "如果这是您本人的操作，请忽略本邮件。\n"
                 "如果不是，请立即通过下面的页面重置密码：\n"
                 "\n"
                 "{reset_page}\n"
                 "\n"
                 "此邮件由系统自动发出，请勿回复。\n"
                 "{service}\n";
    } else if (kind == "locked") {
        t.subject = "您的Tarnix账号已被锁定";
        t.body = "您好！\n"
                 "\n"
                 "您在{service}的账号 {account} 因多次输入错误的密码已被锁定，"
                 "在 {until} 之前无法登录。\n"
                 "\n"
                 "如果是您本人忘记了密码，可以通过下面的页面重置密码：\n"
                 "\n"
                 "{reset_page}\n"
                 "\n"
                 "如果不是您本人的操作，说明有人在尝试您的密码；锁定结束后请尽快修改密码。\n"
                 "\n"
                 "此邮件由系统自动发出，请勿回复。\n"
                 "{service}\n";
    } else if (kind == "new-device") {
        t.subject = "您的Tarnix账号在新设备上登录";
        t.body = "您好！\n"
                 "\n"
                 "您在{service}的账号 {account} 于 {time} 在一台新设备上登录（来自地址 "
                 "{address}）。\n"
                 "\n"
                 "如果这是您本人的操作，请忽略本邮件。\n"
                 "如果不是，说明有人知道您的密码：请立即通过下面的页面重置密码：\n"
                 "\n"
                 "{reset_page}\n"
                 "\n"
                 "此邮件由系统自动发出，请勿回复。\n"
                 "{service}\n";
    } else if (kind == "audit") {
        t.subject = "请修改您的Tarnix账号密码";
        t.body = "您好！\n"
                 "\n"
                 "我们检查了{service}账号 {account} 的密码，发现它不够安全：{reason}。\n"
                 "为了您的账号安全，请在{hours}小时内打开下面的链接设置新密码：\n"
                 "\n"
                 "{link}\n"
                 "\n"
                 "链接只能使用一次；过期后可以在登录页面申请新的链接。\n"
                 "\n"
                 "此邮件由系统自动发出，请勿回复。\n"
                 "{service}\n";
    } else {
        throw std::invalid_argument("no mail kind " + kind);
    }
    return t;
}

SendMail make_notice_sender(Store& store, NoticeMailing mailing) {
    return [&store,
            mailing = std::move(mailing)](const std::string& kind, const std::string& recipient,
                                          const std::map<std::string, std::string>& values) {
        const std::optional<std::string> to = gbk_to_utf8(recipient);
        if (!to || !acceptable_address(recipient)) {
            log_warning("recovery: no " + kind + " mail: the bound address " +
                        printable(recipient) + " cannot be mailed");
            return;
        }
        auto custom = mailing.templates.find(kind);
        const MailTemplate text =
            custom != mailing.templates.end() ? custom->second : builtin_notice(kind);
        const int64_t now = now_seconds();
        OutgoingMail mail;
        mail.kind = kind;
        mail.recipient = *to;
        mail.subject = text.render_subject(values);
        mail.body = text.render_body(values);
        mail.message_id = new_message_id(mailing.message_domain, now);
        mail.created = now;
        // A notice is worth sending for a day; a link only while it works.
        mail.expires = now + (kind == "reset" ? mailing.link_seconds : kDaySeconds);
        auto link = values.find("link");
        mail.file_line = local_time_text(now) + "\t" + recipient + "\t" + kind + "\t" +
                         (link != values.end() ? link->second : std::string()) + "\n";
        try {
            MailTransport& transport = *mailing.transport;
            if (transport.immediate()) {
                const SendResult sent = transport.send(mail);
                if (sent.outcome == SendResult::Sent)
                    log_info("recovery: " + kind + " mail written to the outbox for " +
                             printable(recipient));
                else
                    log_error("recovery: " + kind + " mail not written: " + sent.detail);
                return;
            }
            mail.id = store.enqueue_mail(mail);
            if (mailing.queued)
                mailing.queued();
            log_info("recovery: " + kind + " mail queued: mail " + std::to_string(mail.id) +
                     " to " + printable(address_domain(recipient)));
        } catch (const std::exception& e) {
            log_error("recovery: " + kind + " mail not queued: " + e.what());
        }
    };
}

} // namespace server
