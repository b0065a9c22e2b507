// The record of security events: who did what, when, from where and on which
// instance; never a password, code, token or address of mail. Each record carries
// the HMAC-SHA-256, under a key of its own (not the passwords' key), of the MAC of
// the record before it and of its own fields, its number among them; so without the
// key nobody can change, remove, reorder or insert a record unseen (verify_events).
//
// The chain's head (the last number and MAC) is one row that every writer locks in
// its transaction, so instances on one database append one after another. Retention
// removes the oldest records and keeps the MAC of the last one removed as the
// chain's anchor, and says so in a record of its own ("events-pruned"), which the
// anchor must match.
//
// What a database holder can still do unseen: cut records off the end together with
// the head (compare with the head an earlier verify printed). Pure functions: any
// thread.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace server {

// What happened, as a record names it.
namespace event {
inline constexpr char kSignUp[] = "sign-up";
inline constexpr char kSignIn[] = "sign-in";
inline constexpr char kSignInFailed[] = "sign-in-failed";
inline constexpr char kLocked[] = "account-locked";
inline constexpr char kPasswordChanged[] = "password-changed";
inline constexpr char kRecoveryRequested[] = "recovery-requested";
inline constexpr char kRecoveryCompleted[] = "recovery-completed";
inline constexpr char kDevicesForgotten[] = "devices-forgotten";
inline constexpr char kNewDeviceNotice[] = "new-device-notice";
inline constexpr char kAdmin[] = "admin";
inline constexpr char kPruned[] = "events-pruned";
} // namespace event

// One event as a writer hands it over; the store numbers and chains it.
struct NewEvent {
    int64_t at = 0;      // seconds since the epoch
    std::string kind;    // one of event::k*
    std::string account; // GBK as the client sent it; "" for none
    std::string client;  // the client's address; "" for a local command
    std::string detail;  // ASCII or UTF-8, nothing secret
};

struct EventRecord {
    int64_t seq = 0;
    NewEvent event;
    std::string instance;
    std::string mac; // 32 bytes
};

// The chain's head and anchor, as the store keeps them.
struct EventChain {
    int64_t head_seq = 0;
    std::string head_mac;
    int64_t anchor_seq = 0; // records up to this one were removed by retention
    std::string anchor_mac; // the MAC of the last removed ("" when none was)
};

// The MAC of `record` (its seq, fields and instance) after `previous_mac`.
std::string event_mac(const std::string& key, const std::string& previous_mac,
                      const EventRecord& record);

// The detail of an "events-pruned" record for an anchor.
std::string pruned_detail(int64_t anchor_seq, const std::string& anchor_mac);

// Walks the records in their order, one at a time (so the whole record need not be in
// memory), and says what is wrong.
class EventVerifier {
public:
    EventVerifier(std::string key, EventChain chain);
    void next(const EventRecord& record);
    // The findings after the last record; empty when the chain is whole.
    std::vector<std::string> finish();
    int64_t checked() const { return checked_; }

private:
    std::string key_;
    EventChain chain_;
    int64_t expected_seq_;
    std::string previous_mac_;
    int64_t checked_ = 0;
    std::string last_pruned_detail_;
    std::vector<std::string> problems_;
};

} // namespace server
