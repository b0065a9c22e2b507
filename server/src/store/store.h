// Where accounts, verification codes, the mail queue and sign-in challenges are kept.
//
// Two kinds: a SQLite file (the default; challenges stay in this process's memory)
// and a PostgreSQL database shared by any number of server instances (challenges
// in the database too, so an instance can answer a challenge another one gave).
// Every check and the change it makes are one transaction, so neither two requests
// of one process nor two instances racing on one account interleave them.
// Failures of the database are thrown as std::runtime_error; a stored password that
// opens under none of the keys as UnreadablePassword (secrets.h).
//
// Passwords are kept as the keyring seals them (secrets.h): every write under the
// current key, reads under any known one. SQLite runs with synchronous=FULL (a
// commit reported is on disk) and secure_delete=ON (freed pages are zeroed).
#pragma once

#include "store/events.h"
#include "store/mail_queue.h"
#include "store/rollouts.h"
#include "base/policy.h"
#include "base/secrets.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace server {

struct LockPolicy {
    int max_failures = kMaxPasswordFailures; // failures in a row that lock a counter
    int64_t lock_seconds;                    // how long it stays locked (a setting)
    int max_devices = 20; // known devices kept per account, the least recent dropped
};

// Live sign-in challenges one asker of an account may hold at once: a client that
// asks again before it answers (a second window, a retry) keeps its first one.
constexpr size_t kChallengesPerAsker = 4;

enum class Verdict { Ok, Wrong, Locked };

// One more wrong password: counted, and at the policy's limit the counter is
// locked until now + lock_seconds and the count starts again.
inline Verdict count_wrong_password(int64_t& failures, int64_t& locked_until, int64_t now,
                                    const LockPolicy& policy) {
    if (++failures < policy.max_failures)
        return Verdict::Wrong;
    failures = 0;
    locked_until = now + policy.lock_seconds;
    return Verdict::Locked;
}

// Who makes a password attempt. Failures are counted per device for a client that
// has signed in to the account before (its id from a valid device cookie, and the
// store still knows it), and on the account's one untrusted counter for anyone else.
// So a stranger's failures lock out strangers, not the owner's devices.
struct Attempt {
    std::string device;     // from the client's device cookie; "" when it has none
    std::string new_device; // a success by an unknown client remembers it under this id
                            // ("" : remember nothing, as a password change does)
};

struct CheckResult {
    Verdict verdict = Verdict::Wrong;
    bool known_device = false;     // counted on the device's own counter
    std::string device;            // Ok: the device the client is now known as ("" none)
    bool untrusted_locked = false; // this failure locked the account's untrusted counter
    bool locked_now = false;       // this failure locked the counter it was counted on
};

// Judges one attempt on the counter it is counted on (the device's when the device
// is known, else the account's untrusted one), changing that counter: while it is
// locked nothing else happens and `right` is not asked; a success resets it.
inline CheckResult judge_attempt(int64_t& failures, int64_t& locked_until, bool known_device,
                                 int64_t now, const std::function<bool()>& right,
                                 const LockPolicy& policy) {
    CheckResult r;
    r.known_device = known_device;
    if (locked_until > now) {
        r.verdict = Verdict::Locked;
    } else if (right()) {
        failures = 0;
        locked_until = 0;
        r.verdict = Verdict::Ok;
    } else {
        r.verdict = count_wrong_password(failures, locked_until, now, policy);
        r.locked_now = r.verdict == Verdict::Locked;
        r.untrusted_locked = !known_device && r.locked_now;
    }
    return r;
}

// A device an account has signed in from, as operators see it.
struct DeviceRecord {
    std::string id;
    int64_t last_success = 0;
    int64_t failures = 0;
    int64_t locked_until = 0;
};

enum class SignUp { Created, Exists, NoRecentCode };

enum class CodeIssue { Issued, TooSoon, DailyLimit };

struct CodeRequest {
    std::string email; // as the client gave it (GBK): the codes table's key
    std::string code;
    int64_t now = 0;
    int64_t not_after = 0;     // refused when the address got a code after this
    int64_t forget_before = 0; // codes older than this are dropped
    int64_t day_since = 0;     // the daily cap counts the address's code mails after this
    int per_day = 0;           // at most this many (0: no cap)
};

