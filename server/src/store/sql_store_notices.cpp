// What the notices to an account's owner ask of the store, in its one body.
#include "base/charset.h"
#include "store/sql_store.h"

#include <openssl/crypto.h>

namespace server {

using sql::bytes;
using sql::integer;
using sql::text;

bool SqlStore::mark_signed_in(const std::string& name) {
    SqlLease c = db_->lease();
    return c->exec("UPDATE accounts SET signed_in = 1 WHERE name = ? AND signed_in = 0",
                   {bytes(name)}) > 0;
}

int64_t SqlStore::mails_since(const std::string& recipient, const std::string& kind,
                              int64_t since) {
    SqlLease c = db_->lease();
    auto rows = c->query("SELECT COUNT(*) FROM mails WHERE recipient_key = ? AND kind = ?"
                         " AND created > ?",
                         {bytes(fold_address_utf8(recipient)), text(kind), integer(since)});
    return rows->next() ? rows->integer(0) : 0;
}

size_t
SqlStore::visit_passwords(std::string& after, size_t limit,
                          const std::function<void(const AccountInfo&, const Secret&)>& visit,
                          std::vector<std::string>& unreadable) {
    std::vector<std::pair<AccountInfo, std::string>> rows;
    {
        SqlLease c = db_->lease();
        auto list = c->query("SELECT name, email, created, failures, locked_until, password"
                             " FROM accounts WHERE name > ? ORDER BY name LIMIT ?",
                             {bytes(after), integer(static_cast<int64_t>(limit))});
        while (list->next()) {
            AccountInfo a;
            a.name = list->bytes(0);
            a.email = list->bytes(1);
            a.created = list->integer(2);
            a.failures = list->integer(3);
            a.locked_until = list->integer(4);
            rows.emplace_back(std::move(a), list->bytes(5));
        }
    }
    // Opened after the connection is given back: the checks may take a while.
    for (auto& row : rows) {
        after = row.first.name;
        try {
            const Secret password = keys_->open(row.first.name, row.second);
            visit(row.first, password);
        } catch (const UnreadablePassword&) {
            unreadable.push_back(row.first.name);
        }
        // The sealed copy is no secret, but a plain-text row is: wiped either way.
        OPENSSL_cleanse(row.second.data(), row.second.size());
    }
    return rows.size();
}

bool SqlStore::note_audit_notice(const std::string& account, const std::string& corpus,
                                 int64_t now) {
    SqlLease c = db_->lease();
    return c->exec("INSERT INTO audit_notices (account, corpus, at) VALUES (?, ?, ?)"
                   " ON CONFLICT DO NOTHING",
                   {bytes(account), text(corpus), integer(now)}) > 0;
}

} // namespace server
