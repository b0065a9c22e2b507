#include "store/sql_store.h"

#include "store/schema.h"

#include <climits>
#include <stdexcept>

namespace server {

using sql::bytes;
using sql::integer;

namespace {

// Texts that differ between the dialects, SQLite's first. PostgreSQL locks the rows it
// reads for a change (SQLite's transaction holds the whole file), finds passwords by
// their header through an index on `substring`, and orders devices by their sequence.
const char* const kAccountsExist[2] = {
    "SELECT 1 FROM sqlite_master WHERE type = 'table' AND name = 'accounts'",
    "SELECT 1 WHERE to_regclass('accounts') IS NOT NULL"};
const char* const kVersionsExist[2] = {
    "SELECT 1 FROM sqlite_master WHERE type = 'table' AND name = 'schema_version'",
    "SELECT 1 WHERE to_regclass('schema_version') IS NOT NULL"};
const char* const kSomePlain[2] = {
    "SELECT 1 FROM accounts WHERE substr(password, 1, 9) >= ? LIMIT 1",
    "SELECT 1 FROM accounts WHERE substring(password from 1 for 9) >= ? LIMIT 1"};
const char* const kSomeSealed[2] = {
    "SELECT 1 FROM accounts WHERE substr(password, 1, 9) > ? AND substr(password, 1, 9) < ?"
    " LIMIT 1",
    "SELECT 1 FROM accounts WHERE substring(password from 1 for 9) > ?"
    " AND substring(password from 1 for 9) < ? LIMIT 1"};
const char* const kSomeOfKey[2] = {
    "SELECT name, password FROM accounts WHERE substr(password, 1, 9) = ? LIMIT 8",
    "SELECT name, password FROM accounts WHERE substring(password from 1 for 9) = ? LIMIT 8"};
const char* const kPlainRows[2] = {
    "SELECT name, password FROM accounts WHERE substr(password, 1, 9) >= ?",
    "SELECT name, password FROM accounts WHERE substring(password from 1 for 9) >= ?"};
const char* const kNotUnderKey[2] = {
    "SELECT COUNT(*) FROM accounts WHERE substr(password, 1, 9) IS DISTINCT FROM ?",
    "SELECT COUNT(*) FROM accounts WHERE substring(password from 1 for 9) IS DISTINCT FROM ?"};
const char* const kAccountForCheck[2] = {
    "SELECT password, failures, locked_until FROM accounts WHERE name = ?",
    "SELECT password, failures, locked_until FROM accounts WHERE name = ? FOR UPDATE"};
const char* const kDropOldDevices[2] = {
    "DELETE FROM devices WHERE account = ? AND id NOT IN (SELECT id FROM devices"
    " WHERE account = ? ORDER BY last_success DESC, rowid DESC LIMIT ?)",
    "DELETE FROM devices WHERE account = ? AND id NOT IN (SELECT id FROM devices"
    " WHERE account = ? ORDER BY last_success DESC, seq DESC LIMIT ?)"};
const char* const kDevices[2] = {
    "SELECT id, last_success, failures, locked_until FROM devices WHERE account = ?"
    " ORDER BY last_success DESC, rowid DESC",
    "SELECT id, last_success, failures, locked_until FROM devices WHERE account = ?"
    " ORDER BY last_success DESC, seq DESC"};
const char* const kRekeyRows[2] = {
    "SELECT name, password FROM accounts WHERE name > ? ORDER BY name LIMIT ?",
    "SELECT name, password FROM accounts WHERE name > ? ORDER BY name LIMIT ? FOR UPDATE"};

// Sealed rows start with a byte below 0x20, plain-text ones at or above it (secrets.h).
const std::string kPlainFrom = " ";

AccountInfo account_from(SqlRows& row) {
    AccountInfo a;
    a.name = row.bytes(0);
    a.email = row.bytes(1);
    a.created = row.integer(2);
    a.failures = row.integer(3);
    a.locked_until = row.integer(4);
    return a;
}

} // namespace

SqlStore::SqlStore(std::unique_ptr<Database> db, const StoreConfig& config)
    : db_(std::move(db)), postgres_(db_->dialect().postgres),
      keys_(config.keys ? config.keys : std::make_shared<const Keyring>()), notice_(config.notice),
      lifetime_(config.challenge_seconds) {
    if (!db_->dialect().challenges_in_table)
        memory_challenges_ = std::make_unique<ChallengeStore>(
            config.max_challenges, kChallengesPerAsker, config.challenge_seconds);
}

std::string SqlStore::start() {
    SqlLease c = db_->lease();
    // Read before anything is written: a refused database stays as it was.
    std::string refused = key_mismatch(survey(*c), *keys_);
    if (!refused.empty())
        return refused;
    migrate(*c);
    return std::string();
}

// Read only: runs on a database of any schema version (or none), before migrate().
PasswordSurvey SqlStore::survey(SqlConnection& c) {
    PasswordSurvey out;
    if (!c.query(pick(kAccountsExist))->next())
        return out;
    out.any_plain = c.query(pick(kSomePlain), {bytes(kPlainFrom)})->next();
    out.any_sealed = c.query(pick(kSomeSealed), {bytes(""), bytes(kPlainFrom)})->next();
    for (const std::string& header : keys_->headers()) {
        auto some = c.query(pick(kSomeOfKey), {bytes(header)});
        while (!out.opened && some->next()) {
            try {
                keys_->open(some->bytes(0), some->bytes(1));
                out.opened = true;
            } catch (const UnreadablePassword&) {
            }
        }
    }
    return out;
}

// The steps the database lacks, in one transaction under the backend's schema lock, so
// instances starting together migrate once; plain-text rows (from before a key was
// given) are sealed in it too, so they are sealed once.
void SqlStore::migrate(SqlConnection& c) {
    size_t latest = 0;
    const SchemaStep* steps = schema_steps(latest);
    auto version_of = [&] {
        auto v = c.query("SELECT COALESCE(MAX(version), 0) FROM schema_version");
        return v->next() ? v->integer(0) : 0;
    };
    auto refuse_newer = [&](int64_t version) {
        if (version > static_cast<int64_t>(latest))
            throw std::runtime_error("the database was made by a newer server (schema version " +
                                     std::to_string(version) + ")");
    };
    // Before anything is written (even the journal mode): a newer server's database is
    // left as it is.
    if (c.query(pick(kVersionsExist))->next())
        refuse_newer(version_of());
    db_->before_schema(c);
    size_t sealed = 0;
    {
        SqlTransaction tx(c);
        db_->lock_schema(c);
        c.script("CREATE TABLE IF NOT EXISTS schema_version (version INTEGER NOT NULL)");
        const int64_t version = version_of();
        refuse_newer(version);
        for (size_t v = static_cast<size_t>(version); v < latest; ++v) {
            const char* text = steps[v].text(postgres_);
            const bool done =
                !postgres_ && steps[v].sqlite_done_if && c.query(steps[v].sqlite_done_if)->next();
            if (text && !done)
                c.script(text);
        }
        if (version < static_cast<int64_t>(latest)) {
            c.exec("DELETE FROM schema_version");
            c.exec("INSERT INTO schema_version (version) VALUES (?)",
                   {integer(static_cast<int64_t>(latest))});
        }
        if (db_->dialect().single_process)
            c.exec("UPDATE mails SET lease_until = 0 WHERE state = ? AND lease_until <> 0",
                   {integer(MailInfo::Queued)});
        if (keys_->encrypts())
            sealed = seal_plain_passwords(c);
        tx.commit();
    }
    if (sealed != 0) {
        const std::string how = db_->after_sealing(c, sealed);
        if (notice_)
            notice_("sealed " + std::to_string(sealed) + " plain-text passwords under key " +
                    keys_->current_id() + "; " + how);
    }
}

size_t SqlStore::seal_plain_passwords(SqlConnection& c) {
    std::vector<std::pair<std::string, std::string>> plain;
    {
        auto rows = c.query(pick(kPlainRows), {bytes(kPlainFrom)});
        while (rows->next())
            plain.emplace_back(rows->bytes(0), rows->bytes(1));
    }
    for (const auto& row : plain) // a plain row is the password itself
        c.exec("UPDATE accounts SET password = ? WHERE name = ?",
               {bytes(keys_->seal(row.first, row.second)), bytes(row.first)});
    return plain.size();
}

// The account's row (PostgreSQL: locked to the end of the transaction, so failures at
// two instances at once are both counted) and the device's, on the counter the attempt
// is counted on.
CheckResult SqlStore::check_locked(SqlConnection& c, const std::string& name, const Attempt& who,
                                   int64_t now, const std::function<bool(const Secret&)>& matches,
                                   const LockPolicy& policy) {
    auto row = c.query(pick(kAccountForCheck), {bytes(name)});
    if (!row->next())
        return CheckResult();
    const std::string stored = row->bytes(0);
    int64_t failures = row->integer(1);
    int64_t locked_until = row->integer(2);
    row.reset();
    bool known = false;
    if (!who.device.empty()) {
        auto device = c.query("SELECT failures, locked_until FROM devices"
                              " WHERE account = ? AND id = ?",
                              {bytes(name), bytes(who.device)});
        if (device->next()) {
            known = true;
            failures = device->integer(0);
            locked_until = device->integer(1);
        }
    }
    const int64_t failures_before = failures;
    const int64_t locked_before = locked_until;
    CheckResult r = judge_attempt(
        failures, locked_until, known, now, [&] { return matches(keys_->open(name, stored)); },
        policy);
    const bool changed = failures != failures_before || locked_until != locked_before;
    if (known && (r.verdict == Verdict::Ok || changed))
        c.exec("UPDATE devices SET failures = ?, locked_until = ?,"
               " last_success = CASE WHEN ? <> 0 THEN ? ELSE last_success END"
               " WHERE account = ? AND id = ?",
               {integer(failures), integer(locked_until), integer(r.verdict == Verdict::Ok),
                integer(now), bytes(name), bytes(who.device)});
    else if (!known && changed)
        c.exec("UPDATE accounts SET failures = ?, locked_until = ? WHERE name = ?",
               {integer(failures), integer(locked_until), bytes(name)});
    if (r.verdict == Verdict::Ok && known) {
        r.device = who.device;
    } else if (r.verdict == Verdict::Ok && !who.new_device.empty()) {
        c.exec("INSERT INTO devices (account, id, last_success) VALUES (?, ?, ?)",
               {bytes(name), bytes(who.new_device), integer(now)});
        c.exec(pick(kDropOldDevices), {bytes(name), bytes(name), integer(policy.max_devices)});
        r.device = who.new_device;
    }
    return r;
}

CheckResult SqlStore::check_password(const std::string& name, const Attempt& who, int64_t now,
                                     const std::function<bool(const Secret&)>& matches,
                                     const LockPolicy& policy) {
    SqlLease c = db_->lease();
    SqlTransaction tx(*c);
    CheckResult r = check_locked(*c, name, who, now, matches, policy);
    tx.commit();
    return r;
}

CheckResult SqlStore::change_password(const std::string& name, const Attempt& who,
                                      const std::string& old_password,
                                      const std::string& new_password, int64_t now,
                                      const LockPolicy& policy) {
    SqlLease c = db_->lease();
    SqlTransaction tx(*c);
    CheckResult r = check_locked(
        *c, name, who, now, [&](const Secret& stored) { return stored.equals(old_password); },
        policy);
    if (r.verdict == Verdict::Ok)
        write_password(*c, name, new_password);
    tx.commit();
    return r;
}

void SqlStore::write_password(SqlConnection& c, const std::string& name,
                              const std::string& password) {
    c.exec("UPDATE accounts SET password = ? WHERE name = ?",
           {bytes(keys_->seal(name, password)), bytes(name)});
}

std::vector<DeviceRecord> SqlStore::devices(const std::string& name) {
    SqlLease c = db_->lease();
    auto rows = c->query(pick(kDevices), {bytes(name)});
    std::vector<DeviceRecord> out;
    while (rows->next())
        out.push_back(
            DeviceRecord{rows->bytes(0), rows->integer(1), rows->integer(2), rows->integer(3)});
    return out;
}

int64_t SqlStore::forget_devices(const std::string& name) {
    return db_->lease()->exec("DELETE FROM devices WHERE account = ?", {bytes(name)});
}

bool SqlStore::unlock(const std::string& name) {
    SqlLease c = db_->lease();
    SqlTransaction tx(*c);
    if (c->exec("UPDATE accounts SET failures = 0, locked_until = 0 WHERE name = ?",
                {bytes(name)}) == 0)
        return false;
    c->exec("UPDATE devices SET failures = 0, locked_until = 0 WHERE account = ?", {bytes(name)});
    tx.commit();
    return true;
}

int64_t SqlStore::account_count() {
    SqlLease c = db_->lease();
    auto rows = c->query("SELECT COUNT(*) FROM accounts");
    return rows->next() ? rows->integer(0) : 0;
}

std::optional<AccountInfo> SqlStore::find_account(const std::string& name) {
    SqlLease c = db_->lease();
    auto row = c->query("SELECT name, email, created, failures, locked_until FROM accounts"
                        " WHERE name = ?",
                        {bytes(name)});
    if (!row->next())
        return std::nullopt;
    return account_from(*row);
}

std::vector<AccountInfo> SqlStore::list_accounts(bool locked_only, int64_t now) {
    SqlLease c = db_->lease();
    auto rows = c->query("SELECT name, email, created, failures, locked_until FROM accounts"
                         " WHERE locked_until > ? ORDER BY name",
                         {integer(locked_only ? now : INT64_MIN)});
    std::vector<AccountInfo> out;
    while (rows->next())
        out.push_back(account_from(*rows));
    return out;
}

bool SqlStore::delete_account(const std::string& name) {
    SqlLease c = db_->lease();
    SqlTransaction tx(*c);
    drop_challenges(*c, name);
    c->exec("DELETE FROM devices WHERE account = ?", {bytes(name)});
    c->exec("DELETE FROM reset_links WHERE account = ?", {bytes(name)});
    const bool found = c->exec("DELETE FROM accounts WHERE name = ?", {bytes(name)}) == 1;
    tx.commit();
    return found;
}

// The rows stay locked to the commit (PostgreSQL; SQLite's transaction holds the file),
// so a password change waits for it and is then sealed under the current key by its
// own writer.
RekeyStep SqlStore::rekey_step(std::string& after, size_t limit) {
    SqlLease c = db_->lease();
    SqlTransaction tx(*c);
    const std::string current = keys_->current_header();
    std::vector<std::pair<std::string, std::string>> rows;
    {
        auto list =
            c->query(pick(kRekeyRows), {bytes(after), integer(static_cast<int64_t>(limit))});
        while (list->next())
            rows.emplace_back(list->bytes(0), list->bytes(1));
    }
    RekeyStep step;
    std::string last = after; // moved on only once the step is committed
    for (const auto& row : rows) {
        ++step.examined;
        last = row.first;
        if (!current.empty() && row.second.compare(0, current.size(), current) == 0)
            continue;
        std::string sealed;
        try {
            sealed = keys_->seal(row.first, keys_->open(row.first, row.second).view());
        } catch (const UnreadablePassword&) {
            step.unreadable.push_back(row.first);
            continue;
        }
        c->exec("UPDATE accounts SET password = ? WHERE name = ?",
                {bytes(sealed), bytes(row.first)});
        ++step.resealed;
    }
    tx.commit();
    after = last;
    return step;
}

int64_t SqlStore::count_not_under_current_key() {
    SqlLease c = db_->lease();
    auto rows = c->query(pick(kNotUnderKey), {bytes(keys_->current_header())});
    return rows->next() ? rows->integer(0) : 0;
}

} // namespace server