// Password recovery links. Only the SHA-256 of a link's token is stored, and an
// account has at most one live link: issuing one replaces every earlier one.
struct ResetLink {
    std::string account;    // GBK
    std::string token_hash; // SHA-256 of the link's token
    int64_t now = 0;
    int64_t expires = 0;
    int64_t window_start = 0; // the account's links issued since then are counted...
    int per_window = 0;       // ...and at most this many are allowed (0: no cap)
};

enum class ResetIssue { Issued, NoMatch, TooMany };

enum class LinkState { Live, Unknown, Used, Replaced, Expired };

struct LinkUse {
    LinkState state = LinkState::Unknown;
    std::string account; // GBK; empty when the link is unknown
    std::string email;   // the account's bound address, when the link was live
};

// Made from the settings (store_config in app/configs.h), which hold the defaults.
struct StoreConfig {
    // A file path (SQLite) or a postgresql:// (or postgres://) connection URI.
    std::string where;
    int pool_size;             // database connections (PostgreSQL)
    int64_t challenge_seconds; // how long a challenge is good for
    size_t max_challenges;     // challenges held in memory at most (SQLite)
    // Seals and opens passwords; null: stored as plain text.
    std::shared_ptr<const Keyring> keys;
    // Start-up notices (passwords sealed, settings worth a warning), one line each.
    std::function<void(const std::string&)> notice;
};

// One step of re-sealing: the rows examined, those re-sealed under the current key,
// and the accounts whose password opens under no known key (left as they are).
struct RekeyStep {
    size_t examined = 0;
    size_t resealed = 0;
    std::vector<std::string> unreadable;
};

// True when `where` names a PostgreSQL database rather than a file.
bool is_postgres_uri(const std::string& where);

// A warning line when a PostgreSQL URI reaches a host other than this machine (not a
// Unix socket, not loopback) without sslmode=verify-full; "" otherwise. It never holds
// the URI's password.
std::string database_transport_warning(const std::string& uri);

// What an operator may see of an account: everything but its password.
struct AccountInfo {
    std::string name;  // GBK
    std::string email; // as the client sent it
    int64_t created = 0;
    int64_t failures = 0;     // of its untrusted counter
    int64_t locked_until = 0; // of its untrusted counter; 0: never locked
};

class Store {
public:
    // Opens the store, creating its schema on first use and upgrading an older one
    // in place. Nothing and a reason in `error` when that fails, also when the
    // database holds sealed passwords of which none opens under the keys (checked
    // before anything is written). Plain-text passwords are sealed at once when the
    // keyring has a key, in one transaction.
    static std::unique_ptr<Store> open(const StoreConfig& config, std::string& error);
    virtual ~Store() = default;

    // Checks a password against the account's, counting a failure on the counter
    // `who` is counted on. An account that does not exist is Wrong and leaves no
    // trace. `matches` gets the stored password, opened, for as long as the call lasts.
    virtual CheckResult check_password(const std::string& name, const Attempt& who, int64_t now,
                                       const std::function<bool(const Secret&)>& matches,
                                       const LockPolicy& policy) = 0;

    // Replaces the password after the same check as check_password with `old_password`.
    virtual CheckResult change_password(const std::string& name, const Attempt& who,
                                        const std::string& old_password,
                                        const std::string& new_password, int64_t now,
                                        const LockPolicy& policy) = 0;

    // The account's known devices, the most recent success first.
    virtual std::vector<DeviceRecord> devices(const std::string& name) = 0;
    // Forgets the account's devices: their cookies count as untrusted from now on.
    // The number forgotten.
    virtual int64_t forget_devices(const std::string& name) = 0;
    // Ends every lock of the account, untrusted and per device, and clears their
    // counts. False when there is no such account.
    virtual bool unlock(const std::string& name) = 0;

    // Creates the account when a code was issued for `email` at or after `codes_since`
    // and has had fewer than `attempts_per_code` sign-ups. Every attempt that finds such
    // a code uses one of its attempts, so one code cannot probe many names; the codes of
    // the address are used up by a successful sign-up.
    virtual SignUp create_account(const std::string& name, const std::string& password,
                                  const std::string& email, int64_t now, int64_t codes_since,
                                  int attempts_per_code) = 0;

    // Stores a code and its mail in one transaction, unless the address got a code
    // after `not_after` (TooSoon) or already `per_day` code mails after `day_since`
    // (DailyLimit; 0: no cap). Codes older than `forget_before` go, and finished
    // mails older than `day_since`. With `deliver` the mail is handed over inside the
    // transaction and kept as sent (a false result rolls it back and throws);
    // without, it is queued for a sender. Either way `mail.id` gets its queue id.
    virtual CodeIssue issue_code(const CodeRequest& request, OutgoingMail& mail,
                                 const std::function<bool()>& deliver) = 0;

