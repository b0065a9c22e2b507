// Staged rollouts of a client update, as the status answer and the downloads see
// them. Each install is known by its install cookie (DeviceCookies, tx_install), or
// by its client address while it has none. An install is in a rollout's share when
// a hash of its id keyed with the version falls under the percentage: stable, and
// raising the share only adds installs.
//
// The live rollout is read from the store at most once per refresh period (a second)
// per instance, so an operator's command takes effect at every instance within it.
// The candidate's file and signature are served at a path naming its version, from
// the files the rollout names, opened for every request. What the downloads did is
// counted in the store; a rollout whose repeat share passes the halt share pauses
// itself.
//
// Threads: any; the snapshot is swapped under a lock, never changed in place. A
// failure of the store is thrown as std::runtime_error (the caller's server error).
#pragma once

#include "base/device_cookie.h"
#include "base/metrics.h"
#include "base/policy.h"
#include "http/engine.h"
#include "store/store.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <unordered_set>
#include <vector>

namespace server {

// True when `install` is among the first `percent` of installs for `version`.
bool in_rollout_share(const std::string& install, const std::string& version, int64_t percent);

// Where a version's program is served; its signature is at this + ".sig".
std::string rollout_file_path(const std::string& version);

// A rollout's version: digits and dots (it names a path and a metrics label).
bool valid_rollout_version(const std::string& version);

struct RolloutConfig {
    int64_t halt_share_percent = 5; // repeats per complete fetches that pause a rollout
    int64_t halt_min = 20;          // complete fetches before the share is judged
    int64_t refresh_ms = 1000;      // the live rollout is read again this often at most
    int64_t repeat_seconds = kDaySeconds;
    // Host and port of the update location (status field 3 before its path).
    std::string download_host;
};

// Status fields 2 to 4, GBK.
struct UpdateFields {
    std::string version;
    std::string location;
    std::string description;
};

class Rollouts {
public:
    Rollouts(Store& store, const DeviceCookies& cookies, RolloutConfig config);

    // Fields 2 to 4 for the install behind a status request: the candidate's when it
    // is in the live rollout's share, the last finished rollout's otherwise, else
    // `release` as given. A request without a valid install cookie is bucketed by
    // `address` and gets a new cookie in `set_cookie` (Secure when `over_tls`, as the
    // device cookies).
    UpdateFields fields_for(const UpdateFields& release, const std::string& cookie_header,
                            const std::string& address, bool over_tls, int64_t now,
                            std::string& set_cookie);

    // The answer to a GET/HEAD of a rollout's file or signature; nothing for another
    // path. Counted for the version, and the halt judged.
    std::optional<Response> serve(const Request& req);

    // Called with a line when a rollout pauses itself.
    std::function<void(const std::string&)> on_halt;

    // The figures of the live rollout's version (its label), read from the store.
    std::vector<RolloutFigures> figures();

private:
    struct Snapshot {
        std::optional<Rollout> live;
        std::optional<Rollout> released;
    };
    std::shared_ptr<const Snapshot> snapshot();
    std::string install_id(const std::string& cookie_header, const std::string& address,
                           int64_t now) const;
    void judge(const Rollout& r, const FetchResult& result, int64_t now);
    // Offers this instance counted in the store (a bounded memory).
    bool known_offered(const std::string& version, const std::string& install);
    void remember_offered(const std::string& version, const std::string& install);
    static constexpr size_t kMaxRemembered = 100000;

    Store& store_;
    const DeviceCookies& cookies_;
    RolloutConfig config_;
    std::mutex read_mutex_; // held by the one request reading the store
    std::mutex mutex_;      // guards the three below
    std::shared_ptr<const Snapshot> snapshot_;
    int64_t read_at_ms_ = 0;
    std::unordered_set<std::string> offered_; // "version install" this instance counted
};

} // namespace server
