#include "protocol/rollout.h"

#include "base/clock.h"
#include "base/crypto.h"
#include "base/log.h"
#include "base/text.h"
#include "http/static_files.h"

#include <cstdio>

#include <sys/stat.h>

namespace server {
namespace {

const char kProgram[] = "Tarnix.exe";
const char kSignatureSuffix[] = ".sig";
constexpr size_t kMaxVersionLength = 32;

// The whole file's size from a range answer's Content-Range ("bytes a-b/size").
int64_t file_size_of(const Response& res) {
    if (res.status == 200)
        return static_cast<int64_t>(res.length);
    for (const auto& [name, value] : res.headers) {
        int64_t size = 0;
        if (name == "Content-Range" && value.find('/') != std::string::npos &&
            parse_integer(value.substr(value.find('/') + 1), size))
            return size;
    }
    return 0;
}

std::string percent_text(int64_t part, int64_t whole) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "%.1f %%", whole == 0 ? 0.0 : 100.0 * part / whole);
    return buf;
}

} // namespace

bool in_rollout_share(const std::string& install, const std::string& version, int64_t percent) {
    // Keyed with the version, so each release tries a different set of installs first.
    const std::string mac = hmac_sha256(version, install);
    uint64_t h = 0;
    for (int i = 0; i < 8; ++i)
        h = h << 8 | static_cast<unsigned char>(mac[i]);
    return static_cast<int64_t>(h % 100) < percent;
}

std::string rollout_file_path(const std::string& version) {
    return "/download/" + version + "/" + kProgram;
}

bool valid_rollout_version(const std::string& version) {
    if (version.empty() || version.size() > kMaxVersionLength || version.front() == '.' ||
        version.back() == '.')
        return false;
    for (char c : version) {
        if (!(c >= '0' && c <= '9') && c != '.')
            return false;
    }
    return true;
}

Rollouts::Rollouts(Store& store, const DeviceCookies& cookies, RolloutConfig config)
    : store_(store), cookies_(cookies), config_(std::move(config)) {}

// Each instance reads the rollouts at most once per period: one request reads them,
// the others meanwhile answer with the snapshot before (only the very first waits).
std::shared_ptr<const Rollouts::Snapshot> Rollouts::snapshot() {
    const int64_t now = monotonic_ms();
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (snapshot_ && now - read_at_ms_ < config_.refresh_ms)
            return snapshot_;
    }
    std::unique_lock<std::mutex> reading(read_mutex_, std::defer_lock);
    if (!reading.try_lock()) {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            if (snapshot_)
                return snapshot_;
        }
        reading.lock();
    }
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (snapshot_ && monotonic_ms() - read_at_ms_ < config_.refresh_ms)
            return snapshot_; // read by the request this one waited for
    }
    auto fresh = std::make_shared<Snapshot>();
    fresh->live = store_.live_rollout();
    fresh->released = store_.released_rollout();
    std::lock_guard<std::mutex> lock(mutex_);
    snapshot_ = std::move(fresh);
    read_at_ms_ = now;
    return snapshot_;
}

std::string Rollouts::install_id(const std::string& cookie_header, const std::string& address,
                                 int64_t now) const {
    const std::string id = cookies_.install_of(cookie_header, now);
    return id.empty() ? "address " + address : id;
}

UpdateFields Rollouts::fields_for(const UpdateFields& release, const std::string& cookie_header,
                                  const std::string& address, bool over_tls, int64_t now,
                                  std::string& set_cookie) {
    // Without a cookie the request is answered as its address's and not counted (its
    // downloads, with the new cookie, count the install): requests that keep no cookie
    // write nothing.
    std::string install = cookies_.install_of(cookie_header, now);
    const bool counted = !install.empty();
    if (!counted) {
        set_cookie = cookies_.set_install_cookie(DeviceCookies::new_device_id(), now, over_tls);
        install = "address " + address;
    }
    const std::shared_ptr<const Snapshot> s = snapshot();
    UpdateFields fields = release;
    if (s->released) {
        fields.version = s->released->version;
        fields.location = config_.download_host + rollout_file_path(s->released->version);
        fields.description = s->released->description;
    }
    const std::optional<Rollout>& live = s->live;
    // Paused: no install is added, those offered it before keep it.
    if (live && in_rollout_share(install, live->version, live->percent) &&
        (live->state == RolloutState::Running || known_offered(live->version, install) ||
         store_.was_offered(live->version, install))) {
        fields.version = live->version;
        fields.location = config_.download_host + rollout_file_path(live->version);
        fields.description = live->description;
        if (counted && !known_offered(live->version, install)) {
            store_.record_offer(live->version, install, now);
            remember_offered(live->version, install);
        }
    }
    return fields;
}