    // The mail queue, shared by every instance on one database. A mail is queued
    // until a sender takes it (claim_mail, which holds it until `lease_until`, so no
    // other sender takes it meanwhile), then sent, retried later or abandoned.

    // Queues a mail on its own (other notices than codes); its id.
    virtual int64_t enqueue_mail(const OutgoingMail& mail) = 0;
    // The queued mail due longest, not held by anyone at `now`, now held until
    // `lease_until`; false when there is none.
    virtual bool claim_mail(int64_t now, int64_t lease_until, OutgoingMail& mail) = 0;
    // A failed attempt: one more counted, due again at `next_attempt`, lease ended.
    virtual void retry_mail(int64_t id, int64_t next_attempt) = 0;
    // It leaves the queue: sent (its subject and body dropped), abandoned after an
    // attempt that failed (counted), or abandoned untried because it expired (its
    // subject and body dropped).
    virtual void finish_mail(int64_t id, MailEnd end) = 0;
    // Mails waiting to be sent.
    virtual int64_t mail_queue_depth() = 0;
    // When the earliest queued mail is due (or its lease ends); 0 when none is queued.
    virtual int64_t next_mail_due() = 0;

    // An abandoned mail keeps its subject and body until it expires, so an operator
    // can put it back once the relay is mended; after that they are dropped (when the
    // next mail is queued). A mail's expiry is when what it carries stops working (a
    // code mail's is its code's, a link's its link's), so an expired mail is never
    // sent again.

    // The queued mails, or the abandoned ones (kept a day), by id.
    virtual std::vector<MailInfo> list_mails(bool abandoned) = 0;
    virtual std::optional<MailInfo> find_mail(int64_t id) = 0;
    // Puts mail `id` (0: every one) back in the queue, due at `now`, when it was
    // abandoned, has not expired at `now` and still has its text; its attempts so far
    // and its expiry stay. The number put back.
    virtual int64_t requeue_abandoned_mail(int64_t id, int64_t now) = 0;

    // Issues a recovery link when the account exists and `email_matches` accepts its
    // bound address (which goes to `email`): every earlier link of the account ends.
    // TooMany when the account already had `per_window` links since `window_start`.
    // Links past their expiry by a day are forgotten.
    virtual ResetIssue
    issue_reset_link(const ResetLink& link,
                     const std::function<bool(const std::string&)>& email_matches,
                     std::string& email) = 0;
    // What the link whose token hashes to `token_hash` is at `now`; nothing changes.
    virtual LinkUse find_reset_link(const std::string& token_hash, int64_t now) = 0;
    // Through a live link: sets the password (as change_password writes it), uses the
    // link up, ends every lock of the account and clears the failure counts (untrusted
    // and per device, as unlock does) and drops its challenge, in one transaction. The
    // state the link was in: Live means the password is set.
    virtual LinkUse reset_password(const std::string& token_hash, const std::string& new_password,
                                   int64_t now) = 0;

    // Sign-in challenges, kept per account and asker: each device the account knows
    // asks as itself (its id from a valid device cookie), everyone else as "". So a
    // stranger's challenges never replace a device's, however many it asks for.
    // Each asker keeps its kChallengesPerAsker most recent.
    virtual void put_challenge(const std::string& account, const std::string& asker,
                               const std::string& text, int64_t now) = 0;
    // Removes the asker's challenges of the account and returns the live ones; empty
    // when there is none. Of two takers at once, one gets them.
    virtual std::vector<std::string> take_challenges(const std::string& account,
                                                     const std::string& asker, int64_t now) = 0;

    virtual int64_t account_count() = 0;

    // Throws unless the store can take a write within about a second (the readiness
    // check: PostgreSQL reachable, the SQLite file not locked by another process).
    virtual void ping() = 0;

    // The operator's commands (tarnix-server admin), safe while servers use the same
    // database. An account's failures and lock are those of its untrusted counter.
    // Deleting also removes the account's devices, challenge and recovery links.
    // False: no such account.
    virtual std::optional<AccountInfo> find_account(const std::string& name) = 0;
    // By name; with `locked_only`, those whose untrusted counter is locked at `now`.
    virtual std::vector<AccountInfo> list_accounts(bool locked_only, int64_t now) = 0;
    virtual bool delete_account(const std::string& name) = 0;

