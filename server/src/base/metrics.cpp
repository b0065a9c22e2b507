#include "base/metrics.h"

#include "base/version.h"

#include <cstdio>
#include <exception>

namespace server {
namespace {

const char* const kCommandLabels[] = {"connect", "status",          "challenge", "sign_in",
                                      "sign_up", "change_password", "send_code", "other"};
const char* const kOutcomeLabels[] = {"ok",           "invalid", "wrong",    "locked",
                                      "exists",       "no_code", "too_soon", "no_challenge",
                                      "rate_limited", "error"};
static_assert(sizeof kCommandLabels / sizeof *kCommandLabels ==
              static_cast<size_t>(Command::Count));
static_assert(sizeof kOutcomeLabels / sizeof *kOutcomeLabels ==
              static_cast<size_t>(Outcome::Count));

// The commands with a per-address budget, whose refusals are counted apart.
const Command kBudgeted[] = {Command::Challenge, Command::SignIn, Command::ChangePassword,
                             Command::SendCode};

void family(std::string& out, const char* name, const char* type, const char* help) {
    out += "# HELP ";
    out += name;
    out += ' ';
    out += help;
    out += "\n# TYPE ";
    out += name;
    out += ' ';
    out += type;
    out += '\n';
}

void sample(std::string& out, const std::string& name_and_labels, uint64_t value) {
    out += name_and_labels;
    out += ' ';
    out += std::to_string(value);
    out += '\n';
}

std::string bound_text(double bound) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "%g", bound);
    return buf;
}

// The live rollout's figures, over every instance on the database, by its version.
void render_rollouts(std::string& out, const std::function<std::vector<RolloutFigures>()>& read) {
    if (!read)
        return;
    std::vector<RolloutFigures> rollouts;
    try {
        rollouts = read();
    } catch (const std::exception&) {
        return; // the database is down: as the other gauges
    }
    struct Family {
        const char* name;
        const char* help;
        int64_t RolloutFigures::*field;
    };
    static const Family kFamilies[] = {
        {"tarnix_rollout_percent", "The live rollout's share of installs, in percent.",
         &RolloutFigures::percent},
        {"tarnix_rollout_installs_offered", "Installs the rollout's version was offered to.",
         &RolloutFigures::offered},
        {"tarnix_rollout_installs_fetched",
         "Installs that fetched the version's whole file and its signature.",
         &RolloutFigures::complete},
        {"tarnix_rollout_installs_repeated",
         "Installs that fetched the version again within a day of a complete fetch.",
         &RolloutFigures::repeated},
    };
    for (const Family& f : kFamilies) {
        family(out, f.name, "gauge", f.help);
        for (const RolloutFigures& r : rollouts)
            sample(out,
                   std::string(f.name) + "{version=\"" + r.version + "\",state=\"" + r.state +
                       "\"}",
                   r.*f.field < 0 ? 0 : static_cast<uint64_t>(r.*f.field));
    }
}

} // namespace

constexpr double Metrics::kBuckets[];

const char* command_label(Command c) {
    return kCommandLabels[static_cast<size_t>(c)];
}

const char* outcome_label(Outcome o) {
    return kOutcomeLabels[static_cast<size_t>(o)];
}

void Metrics::request(Command c, Outcome o, double seconds) {
    const size_t ci = static_cast<size_t>(c);
    requests_[ci][static_cast<size_t>(o)].fetch_add(1, std::memory_order_relaxed);
    size_t b = 0;
    while (b < kBucketCount && seconds > kBuckets[b])
        ++b;
    buckets_[ci][b].fetch_add(1, std::memory_order_relaxed);
    micros_[ci].fetch_add(static_cast<uint64_t>(seconds * 1e6), std::memory_order_relaxed);
    if (o == Outcome::Error)
        store_error();
}

