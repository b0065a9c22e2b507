// tarnix-server admin rollout ...: the operator's side of staged rollouts. Each
// command is one transaction on the live rollout; every instance reads it within a
// second.
#include "base/charset.h"
#include "base/clock.h"
#include "base/text.h"
#include "ops/admin_context.h"
#include "ops/update_signature.h"
#include "protocol/rollout.h"

#include <sys/stat.h>

#include <cstdio>
#include <filesystem>
#include <functional>
#include <optional>

namespace server {

namespace {

constexpr int kDone = kAdminDone;
constexpr int kNotFound = kAdminNotFound;
constexpr int kUsage = kAdminUsage;

int fail(AdminContext& ctx, const std::string& why, int code) {
    std::fprintf(ctx.err, "tarnix-server admin: %s\n", why.c_str());
    return code;
}

bool parse_percent(const std::string& text, int64_t& percent) {
    return parse_integer(text, percent) && percent >= 0 && percent <= 100;
}

// A status field: GBK, without '|' or control characters.
std::optional<std::string> status_field(const std::string& utf8) {
    const std::optional<std::string> gbk = utf8_to_gbk(utf8);
    if (!gbk || has_control_bytes(*gbk) || gbk->find('|') != std::string::npos)
        return std::nullopt;
    return gbk;
}

// Applies `change` to the live rollout and says what it is now.
int change_live(AdminContext& ctx, const std::function<bool(Rollout&, std::string&)>& change) {
    Store* store = ctx.open();
    if (!store)
        return kNotFound;
    std::string refused;
    const std::optional<Rollout> r =
        store->change_rollout([&](Rollout& live) { return change(live, refused); }, now_seconds());
    if (!r)
        return fail(ctx, "no rollout is live (admin rollout start begins one)", kNotFound);
    if (!refused.empty())
        return fail(ctx, "rollout of " + r->version + ": " + refused, kNotFound);
    std::fprintf(ctx.out, "rollout of %s: %s at %lld %%\n", r->version.c_str(),
                 rollout_state_name(r->state), static_cast<long long>(r->percent));
    return kDone;
}

int to_state(AdminContext& ctx, RolloutState from, RolloutState to) {
    return change_live(ctx, [&](Rollout& r, std::string& refused) {
        if (r.state != from) {
            refused = std::string("it is ") + rollout_state_name(r.state);
            return false;
        }
        r.state = to;
        r.halt_reason.clear();
        return true;
    });
}

int to_end(AdminContext& ctx, RolloutState to) {
    return change_live(ctx, [&](Rollout& r, std::string&) {
        r.state = to;
        return true;
    });
}

} // namespace

int rollout_start(AdminContext& ctx) {
    Rollout r;
    r.version = ctx.args[0];
    int64_t percent = 1;
    std::string description = ctx.config.update_description;
    for (size_t i = 1; i < ctx.args.size(); i += 2) {
        const std::string& flag = ctx.args[i];
        if (i + 1 >= ctx.args.size())
            return fail(ctx, flag + " needs a value", kUsage);
        const std::string& value = ctx.args[i + 1];
        if (flag == "--file")
            r.file = value;
        else if (flag == "--signature")
            r.signature = value;
        else if (flag == "--description")
            description = value;
        else if (flag != "--percent" || !parse_percent(value, percent))
            return fail(ctx,
                        "rollout start takes --file, --signature, --description and "
                        "--percent (0 to 100)",
                        kUsage);
    }
    if (!valid_rollout_version(r.version))
        return fail(ctx, "the version must be digits and dots (1.002)", kUsage);
    if (r.file.empty() || r.signature.empty())
        return fail(ctx, "rollout start needs --file and --signature", kUsage);
    const std::optional<std::string> gbk = status_field(description);
    if (!gbk)
        return fail(ctx,
                    "the description must be UTF-8 text that GBK can hold, without '|' or "
                    "control characters",
                    kUsage);
    struct stat st {};
    if (::stat(r.file.c_str(), &st) != 0 || !S_ISREG(st.st_mode) || st.st_size == 0)
        return fail(ctx, "--file " + r.file + " is not a file with something in it", kUsage);
    // Checked here for its 64 bytes; only the client can check it against the key.
    std::string signature, error;
    if (!update_signature(UpdateSigning{r.file, "", r.signature, r.version}, signature, error))
        return fail(ctx, error, kUsage);
    // The servers read them from their own working directories.
    std::error_code ec;
    r.file = std::filesystem::absolute(r.file, ec).string();
    r.signature = std::filesystem::absolute(r.signature, ec).string();
    r.description = *gbk;
    r.percent = percent;
    r.started = now_seconds();
    Store* store = ctx.open();
    if (!store)
        return kNotFound;
    if (!store->start_rollout(r)) {
        const std::optional<Rollout> live = store->live_rollout();
        return fail(ctx,
                    "the rollout of " + (live ? live->version : std::string("another version")) +
                        " is live: finish or pull it first",
                    kNotFound);
    }
    std::fprintf(ctx.out, "rollout of %s started at %lld %%\n", r.version.c_str(),
                 static_cast<long long>(r.percent));
    return kDone;
}

int rollout_percent(AdminContext& ctx) {
    int64_t percent = 0;
    if (!parse_percent(ctx.args[0], percent))
        return fail(ctx, "rollout percent takes a whole number from 0 to 100", kUsage);
    return change_live(ctx, [&](Rollout& r, std::string& refused) {
        if (r.state != RolloutState::Running) {
            refused = "it is paused: resume it first";
            return false;
        }
        r.percent = percent;
        return true;
    });
}

int rollout_pause(AdminContext& ctx) {
    return to_state(ctx, RolloutState::Running, RolloutState::Paused);
}

int rollout_resume(AdminContext& ctx) {
    return to_state(ctx, RolloutState::Paused, RolloutState::Running);
}

int rollout_pull(AdminContext& ctx) {
    return to_end(ctx, RolloutState::Pulled);
}

int rollout_finish(AdminContext& ctx) {
    return to_end(ctx, RolloutState::Finished);
}

int rollout_status(AdminContext& ctx) {
    Store* store = ctx.open();
    if (!store)
        return kNotFound;
    const std::optional<Rollout> released = store->released_rollout();
    std::fprintf(
        ctx.out, "release: %s\n",
        released
            ? (released->version + " (finished " + utc_time_text(released->changed) + ")").c_str()
            : "as the servers' settings name it");
    const std::optional<Rollout> r = store->live_rollout();
    if (!r) {
        std::fprintf(ctx.out, "no rollout is live\n");
        return kDone;
    }
    const RolloutSignals n = store->rollout_signals(r->version);
    std::fprintf(ctx.out,
                 "version: %s\nstate: %s\npercent: %lld\nfile: %s\nsignature: %s\n"
                 "description: %s\nstarted: %s\nchanged: %s\n",
                 r->version.c_str(), rollout_state_name(r->state),
                 static_cast<long long>(r->percent), r->file.c_str(), r->signature.c_str(),
                 gbk_to_utf8(r->description).value_or("?").c_str(),
                 utc_time_text(r->started).c_str(), utc_time_text(r->changed).c_str());
    if (!r->halt_reason.empty())
        std::fprintf(ctx.out, "paused itself: %s\n", r->halt_reason.c_str());
    std::fprintf(ctx.out,
                 "installs offered: %lld\ninstalls that fetched it whole: %lld\n"
                 "installs that fetched it again within a day: %lld\n",
                 static_cast<long long>(n.offered), static_cast<long long>(n.complete),
                 static_cast<long long>(n.repeated));
    return kDone;
}

} // namespace server
