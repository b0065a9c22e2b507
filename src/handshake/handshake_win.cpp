#include "handshake/handshake_win.h"

#include "app/app_state.h"
#include "app/version.h"
#include "platform/handles_win.h"
#include "platform/message_loop_win.h"
#include "platform/pump_delay.h"
#include "platform/ui_thread_win.h"
#include "protocol/server_request_win.h"
#include "protocol/status_record.h"
#include "ui/controls_win.h"
#include "ui/gbk_win.h"
#include "ui/main_window_win.h"

#include <memory>
#include <vector>

using namespace main_names;

namespace {

// The worker's own copy of what it needs and what it finds. It is shared, so
// the worker never reads state the exit routine releases.
struct WorkerData {
    std::string endpoint;
    std::vector<std::string> record;
};

DWORD WINAPI handshake_worker(LPVOID arg) {
    std::shared_ptr<WorkerData> data(std::move(*static_cast<std::shared_ptr<WorkerData>*>(arg)));
    delete static_cast<std::shared_ptr<WorkerData>*>(arg);
    AppState& s = app();
    bool failed = true;
    if (server_request(data->endpoint, "c") == "ConnectionOk") {
        data->record = split_status_record(server_request(data->endpoint, "5"));
        failed = data->record.size() != kStatusFieldCount;
    }
    if (failed) {
        s.handshake_failed.store(1, std::memory_order_relaxed);
    }
    // Publishes the record and the failed flag to the status step.
    s.handshake_done.store(1, std::memory_order_release);
    return 0;
}

// The navigation opens and the sign-in page shows.
void show_connected(HWND w) {
    for (const char* name : {kNavHome, kNavSignUp, kNavPassword, kSignIn}) {
        ui::set_disabled(w, name, false);
    }
    ui::set_text(w, kConnectionState, gbk("连接成功"));
    run_navigation_action(kNavHome);
}

HandshakeOutcome status_step(WorkerData& data, bool only_forward) {
    AppState& s = app();
    while (!(s.handshake_done.load(std::memory_order_acquire) & 1)) {
        pump_delay(500, kMilliseconds);
    }
    if (ui::shutting_down()) {
        return HandshakeOutcome::Failed; // the exit routine ran: nothing to show or keep
    }
    // Written here, on the UI thread, where the exit routine releases it.
    s.status_record = std::move(data.record);
    HWND w = main_window();
    const StatusView view = read_status(s.handshake_failed.load(std::memory_order_relaxed) != 0,
                                        s.status_record, kClientVersion, only_forward);
    if (!view.kept_own_version.empty()) {
        OutputDebugStringW((L"Tarnix: no update: " + widen(view.kept_own_version) + L"\n").c_str());
    }
    if (view.outcome == HandshakeOutcome::Failed) {
        ui::set_text(w, kConnectionState, gbk("连接服务器失败"));
        return view.outcome;
    }
    show_connected(w);
    if (view.outcome == HandshakeOutcome::NewVersion) {
        return view.outcome;
    }
    if (!view.announcement.empty()) {
        ui::set_left(w, kAnnouncement, kMainWindowWidth);
        ui::set_visible(w, kAnnouncement, true);
        ui::set_width(w, kAnnouncement, view.announcement_width);
        ui::set_text(w, kAnnouncement, view.announcement);
        ui::set_interval(w, kAnnouncementTimer, 20);
    }
    ui::set_text(w, kVersion, view.version);
    return HandshakeOutcome::Connected;
}

} // namespace

HandshakeOutcome handshake_start(const std::string& endpoint, bool only_forward) {
    app().endpoint_url = endpoint;
    auto data = std::make_shared<WorkerData>();
    data->endpoint = endpoint;
    // The worker is started directly: the server's reachability is what the
    // worker's own first request tests.
    auto* arg = new std::shared_ptr<WorkerData>(data);
    platform::UniqueHandle worker(CreateThread(nullptr, 0, handshake_worker, arg, 0, nullptr));
    if (!worker) {
        delete arg;
        app().handshake_failed.store(1, std::memory_order_relaxed);
        app().handshake_done.store(1, std::memory_order_release);
    }
    return status_step(*data, only_forward);
}
