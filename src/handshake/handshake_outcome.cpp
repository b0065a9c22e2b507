#include "handshake/handshake_outcome.h"

#include "protocol/status_record.h"

StatusView read_status(bool failed, const std::vector<std::string>& record,
                       std::string_view own_version) {
    StatusView view;
    if (failed) {
        return view;
    }
    view.version = status_field(record, 2);
    if (view.version != own_version) {
        view.outcome = HandshakeOutcome::NewVersion;
        return view;
    }
    view.outcome = HandshakeOutcome::Connected;
    view.announcement = status_field(record, 5);
    view.announcement_width = static_cast<int>(8.0 * static_cast<double>(view.announcement.size()));
    return view;
}
