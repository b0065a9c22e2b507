#include "store/store.h"

namespace server {

bool open_mail_text(OutgoingMail& mail, const std::shared_ptr<const Keyring>& keys,
                    const std::function<void(const std::string&)>& notice) {
    try {
        mail.subject = keys->open_mail_text(mail.message_id, mail.subject);
        mail.body = keys->open_mail_text(mail.message_id, mail.body);
        return true;
    } catch (const UnreadablePassword& e) {
        if (notice)
            notice("mail " + std::to_string(mail.id) + " abandoned: its text " + e.what());
        return false;
    }
}

} // namespace server
