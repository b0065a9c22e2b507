// The security event record's commands: list, verify, prune (events.h).
#include "base/charset.h"
#include "base/clock.h"
#include "base/crypto.h"
#include "base/text.h"
#include "ops/admin_context.h"

#include <climits>
#include <ctime>

namespace server {
namespace {

constexpr size_t kListLimit = 100000;
constexpr size_t kBatch = 1000;

// A time as an operator writes it: seconds since the epoch, or a UTC date with an
// optional time ("2026-12-09", "2026-12-09 21:30", "2026-12-09T21:30:00").
bool parse_time(const std::string& text, int64_t& out) {
    if (parse_integer(text, out))
        return true;
    for (const char* format : {"%Y-%m-%d %H:%M:%S", "%Y-%m-%dT%H:%M:%S", "%Y-%m-%d %H:%M",
                               "%Y-%m-%dT%H:%M", "%Y-%m-%d"}) {
        std::tm tm{};
        const char* end = strptime(text.c_str(), format, &tm);
        if (end && *end == '\0') {
            out = static_cast<int64_t>(timegm(&tm));
            return true;
        }
    }
    return false;
}

bool need_key(AdminContext& ctx) {
    if (!ctx.config.event_key.empty())
        return true;
    std::fprintf(ctx.err,
                 "tarnix-server admin: %s needs --events-key-file (the servers' own "
                 "setting)\n",
                 ctx.command.c_str());
    return false;
}

} // namespace

// One line each, tab-separated: number, time (UTC), kind, account, client, instance,
// detail; the oldest first.
int events_list(AdminContext& ctx) {
    std::optional<std::string> account;
    int64_t since = 0;
    for (size_t i = 0; i < ctx.args.size(); i += 2) {
        const bool has_value = i + 1 < ctx.args.size();
        if (ctx.args[i] == "--account" && has_value) {
            account = utf8_to_gbk(ctx.args[i + 1]);
            if (!account) {
                std::fprintf(ctx.err,
                             "tarnix-server admin: %s is not UTF-8 text that GBK can "
                             "hold\n",
                             ctx.args[i + 1].c_str());
                return kAdminUsage;
            }
        } else if (ctx.args[i] == "--since" && has_value && parse_time(ctx.args[i + 1], since)) {
        } else {
            std::fprintf(ctx.err, "tarnix-server admin: events list takes --account NAME and "
                                  "--since TIME (seconds since 1970, or a UTC date and time "
                                  "such as 2026-12-09 or \"2026-12-09 21:30\")\n");
            return kAdminUsage;
        }
    }
    Store* store = ctx.open();
    if (!store)
        return kAdminNotFound;
    for (const EventRecord& r : store->list_events(account, since, kListLimit))
        std::fprintf(ctx.out, "%lld\t%s\t%s\t%s\t%s\t%s\t%s\n", static_cast<long long>(r.seq),
                     utc_time_text(r.event.at).c_str(), r.event.kind.c_str(),
                     printable(r.event.account).c_str(), printable(r.event.client).c_str(),
                     printable(r.instance).c_str(), printable(r.event.detail).c_str());
    return kAdminDone;
}

// Reads the whole chain in order, a batch at a time, and says what is wrong; the head
// is printed, so a later verify can be compared with it (cutting records off the end
// together with the head is the one change the chain cannot show by itself).
int events_verify(AdminContext& ctx) {
    if (!need_key(ctx))
        return kAdminUsage;
    Store* store = ctx.open();
    if (!store)
        return kAdminNotFound;
    const EventChain chain = store->event_chain();
    EventVerifier verifier(ctx.config.event_key, chain);
    // From the very first record: one put at or before the anchor is found too.
    int64_t after = INT64_MIN;
    for (;;) {
        const std::vector<EventRecord> batch = store->events_after(after, kBatch);
        for (const EventRecord& r : batch)
            verifier.next(r);
        if (batch.size() < kBatch)
            break;
        after = batch.back().seq;
    }
    const std::vector<std::string> problems = verifier.finish();
    for (const std::string& p : problems)
        std::fprintf(ctx.out, "BROKEN: %s\n", p.c_str());
    std::fprintf(ctx.out, "%s: %lld records checked; head %lld %s%s\n",
                 problems.empty() ? "ok" : "broken", static_cast<long long>(verifier.checked()),
                 static_cast<long long>(chain.head_seq), hex_lower(chain.head_mac).c_str(),
                 chain.anchor_seq > 0
                     ? (", starting after record " + std::to_string(chain.anchor_seq) +
                        " (removed by retention)")
                           .c_str()
                     : "");
    return problems.empty() ? kAdminDone : kAdminNotFound;
}

int events_prune(AdminContext& ctx) {
    if (!need_key(ctx))
        return kAdminUsage;
    if (ctx.config.event_retention_seconds <= 0) {
        std::fprintf(ctx.err, "tarnix-server admin: events prune needs --event-retention-days\n");
        return kAdminUsage;
    }
    Store* store = ctx.open();
    if (!store)
        return kAdminNotFound;
    const int64_t now = now_seconds();
    const int64_t removed = store->prune_events(now - ctx.config.event_retention_seconds, now,
                                                ctx.config.event_key, ctx.config.instance);
    std::fprintf(ctx.out, "removed %lld records older than %lld days\n",
                 static_cast<long long>(removed),
                 static_cast<long long>(ctx.config.event_retention_seconds / kDaySeconds));
    return kAdminDone;
}

} // namespace server