std::string Metrics::render(const Gauges& gauges) const {
    std::string out;
    out.reserve(8192);
    const auto load = [](const Counter& c) { return c.load(std::memory_order_relaxed); };

    family(out, "tarnix_build_info", "gauge", "The server's version.");
    sample(out, "tarnix_build_info{version=\"" TARNIX_SERVER_VERSION "\"}", 1);

    family(out, "tarnix_requests_total", "counter", "Protocol requests answered.");
    for (size_t c = 0; c < kCommands; ++c) {
        for (size_t o = 0; o < kOutcomes; ++o) {
            const uint64_t n = load(requests_[c][o]);
            if (n != 0)
                sample(out,
                       std::string("tarnix_requests_total{command=\"") + kCommandLabels[c] +
                           "\",result=\"" + kOutcomeLabels[o] + "\"}",
                       n);
        }
    }

    family(out, "tarnix_request_duration_seconds", "histogram",
           "Time from a protocol request's arrival in full to its answer.");
    for (size_t c = 0; c < kCommands; ++c) {
        // One reading of each bucket, so +Inf is the sum of what is shown.
        uint64_t counts[kBucketCount + 1];
        uint64_t total = 0;
        for (size_t b = 0; b <= kBucketCount; ++b)
            total += counts[b] = load(buckets_[c][b]);
        if (total == 0)
            continue;
        const std::string prefix =
            std::string("tarnix_request_duration_seconds_bucket{command=\"") + kCommandLabels[c] +
            "\",le=\"";
        uint64_t cumulative = 0;
        for (size_t b = 0; b < kBucketCount; ++b) {
            cumulative += counts[b];
            sample(out, prefix + bound_text(kBuckets[b]) + "\"}", cumulative);
        }
        sample(out, prefix + "+Inf\"}", total);
        char sum[64];
        std::snprintf(sum, sizeof sum, "%.6f", static_cast<double>(load(micros_[c])) / 1e6);
        out += std::string("tarnix_request_duration_seconds_sum{command=\"") + kCommandLabels[c] +
               "\"} " + sum + "\n";
        sample(out,
               std::string("tarnix_request_duration_seconds_count{command=\"") + kCommandLabels[c] +
                   "\"}",
               total);
    }

    family(out, "tarnix_rate_limited_total", "counter",
           "Requests refused by a client address's budget.");
    for (Command c : kBudgeted)
        sample(out, std::string("tarnix_rate_limited_total{command=\"") + command_label(c) + "\"}",
               load(requests_[static_cast<size_t>(c)][static_cast<size_t>(Outcome::RateLimited)]));

    family(out, "tarnix_account_locks_total", "counter",
           "Accounts locked by wrong passwords in a row.");
    sample(out, "tarnix_account_locks_total", load(account_locks_));
    family(out, "tarnix_store_errors_total", "counter",
           "Operations the database failed (answered with the server error).");
    sample(out, "tarnix_store_errors_total", load(store_errors_));
    family(out, "tarnix_reset_mails_total", "counter",
           "Password recovery links handed to the mail queue.");
    sample(out, "tarnix_reset_mails_total", load(reset_mails_));
    family(out, "tarnix_password_resets_total", "counter",
           "Passwords set through a recovery link.");
    sample(out, "tarnix_password_resets_total", load(password_resets_));
    family(out, "tarnix_events_written_total", "counter",
           "Records this instance appended to the security event record.");
    sample(out, "tarnix_events_written_total", load(events_written_));
    family(out, "tarnix_new_device_notices_total", "counter",
           "Mails queued to tell an account's owner of a sign-in from a new device.");
    sample(out, "tarnix_new_device_notices_total", load(new_device_notices_));
    family(out, "tarnix_passwords_refused_total", "counter",
           "New passwords refused by the screen (sign-up, change, recovery page), by reason.");
    for (size_t r = 1; r < static_cast<size_t>(Refusal::Count); ++r)
        sample(out,
               std::string("tarnix_passwords_refused_total{reason=\"") +
                   refusal_label(static_cast<Refusal>(r)) + "\"}",
               load(refusals_[r]));

    const auto gauge = [&](const char* name, const char* type, const char* help,
                           const std::function<int64_t()>& read) {
        if (!read)
            return;
        int64_t v = 0;
        try {
            v = read();
        } catch (const std::exception&) {
            // The database is down: this figure sits out the scrape, the rest (the
            // store errors among them) still answer.
            return;
        }
        family(out, name, type, help);
        sample(out, name, v < 0 ? 0 : static_cast<uint64_t>(v));
    };
    gauge("tarnix_connections_open", "gauge", "Connections open on the public port.",
          gauges.connections_open);
    gauge("tarnix_mail_queue_depth", "gauge",
          "Mails waiting to be sent, in the whole queue (shared by the instances on one database).",
          gauges.mail_queue_depth);
    gauge("tarnix_mail_sent_total", "counter", "Mails the relay accepted from this instance.",
          gauges.mail_sent);
    gauge("tarnix_mail_abandoned_total", "counter",
          "Mails this instance gave up on: refused by the relay, or expired before they could be "
          "sent.",
          gauges.mail_abandoned);
    render_rollouts(out, gauges.rollouts);
    return out;
}

} // namespace server
