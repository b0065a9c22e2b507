#include "app/handshake_win.h"

#include "app/app_state.h"
#include "app/program_win.h"
#include "app/pump_delay.h"
#include "app/status_record.h"
#include "app/version.h"
#include "build_config.h"
#include "protocol/server_request_win.h"
#include "ui/controls_win.h"
#include "ui/gbk_win.h"
#include "ui/info_box_win.h"
#include "ui/main_window_win.h"
#include "ui/ui_thread_win.h"
#include "update/update_window_win.h"

#include <windows.h>

#include <atomic>

namespace {

std::string g_endpoint_override;
std::atomic<bool> g_started{false};

DWORD WINAPI handshake_worker(LPVOID) {
    AppState& s = app();
    if (server_request("c") != "ConnectionOk") {
        s.handshake_failed.store(1, std::memory_order_relaxed);
    } else {
        std::vector<std::string> record = split_status_record(server_request("5"));
        const bool complete = record.size() == kStatusFieldCount;
        s.status_record = std::move(record);
        if (complete) {
            // Control changes are carried out on the UI thread, which is
            // waiting in the status step's message-pumping slices.
            ui::run_on_ui_thread([] {
                HWND w = main_window();
                for (const char* name : {"按钮_A", "按钮_B", "按钮_D", "按钮_登录"}) {
                    ui::set_disabled(w, name, false);
                }
                ui::set_text(w, "标签_连接状态", gbk("连接成功"));
                run_navigation_action("按钮_A");
            });
        } else {
            s.handshake_failed.store(1, std::memory_order_relaxed);
        }
    }
    // Publishes the record and the failed flag to the status step.
    s.handshake_done.store(1, std::memory_order_release);
    return 0;
}

void status_step() {
    AppState& s = app();
    while (!(s.handshake_done.load(std::memory_order_acquire) & 1)) {
        pump_delay(500, kMilliseconds);
    }
    HWND w = main_window();
    if (s.handshake_failed.load(std::memory_order_relaxed)) {
        ui::set_text(w, "标签_连接状态", gbk("连接服务器失败"));
        return;
    }
    const std::string version = status_field(s.status_record, 2);
    if (version != kClientVersion) {
        info_box(gbk("发现新版本，请立刻更新"));
        open_update_window();
        DestroyWindow(w);
        return;
    }
    const std::string announcement = status_field(s.status_record, 5);
    if (!announcement.empty()) {
        RECT r;
        GetWindowRect(w, &r);
        ui::set_left(w, "标签_公告", r.right - r.left);
        ui::set_visible(w, "标签_公告", true);
        ui::set_width(w, "标签_公告",
                      static_cast<int>(8.0 * static_cast<double>(announcement.size())));
        ui::set_text(w, "标签_公告", announcement);
        ui::set_interval(w, "时钟_公告移动", 20);
    }
    ui::set_text(w, "标签_版本", version);
}

} // namespace

void set_endpoint_override(std::string url) {
    g_endpoint_override = std::move(url);
}

void handshake_start() {
    // One handshake per run: no second worker may ever write the status record.
    if (g_started.exchange(true)) {
        return;
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
    status_step();
}
