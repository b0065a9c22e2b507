// The mail queue's rows: one mail as a sender gets it, and what an operator may see.
// Plain data; any thread.
#pragma once

#include <cstdint>
#include <string>

namespace server {

// One mail as the queue holds it.
struct OutgoingMail {
    int64_t id = 0;         // queue id, given when stored
    std::string kind;       // what it is for ("code"); the daily cap counts by kind
    std::string recipient;  // UTF-8 address, for the envelope and To
    std::string subject;    // UTF-8, rendered
    std::string body;       // UTF-8, rendered
    std::string message_id; // "<...@domain>", the same at every attempt
    int64_t created = 0;    // its Date
    int64_t expires = 0;    // abandoned when not sent by then
    int attempts = 0;       // failed attempts so far
    std::string file_line;  // what the file transport appends (never queued)
};

// How a mail leaves the queue.
enum class MailEnd { Sent, Refused, Expired };

// What an operator may see of a mail: everything but its subject and body (a code
// mail's body holds the code).
struct MailInfo {
    enum State { Queued, Sent, Abandoned }; // 0, 1, 2 in the mails table
    int64_t id = 0;
    std::string kind;
    std::string recipient; // UTF-8
    State state = Queued;
    int attempts = 0;
    int64_t next_attempt = 0;  // queued: due then, or when a sender's lease ends
    int64_t sending_until = 0; // queued: a sender holds it until then (0: none)
    int64_t created = 0;
    int64_t expires = 0;
    bool text_kept = false; // abandoned: its subject and body are still held
};

} // namespace server
