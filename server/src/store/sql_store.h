// The store's one body: every method of Store written once over a Database
// (database.h), whichever backend fills it. What the backends can do differently is
// read from their Dialect; the SQL texts that differ stand side by side.
//
// Threads: any; each operation leases a connection of its own for its duration.
#pragma once

#include "store/challenges.h"
#include "store/database.h"
#include "store/store.h"

#include <atomic>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace server {

class SqlStore final : public Store {
public:
    SqlStore(std::unique_ptr<Database> db, const StoreConfig& config);
    SqlStore(const SqlStore&) = delete;
    SqlStore& operator=(const SqlStore&) = delete;

    // Checks the keys against the database, upgrades its schema and seals plain-text
    // passwords; why it cannot be served, or "".
    std::string start();
    Database& database() { return *db_; }

    CheckResult check_password(const std::string& name, const Attempt& who, int64_t now,
                               const std::function<bool(const Secret&)>& matches,
                               const LockPolicy& policy) override;
    CheckResult change_password(const std::string& name, const Attempt& who,
                                const std::string& old_password, const std::string& new_password,
                                int64_t now, const LockPolicy& policy) override;
    std::vector<DeviceRecord> devices(const std::string& name) override;
    int64_t forget_devices(const std::string& name) override;
    bool unlock(const std::string& name) override;
    SignUp create_account(const std::string& name, const std::string& password,
                          const std::string& email, int64_t now, int64_t codes_since,
                          int attempts_per_code) override;
    CodeIssue issue_code(const CodeRequest& request, OutgoingMail& mail,
                         const std::function<bool()>& deliver) override;
    int64_t enqueue_mail(const OutgoingMail& mail) override;
    bool claim_mail(int64_t now, int64_t lease_until, OutgoingMail& mail) override;
    void retry_mail(int64_t id, int64_t next_attempt) override;
    void finish_mail(int64_t id, MailEnd end) override;
    int64_t mail_queue_depth() override;
    int64_t next_mail_due() override;
    std::vector<MailInfo> list_mails(bool abandoned) override;
    std::optional<MailInfo> find_mail(int64_t id) override;
    int64_t requeue_abandoned_mail(int64_t id, int64_t now) override;
    ResetIssue issue_reset_link(const ResetLink& link,
                                const std::function<bool(const std::string&)>& email_matches,
                                std::string& email) override;
    LinkUse find_reset_link(const std::string& token_hash, int64_t now) override;
    LinkUse reset_password(const std::string& token_hash, const std::string& new_password,
                           int64_t now) override;
    void put_challenge(const std::string& account, const std::string& asker,
                       const std::string& text, int64_t now) override;
    std::vector<std::string> take_challenges(const std::string& account, const std::string& asker,
                                             int64_t now) override;
    int64_t account_count() override;
    void ping() override { db_->ping(); }
    std::optional<AccountInfo> find_account(const std::string& name) override;
    std::vector<AccountInfo> list_accounts(bool locked_only, int64_t now) override;
    bool delete_account(const std::string& name) override;
    RekeyStep rekey_step(std::string& after, size_t limit) override;
    int64_t count_not_under_current_key() override;
    void append_events(const std::vector<NewEvent>& events, const std::string& key,
                       const std::string& instance) override;
    EventChain event_chain() override;
    std::vector<EventRecord> events_after(int64_t after, size_t limit) override;
    std::vector<EventRecord> list_events(const std::optional<std::string>& account, int64_t since,
                                         size_t limit) override;
    int64_t prune_events(int64_t before, int64_t now, const std::string& key,
                         const std::string& instance) override;
    bool mark_signed_in(const std::string& name) override;
    int64_t mails_since(const std::string& recipient, const std::string& kind,
                        int64_t since) override;
    size_t visit_passwords(std::string& after, size_t limit,
                           const std::function<void(const AccountInfo&, const Secret&)>& visit,
                           std::vector<std::string>& unreadable) override;
    bool note_audit_notice(const std::string& account, const std::string& corpus,
                           int64_t now) override;
    bool start_rollout(Rollout& r) override;
    std::optional<Rollout> live_rollout() override;
    std::optional<Rollout> released_rollout() override;
    std::optional<Rollout> change_rollout(const std::function<bool(Rollout&)>& change,
                                          int64_t now) override;
    void record_offer(const std::string& version, const std::string& install, int64_t now) override;
    bool was_offered(const std::string& version, const std::string& install) override;
    FetchResult record_fetch(const Fetch& fetch) override;
    RolloutSignals rollout_signals(const std::string& version) override;

private:
    // The text of a pair for this database's dialect.
    const char* pick(const char* const (&pair)[2]) const { return pair[postgres_ ? 1 : 0]; }

    PasswordSurvey survey(SqlConnection& c);
    void migrate(SqlConnection& c);
    size_t seal_plain_passwords(SqlConnection& c);
    CheckResult check_locked(SqlConnection& c, const std::string& name, const Attempt& who,
                             int64_t now, const std::function<bool(const Secret&)>& matches,
                             const LockPolicy& policy);
    // Every password write goes through here (a change and a reset alike).
    void write_password(SqlConnection& c, const std::string& name, const std::string& password);
    LinkUse find_link(SqlConnection& c, const std::string& token_hash, int64_t now,
                      bool for_update);
    int64_t insert_mail(SqlConnection& c, const OutgoingMail& mail, bool sent);
    void finish_mail(SqlConnection& c, int64_t id, MailEnd end);
    // The chain's head and anchor, locked for this transaction where rows lock.
    EventChain lock_event_chain(SqlConnection& c);
    // Appends after the head read by lock_event_chain, and moves it on.
    void append_locked(SqlConnection& c, EventChain& chain, const std::vector<NewEvent>& events,
                       const std::string& key, const std::string& instance);
    std::optional<Rollout> find_live(SqlConnection& c, bool for_update);
    RolloutSignals signals(SqlConnection& c, const std::string& version);
    // Counts the version offered to the install, once; true when it was not before.
    bool mark_offered(SqlConnection& c, const std::string& version, const std::string& install,
                      int64_t now);
    // One more of `column` (offered, complete, repeated) in the version's sums.
    void count_signal(SqlConnection& c, const std::string& version, const char* column);
    // Every challenge of the account, whoever asked.
    void drop_challenges(SqlConnection& c, const std::string& account);

    const std::unique_ptr<Database> db_;
    const bool postgres_;
    const std::shared_ptr<const Keyring> keys_;
    const std::function<void(const std::string&)> notice_;
    const int64_t lifetime_; // of a challenge
    // Challenges in this process's memory, when the dialect keeps none in a table.
    std::unique_ptr<ChallengeStore> memory_challenges_;
    std::atomic<unsigned> puts_{0};
};

} // namespace server
