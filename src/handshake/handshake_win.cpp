#include "handshake/handshake_win.h"

#include "app/app_state.h"
#include "app/version.h"
#include "build_config.h"
#include "platform/message_loop_win.h"
#include "platform/pump_delay.h"
#include "platform/ui_thread_win.h"
#include "protocol/server_request_win.h"
#include "protocol/status_record.h"
#include "ui/controls_win.h"
#include "ui/gbk_win.h"
#include "ui/main_window_win.h"

#include <windows.h>

#include <atomic>

namespace {

std::string g_endpoint_override;
std::atomic<bool> g_started{false};

DWORD WINAPI handshake_worker(LPVOID) {
    AppState& s = app();
    if (server_request(s.endpoint_url, "c") != "ConnectionOk") {
        s.handshake_failed.store(1, std::memory_order_relaxed);
    } else {
        std::vector<std::string> record = split_status_record(server_request(s.endpoint_url, "5"));
        const bool complete = record.size() == kStatusFieldCount;
        s.status_record = std::move(record);
        if (complete) {
            // Control changes are carried out on the UI thread, which is
            // waiting in the status step's message-pumping slices.
            ui::run_on_ui_thread([] {
                HWND w = main_window();
                for (const char* name : {main_names::kNavHome, main_names::kNavSignUp,
                                         main_names::kNavPassword, main_names::kSignIn}) {
                    ui::set_disabled(w, name, false);
                }
                ui::set_text(w, main_names::kConnectionState, gbk("连接成功"));
                run_navigation_action(main_names::kNavHome);
            });
        } else {
            s.handshake_failed.store(1, std::memory_order_relaxed);
        }
    }
    // Publishes the record and the failed flag to the status step.
    s.handshake_done.store(1, std::memory_order_release);
    return 0;
}

HandshakeOutcome status_step() {
    AppState& s = app();
    while (!(s.handshake_done.load(std::memory_order_acquire) & 1)) {
        pump_delay(500, kMilliseconds);
    }
    HWND w = main_window();
    if (s.handshake_failed.load(std::memory_order_relaxed)) {
        ui::set_text(w, main_names::kConnectionState, gbk("连接服务器失败"));
        return HandshakeOutcome::Failed;
    }
    const std::string version = status_field(s.status_record, 2);
    if (version != kClientVersion) {
        return HandshakeOutcome::NewVersion;
    }
    const std::string announcement = status_field(s.status_record, 5);
    if (!announcement.empty()) {
        ui::set_left(w, main_names::kAnnouncement, kMainWindowWidth);
        ui::set_visible(w, main_names::kAnnouncement, true);
        ui::set_width(w, main_names::kAnnouncement,
                      static_cast<int>(8.0 * static_cast<double>(announcement.size())));
        ui::set_text(w, main_names::kAnnouncement, announcement);
        ui::set_interval(w, main_names::kAnnouncementTimer, 20);
    }
    ui::set_text(w, main_names::kVersion, version);
    return HandshakeOutcome::Connected;
}

} // namespace

void set_endpoint_override(std::string url) {
    g_endpoint_override = std::move(url);
}

HandshakeOutcome handshake_start() {
    // One handshake per run: no second worker may ever write the status record.
    if (g_started.exchange(true)) {
        return HandshakeOutcome::Failed;
    }
    app().endpoint_url = g_endpoint_override.empty() ? TARNIX_ENDPOINT_URL : g_endpoint_override;
    // The worker is started directly: the server's reachability is what the
    // worker's own first request tests.
    HANDLE worker = CreateThread(nullptr, 0, handshake_worker, nullptr, 0, nullptr);
    if (worker) {
        CloseHandle(worker);
    } else {
        app().handshake_failed.store(1, std::memory_order_relaxed);
        app().handshake_done.store(1, std::memory_order_release);
    }
    return status_step();
}