    // Re-seals under the current key, in one short transaction, the passwords of at most
    // `limit` accounts after `after` in name order, and moves `after` on. A password
    // changed meanwhile is left as its writer sealed it (under the current key).
    // examined == 0: the end.
    virtual RekeyStep rekey_step(std::string& after, size_t limit) = 0;

    // Accounts whose password is not sealed under the current key (all of them without one).
    virtual int64_t count_not_under_current_key() = 0;

    // The record of security events (events.h). Appends `events` in one transaction
    // that holds the chain's head: numbered after it and chained under `key`, as
    // written by `instance`.
    virtual void append_events(const std::vector<NewEvent>& events, const std::string& key,
                               const std::string& instance) = 0;
    virtual EventChain event_chain() = 0;
    // At most `limit` records after number `after`, in order.
    virtual std::vector<EventRecord> events_after(int64_t after, size_t limit) = 0;
    // Records at or after `since`, of one account when `account` is given, in order;
    // at most `limit` of them, the most recent.
    virtual std::vector<EventRecord> list_events(const std::optional<std::string>& account,
                                                 int64_t since, size_t limit) = 0;
    // Removes the records older than `before` (never the last one), keeps the MAC of
    // the last removed as the chain's anchor and appends an "events-pruned" record
    // that names it, in one transaction. The number removed.
    virtual int64_t prune_events(int64_t before, int64_t now, const std::string& key,
                                 const std::string& instance) = 0;

    // Notes that the account signed in from a device it did not know; true when it
    // had never been noted before (its first such sign-in since this was kept).
    virtual bool mark_signed_in(const std::string& name) = 0;
    // Mails of `kind` queued to `recipient` (UTF-8, compared as the daily caps compare
    // addresses) after `since`.
    virtual int64_t mails_since(const std::string& recipient, const std::string& kind,
                                int64_t since) = 0;

    // The password audit: the passwords of at most `limit` accounts after `after` in
    // name order, each opened for as long as `visit` runs (never stored elsewhere), in
    // one short read; `after` moves on. Accounts whose password opens under no key go
    // to `unreadable`. The number of accounts read (0: the end).
    virtual size_t
    visit_passwords(std::string& after, size_t limit,
                    const std::function<void(const AccountInfo&, const Secret&)>& visit,
                    std::vector<std::string>& unreadable) = 0;
    // Notes that the audit told `account` about `corpus`; false when it had already.
    virtual bool note_audit_notice(const std::string& account, const std::string& corpus,
                                   int64_t now) = 0;
    // Staged rollouts (rollouts.h). At most one is live (running or paused) at a time.
    // Starts `r` (its id given) unless one is live: false then.
    virtual bool start_rollout(Rollout& r) = 0;
    // The live rollout, and the release the last finished one made.
    virtual std::optional<Rollout> live_rollout() = 0;
    virtual std::optional<Rollout> released_rollout() = 0;
    // Changes the live rollout in one transaction, its row locked: `change` edits it
    // (percent, state, halt reason) or refuses (false: nothing is written). The rollout
    // as it is now; nothing when none is live.
    virtual std::optional<Rollout> change_rollout(const std::function<bool(Rollout&)>& change,
                                                  int64_t now) = 0;
    // The version was named to the install in a status answer (counted once).
    virtual void record_offer(const std::string& version, const std::string& install,
                              int64_t now) = 0;
    // Whether the version was named to the install before.
    virtual bool was_offered(const std::string& version, const std::string& install) = 0;
    // One answer of a download, counted for its version and install (which counts as
    // offered it too).
    virtual FetchResult record_fetch(const Fetch& fetch) = 0;
    virtual RolloutSignals rollout_signals(const std::string& version) = 0;
};

// A claimed mail's subject and body opened with the keys, as both stores hand them to
// a sender. False (said through `notice`) when they open under no known key: such a
// mail can never be sent, and its store abandons it.
bool open_mail_text(OutgoingMail& mail, const std::shared_ptr<const Keyring>& keys,
                    const std::function<void(const std::string&)>& notice);

// Copies the SQLite database at `path` to the new file `dest` (owner-only) with
// SQLite's online backup: one consistent snapshot, while servers keep writing. The
// copy passes PRAGMA integrity_check or is removed. False with a reason otherwise.
bool backup_sqlite(const std::string& path, const std::string& dest, std::string& error);

} // namespace server
