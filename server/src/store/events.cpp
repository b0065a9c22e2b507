#include "store/events.h"

#include "base/crypto.h"

namespace server {
namespace {

void put_number(std::string& out, int64_t v) {
    for (int i = 7; i >= 0; --i)
        out += static_cast<char>((static_cast<uint64_t>(v) >> (8 * i)) & 0xFF);
}

// Each text with its length first, so no two records' fields run together alike.
void put_text(std::string& out, const std::string& s) {
    put_number(out, static_cast<int64_t>(s.size()));
    out += s;
}

} // namespace

std::string event_mac(const std::string& key, const std::string& previous_mac,
                      const EventRecord& record) {
    std::string in = "tarnix-event-v1";
    put_text(in, previous_mac);
    put_number(in, record.seq);
    put_number(in, record.event.at);
    put_text(in, record.event.kind);
    put_text(in, record.event.account);
    put_text(in, record.event.client);
    put_text(in, record.instance);
    put_text(in, record.event.detail);
    return hmac_sha256(key, in);
}

std::string pruned_detail(int64_t anchor_seq, const std::string& anchor_mac) {
    return "removed through " + std::to_string(anchor_seq) + ", mac " + hex_lower(anchor_mac);
}

EventVerifier::EventVerifier(std::string key, EventChain chain)
    : key_(std::move(key)), chain_(std::move(chain)), expected_seq_(chain_.anchor_seq + 1),
      previous_mac_(chain_.anchor_mac) {}

void EventVerifier::next(const EventRecord& r) {
    ++checked_;
    if (r.seq > expected_seq_)
        problems_.push_back(r.seq == expected_seq_ + 1
                                ? "record " + std::to_string(expected_seq_) + " is missing"
                                : "records " + std::to_string(expected_seq_) + " to " +
                                      std::to_string(r.seq - 1) + " are missing");
    else if (r.seq < expected_seq_)
        problems_.push_back("record " + std::to_string(r.seq) +
                            (r.seq <= chain_.anchor_seq ? " stands before the chain's anchor"
                                                        : " stands out of order"));
    // A record whose MAC does not follow from the one before was changed, moved, or
    // put there by someone without the key; the next is checked against it as stored,
    // so one edit is one finding.
    if (!equal_in_constant_time(event_mac(key_, previous_mac_, r), r.mac))
        problems_.push_back("record " + std::to_string(r.seq) +
                            " does not match its MAC (changed, moved, or not written by a "
                            "server with the key)");
    if (r.event.kind == event::kPruned)
        last_pruned_detail_ = r.event.detail;
    previous_mac_ = r.mac;
    expected_seq_ = r.seq + 1;
}

std::vector<std::string> EventVerifier::finish() {
    if (expected_seq_ - 1 != chain_.head_seq || previous_mac_ != chain_.head_mac)
        problems_.push_back(
            "the chain's head is record " + std::to_string(chain_.head_seq) +
            " but the records end at " + std::to_string(expected_seq_ - 1) +
            (expected_seq_ - 1 < chain_.head_seq ? " (records removed from the end)" : ""));
    if (chain_.anchor_seq > 0 &&
        last_pruned_detail_ != pruned_detail(chain_.anchor_seq, chain_.anchor_mac))
        problems_.push_back("the chain starts after record " + std::to_string(chain_.anchor_seq) +
                            ", which no events-pruned record attests");
    return problems_;
}

} // namespace server
