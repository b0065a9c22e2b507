#include "store/schema.h"

namespace server {
namespace {

// Steps 1 to 6 create what older servers made, as each dialect spelled it: SQLite's
// IF NOT EXISTS serves files from before the version table, PostgreSQL's a database
// put back to an older version by hand.
const SchemaStep kSteps[] = {
    // 1: accounts and the codes sent to addresses (SQLite's count of sign-ups per code
    // came later, as step 2).
    {"CREATE TABLE IF NOT EXISTS accounts ("
     " name BLOB PRIMARY KEY,"
     " password BLOB NOT NULL,"
     " email BLOB NOT NULL,"
     " created INTEGER NOT NULL,"
     " failures INTEGER NOT NULL DEFAULT 0,"
     " locked_until INTEGER NOT NULL DEFAULT 0);"
     "CREATE TABLE IF NOT EXISTS codes ("
     " email BLOB NOT NULL,"
     " code TEXT NOT NULL,"
     " created INTEGER NOT NULL);"
     "CREATE INDEX IF NOT EXISTS codes_by_email ON codes(email, created);",
     "CREATE TABLE accounts ("
     " name BYTEA PRIMARY KEY,"
     " password BYTEA NOT NULL,"
     " email BYTEA NOT NULL,"
     " created BIGINT NOT NULL,"
     " failures INTEGER NOT NULL DEFAULT 0,"
     " locked_until BIGINT NOT NULL DEFAULT 0);"
     "CREATE TABLE codes ("
     " id BIGSERIAL PRIMARY KEY,"
     " email BYTEA NOT NULL,"
     " code TEXT NOT NULL,"
     " created BIGINT NOT NULL,"
     " attempts INTEGER NOT NULL DEFAULT 0);"
     "CREATE INDEX codes_by_email ON codes(email, created);"},
    // 2: SQLite: sign-up attempts per code (files from before the version table may
    // have the column already). PostgreSQL: challenges, one per account; still used by
    // instances of servers before step 8 during a rolling upgrade.
    {"ALTER TABLE codes ADD COLUMN attempts INTEGER NOT NULL DEFAULT 0",
     "CREATE TABLE challenges ("
     " account BYTEA PRIMARY KEY,"
     " text BYTEA NOT NULL,"
     " expires BIGINT NOT NULL);"
     "CREATE INDEX challenges_by_expiry ON challenges(expires);",
     "SELECT 1 FROM pragma_table_info('codes') WHERE name = 'attempts'"},
    // 3: devices that signed in to an account, each with its own failure count; the
    // account's own failures and lock are those of clients it does not know.
    {"CREATE TABLE devices ("
     " account BLOB NOT NULL,"
     " id BLOB NOT NULL,"
     " last_success INTEGER NOT NULL,"
     " failures INTEGER NOT NULL DEFAULT 0,"
     " locked_until INTEGER NOT NULL DEFAULT 0,"
     " PRIMARY KEY (account, id))",
     "CREATE TABLE devices ("
     " account BYTEA NOT NULL,"
     " id BYTEA NOT NULL,"
     " last_success BIGINT NOT NULL,"
     " failures INTEGER NOT NULL DEFAULT 0,"
     " locked_until BIGINT NOT NULL DEFAULT 0,"
     " seq BIGSERIAL,"
     " PRIMARY KEY (account, id));"},
    // 4: passwords by their format and key (secrets.h): finds the plain-text rows and
    // the rows of a key without reading every row.
    {"CREATE INDEX IF NOT EXISTS accounts_by_key ON accounts(substr(password, 1, 9))",
     "CREATE INDEX IF NOT EXISTS accounts_by_key ON accounts (substring(password from 1 for 9));"},
    // 5: password recovery links: the token's hash, never the token (LinkRow's states).
    {"CREATE TABLE reset_links ("
     " hash BLOB PRIMARY KEY,"
     " account BLOB NOT NULL,"
     " created INTEGER NOT NULL,"
     " expires INTEGER NOT NULL,"
     " state INTEGER NOT NULL DEFAULT 0);"
     "CREATE INDEX reset_links_by_account ON reset_links(account, created);",
     "CREATE TABLE reset_links ("
     " hash BYTEA PRIMARY KEY,"
     " account BYTEA NOT NULL,"
     " created BIGINT NOT NULL,"
     " expires BIGINT NOT NULL,"
     " state INTEGER NOT NULL DEFAULT 0);"
     "CREATE INDEX reset_links_by_account ON reset_links(account, created);"},
    // 6: the mail queue, shared by every instance; finished rows stay a day for the
    // per-address daily cap (MailInfo's states).
    {"CREATE TABLE mails ("
     " id INTEGER PRIMARY KEY,"
     " kind TEXT NOT NULL,"
     " recipient BLOB NOT NULL,"
     " subject BLOB NOT NULL,"
     " body BLOB NOT NULL,"
     " message_id TEXT NOT NULL,"
     " created INTEGER NOT NULL,"
     " expires INTEGER NOT NULL,"
     " state INTEGER NOT NULL DEFAULT 0,"
     " attempts INTEGER NOT NULL DEFAULT 0,"
     " next_attempt INTEGER NOT NULL,"
     " lease_until INTEGER NOT NULL DEFAULT 0);"
     "CREATE INDEX mails_due ON mails(state, next_attempt);"
     "CREATE INDEX mails_by_recipient ON mails(recipient, kind, created);",
     "CREATE TABLE IF NOT EXISTS mails ("
     " id BIGSERIAL PRIMARY KEY,"
     " kind TEXT NOT NULL,"
     " recipient BYTEA NOT NULL,"
     " subject BYTEA NOT NULL,"
     " body BYTEA NOT NULL,"
     " message_id TEXT NOT NULL,"
     " created BIGINT NOT NULL,"
     " expires BIGINT NOT NULL,"
     " state INTEGER NOT NULL DEFAULT 0,"
     " attempts INTEGER NOT NULL DEFAULT 0,"
     " next_attempt BIGINT NOT NULL,"
     " lease_until BIGINT NOT NULL DEFAULT 0);"
     "CREATE INDEX IF NOT EXISTS mails_due ON mails(state, next_attempt);"
     "CREATE INDEX IF NOT EXISTS mails_by_recipient ON mails(recipient, kind, created);"},
    // 7: the clean-ups that every code and reset request runs find the old rows by
    // their time instead of reading the whole table (a day of mails) each time.
    {kSameInBoth, "CREATE INDEX IF NOT EXISTS codes_by_created ON codes(created);"
                  "CREATE INDEX IF NOT EXISTS mails_by_created ON mails(created);"
                  "CREATE INDEX IF NOT EXISTS reset_links_by_expiry ON reset_links(expires);"},
    // 8: challenges per account and asker (store.h), several each. SQLite keeps them in
    // memory. A table of its own: instances of the version before, still running during
    // a rolling upgrade, keep their one-per-account table.
    {nullptr,
     "CREATE TABLE IF NOT EXISTS sign_in_challenges ("
     " id BIGSERIAL PRIMARY KEY,"
     " account BYTEA NOT NULL,"
     " asker BYTEA NOT NULL,"
     " text BYTEA NOT NULL,"
     " expires BIGINT NOT NULL);"
     "CREATE INDEX IF NOT EXISTS sign_in_challenges_by_asker"
     " ON sign_in_challenges(account, asker, id);"
     "CREATE INDEX IF NOT EXISTS sign_in_challenges_by_expiry ON sign_in_challenges(expires);"},
    // 9: the daily cap counts an address's mails however its letters were written.
    {"ALTER TABLE mails ADD COLUMN recipient_key BLOB NOT NULL DEFAULT x'';"
     "UPDATE mails SET recipient_key = recipient;"
     "DROP INDEX IF EXISTS mails_by_recipient;"
     "CREATE INDEX IF NOT EXISTS mails_by_recipient_key ON mails(recipient_key, kind, created);",
     "ALTER TABLE mails ADD COLUMN IF NOT EXISTS recipient_key BYTEA NOT NULL DEFAULT ''::bytea;"
     "UPDATE mails SET recipient_key = recipient;"
     "DROP INDEX IF EXISTS mails_by_recipient;"
     "CREATE INDEX IF NOT EXISTS mails_by_recipient_key ON mails(recipient_key, kind, created);"},
    // 10: the record of security events (events.h), each chained to the one before by
    // a keyed MAC; one row holds the chain's head, which every writer locks, so the
    // instances on one database append one at a time, and the anchor that retention
    // leaves in place of the records it removed. And whether an account has signed in
    // (a new device's notice is not sent for its first sign-in), and which accounts the
    // password audit has mailed for which corpus (once each).
    {"CREATE TABLE events ("
     " seq INTEGER PRIMARY KEY,"
     " at INTEGER NOT NULL,"
     " kind TEXT NOT NULL,"
     " account BLOB NOT NULL,"
     " client TEXT NOT NULL,"
     " instance TEXT NOT NULL,"
     " detail TEXT NOT NULL,"
     " mac BLOB NOT NULL);"
     "CREATE INDEX events_by_account ON events(account, seq);"
     "CREATE INDEX events_by_at ON events(at);"
     "CREATE TABLE event_chain ("
     " id INTEGER PRIMARY KEY,"
     " head_seq INTEGER NOT NULL,"
     " head_mac BLOB NOT NULL,"
     " anchor_seq INTEGER NOT NULL,"
     " anchor_mac BLOB NOT NULL);"
     "INSERT INTO event_chain VALUES (1, 0, x'', 0, x'');"
     "ALTER TABLE accounts ADD COLUMN signed_in INTEGER NOT NULL DEFAULT 0;"
     "CREATE TABLE audit_notices ("
     " account BLOB NOT NULL,"
     " corpus TEXT NOT NULL,"
     " at INTEGER NOT NULL,"
     " PRIMARY KEY (account, corpus));",
     "CREATE TABLE IF NOT EXISTS events ("
     " seq BIGINT PRIMARY KEY,"
     " at BIGINT NOT NULL,"
     " kind TEXT NOT NULL,"
     " account BYTEA NOT NULL,"
     " client TEXT NOT NULL,"
     " instance TEXT NOT NULL,"
     " detail TEXT NOT NULL,"
     " mac BYTEA NOT NULL);"
     "CREATE INDEX IF NOT EXISTS events_by_account ON events(account, seq);"
     "CREATE INDEX IF NOT EXISTS events_by_at ON events(at);"
     "CREATE TABLE IF NOT EXISTS event_chain ("
     " id INTEGER PRIMARY KEY,"
     " head_seq BIGINT NOT NULL,"
     " head_mac BYTEA NOT NULL,"
     " anchor_seq BIGINT NOT NULL,"
     " anchor_mac BYTEA NOT NULL);"
     "INSERT INTO event_chain VALUES (1, 0, ''::bytea, 0, ''::bytea) ON CONFLICT DO NOTHING;"
     "ALTER TABLE accounts ADD COLUMN IF NOT EXISTS signed_in INTEGER NOT NULL DEFAULT 0;"
     "CREATE TABLE IF NOT EXISTS audit_notices ("
     " account BYTEA NOT NULL,"
     " corpus TEXT NOT NULL,"
     " at BIGINT NOT NULL,"
     " PRIMARY KEY (account, corpus));"},
    // 11: staged rollouts of a client update (RolloutState), per version and install
    // what the downloads did, and per version their sums (read at every download, so
    // kept as counts rather than summed over the installs).
    {"CREATE TABLE rollouts ("
     " id INTEGER PRIMARY KEY,"
     " version TEXT NOT NULL,"
     " file TEXT NOT NULL,"
     " signature TEXT NOT NULL,"
     " description BLOB NOT NULL,"
     " percent INTEGER NOT NULL,"
     " state INTEGER NOT NULL,"
     " halt_reason TEXT NOT NULL DEFAULT '',"
     " started INTEGER NOT NULL,"
     " changed INTEGER NOT NULL);"
     "CREATE TABLE rollout_installs ("
     " version TEXT NOT NULL,"
     " install TEXT NOT NULL,"
     " offered INTEGER NOT NULL DEFAULT 0,"
     " file_bytes INTEGER NOT NULL DEFAULT 0,"
     " signature INTEGER NOT NULL DEFAULT 0,"
     " completed INTEGER NOT NULL DEFAULT 0,"
     " repeated INTEGER NOT NULL DEFAULT 0,"
     " PRIMARY KEY (version, install));"
     "CREATE TABLE rollout_signals ("
     " version TEXT PRIMARY KEY,"
     " offered INTEGER NOT NULL DEFAULT 0,"
     " complete INTEGER NOT NULL DEFAULT 0,"
     " repeated INTEGER NOT NULL DEFAULT 0);",
     "CREATE TABLE IF NOT EXISTS rollouts ("
     " id BIGSERIAL PRIMARY KEY,"
     " version TEXT NOT NULL,"
     " file TEXT NOT NULL,"
     " signature TEXT NOT NULL,"
     " description BYTEA NOT NULL,"
     " percent BIGINT NOT NULL,"
     " state BIGINT NOT NULL,"
     " halt_reason TEXT NOT NULL DEFAULT '',"
     " started BIGINT NOT NULL,"
     " changed BIGINT NOT NULL);"
     "CREATE TABLE IF NOT EXISTS rollout_installs ("
     " version TEXT NOT NULL,"
     " install TEXT NOT NULL,"
     " offered BIGINT NOT NULL DEFAULT 0,"
     " file_bytes BIGINT NOT NULL DEFAULT 0,"
     " signature BIGINT NOT NULL DEFAULT 0,"
     " completed BIGINT NOT NULL DEFAULT 0,"
     " repeated BIGINT NOT NULL DEFAULT 0,"
     " PRIMARY KEY (version, install));"
     "CREATE TABLE IF NOT EXISTS rollout_signals ("
     " version TEXT PRIMARY KEY,"
     " offered BIGINT NOT NULL DEFAULT 0,"
     " complete BIGINT NOT NULL DEFAULT 0,"
     " repeated BIGINT NOT NULL DEFAULT 0);"},
};

} // namespace

const SchemaStep* schema_steps(size_t& count) {
    count = sizeof kSteps / sizeof kSteps[0];
    return kSteps;
}

const char* SchemaStep::text(bool postgres) const {
    if (sqlite == kSameInBoth)
        return this->postgres;
    return postgres ? this->postgres : sqlite;
}

} // namespace server
