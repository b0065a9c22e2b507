#include "store/store.h"

#include "store/postgres/postgres_database.h"
#include "store/sql_store.h"
#include "store/sqlite/sqlite_database.h"

#include <exception>

namespace server {

bool is_postgres_uri(const std::string& where) {
    return where.rfind("postgresql://", 0) == 0 || where.rfind("postgres://", 0) == 0;
}

std::unique_ptr<Store> Store::open(const StoreConfig& config, std::string& error) {
    const bool postgres = is_postgres_uri(config.where);
    if (postgres) {
        const std::string warning = database_transport_warning(config.where);
        if (!warning.empty() && config.notice)
            config.notice(warning);
    }
    std::unique_ptr<Database> db =
        postgres ? open_postgres_database(config.where, config.pool_size, error)
                 : open_sqlite_database(config.where, error);
    if (!db)
        return nullptr;
    auto store = std::make_unique<SqlStore>(std::move(db), config);
    try {
        error = store->start();
        if (error.empty() && postgres && config.notice) {
            SqlLease c = store->database().lease();
            for (const std::string& line : durability_warnings(*c))
                config.notice(line);
        }
    } catch (const std::exception& e) {
        error = e.what();
    }
    if (!error.empty())
        return nullptr;
    return store;
}

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
