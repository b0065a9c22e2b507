// Staged rollouts of a client update, as the store keeps them: every instance on one
// database reads the same live rollout and counts the same installs. Plain data; any
// thread.
#pragma once

#include <cstdint>
#include <string>

namespace server {

// A rollout's states (rollouts.state): offered to its share while Running; a Paused
// one keeps offering it to the installs it was offered to but adds none; a Pulled
// one is offered to nobody; a Finished one is the release everyone is offered.
enum class RolloutState : int64_t { Running = 0, Paused = 1, Pulled = 2, Finished = 3 };

const char* rollout_state_name(RolloutState s);

struct Rollout {
    int64_t id = 0;
    std::string version;     // digits and dots, the status record's field 2
    std::string file;        // the candidate program, read at each request
    std::string signature;   // its 64-byte signature file, read at each request
    std::string description; // GBK, the status record's field 4
    int64_t percent = 0;     // the share of installs offered it, 0 to 100
    RolloutState state = RolloutState::Running;
    std::string halt_reason; // why it paused itself ("" when an operator did)
    int64_t started = 0;
    int64_t changed = 0;
};

// What the downloads of one version say, over every instance: installs it was offered
// to, that fetched the whole file and its signature, and that came back for it within
// a day of a complete fetch (the update did not take).
struct RolloutSignals {
    int64_t offered = 0;
    int64_t complete = 0;
    int64_t repeated = 0;
};

// One answer to a GET of a version's file or signature, as the signals count it.
struct Fetch {
    std::string version;
    std::string install;
    bool signature = false;  // the signature, else the file
    bool from_start = false; // the file from its first byte: a new fetch begins
    int64_t bytes = 0;       // of the file, sent in this answer
    int64_t file_size = 0;   // the whole file
    int64_t now = 0;
    int64_t repeat_seconds = 0; // a new fetch this soon after a complete one is a repeat
};

struct FetchResult {
    bool completed = false; // this answer completed a fetch for the first time
    bool repeated = false;  // this answer began a repeat, the install's first
    RolloutSignals signals; // of the version, after it
};

} // namespace server
