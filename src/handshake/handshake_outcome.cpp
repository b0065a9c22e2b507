#include "handshake/handshake_outcome.h"

#include "handshake/version_order.h"
#include "protocol/status_record.h"

namespace {

// Why `version` (the server's) is no update for `own` (empty: it is one).
std::string why_not_newer(const std::string& version, std::string_view own) {
    const std::optional<int> order = version_order::compare(version, own);
    if (!order) {
        return "the server's version \"" + version + "\" is no version number";
    }
    if (*order <= 0) {
        return "the server's version " + version + (*order < 0 ? " is older than " : " equals ") +
               std::string(own);
    }
    return std::string();
}

} // namespace

StatusView read_status(bool failed, const std::vector<std::string>& record,
                       std::string_view own_version, bool only_forward) {
    StatusView view;
    if (failed) {
        return view;
    }
    view.version = status_field(record, 2);
    if (view.version != own_version) {
        if (!only_forward) {
            view.outcome = HandshakeOutcome::NewVersion;
            return view;
        }
        view.kept_own_version = why_not_newer(view.version, own_version);
        if (view.kept_own_version.empty()) {
            view.outcome = HandshakeOutcome::NewVersion;
            return view;
        }
        view.version = std::string(own_version);
    }
    view.outcome = HandshakeOutcome::Connected;
    view.announcement = status_field(record, 5);
    view.announcement_width = static_cast<int>(8.0 * static_cast<double>(view.announcement.size()));
    return view;
}