// Offers this instance has written: a status request of an install that has its
// offer counted writes nothing. Forgotten all at once when the bound is reached.
void Rollouts::remember_offered(const std::string& version, const std::string& install) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (offered_.size() >= kMaxRemembered)
        offered_.clear();
    offered_.insert(version + ' ' + install);
}

bool Rollouts::known_offered(const std::string& version, const std::string& install) {
    std::lock_guard<std::mutex> lock(mutex_);
    return offered_.count(version + ' ' + install) != 0;
}

std::optional<Response> Rollouts::serve(const Request& req) {
    const std::string path(req.path);
    if (path.compare(0, 10, "/download/") != 0)
        return std::nullopt;
    const std::shared_ptr<const Snapshot> s = snapshot();
    const Rollout* found = nullptr;
    bool signature = false;
    for (const std::optional<Rollout>* r : {&s->live, &s->released}) {
        if (!*r || found)
            continue;
        const std::string file_path = rollout_file_path((*r)->version);
        if (path == file_path || path == file_path + kSignatureSuffix) {
            found = &**r;
            signature = path != file_path;
        }
    }
    if (!found)
        return std::nullopt;
    Response res =
        serve_resource(Resource::from_file(path, signature ? found->signature : found->file), req);
    if (res.status == 200 || res.status == 206)
        res.content_type = "application/octet-stream"; // the resource above is gone
    if (req.method != "GET" || (res.status != 200 && res.status != 206))
        return res;
    const int64_t now = now_seconds();
    Fetch f;
    f.version = found->version;
    f.install = install_id(req.header("Cookie"), req.client, now);
    f.signature = signature;
    f.from_start = !signature && res.offset == 0;
    f.bytes = static_cast<int64_t>(res.length);
    if (signature) {
        // A signature's answer says nothing of the file's size.
        struct stat st {};
        f.file_size = ::stat(found->file.c_str(), &st) == 0 ? static_cast<int64_t>(st.st_size) : 0;
    } else {
        f.file_size = file_size_of(res);
    }
    f.now = now;
    f.repeat_seconds = config_.repeat_seconds;
    judge(*found, store_.record_fetch(f), now);
    return res;
}

// A rollout pauses itself once enough installs fetched it whole and too many of them
// came back for it within a day: the update does not take.
void Rollouts::judge(const Rollout& r, const FetchResult& result, int64_t now) {
    const RolloutSignals& n = result.signals;
    if (!(result.completed || result.repeated) || r.state != RolloutState::Running ||
        n.complete < config_.halt_min ||
        n.repeated * 100 <= config_.halt_share_percent * n.complete)
        return;
    const std::string why = std::to_string(n.repeated) + " of " + std::to_string(n.complete) +
                            " installs that fetched " + r.version +
                            " fetched it again within a day (" +
                            percent_text(n.repeated, n.complete) + ", over " +
                            std::to_string(config_.halt_share_percent) + " %)";
    bool paused = false;
    store_.change_rollout(
        [&](Rollout& live) {
            if (live.id != r.id || live.state != RolloutState::Running)
                return false;
            live.state = RolloutState::Paused;
            live.halt_reason = why;
            paused = true;
            return true;
        },
        now);
    if (paused && on_halt)
        on_halt("rollout of " + r.version + " paused itself: " + why);
}

std::vector<RolloutFigures> Rollouts::figures() {
    std::vector<RolloutFigures> out;
    const std::optional<Rollout> live = store_.live_rollout();
    if (!live)
        return out;
    const RolloutSignals n = store_.rollout_signals(live->version);
    out.push_back(RolloutFigures{live->version, rollout_state_name(live->state), live->percent,
                                 n.offered, n.complete, n.repeated});
    return out;
}

} // namespace server
