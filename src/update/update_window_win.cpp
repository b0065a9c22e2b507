#include "update/update_window_win.h"

#include "app/app_state.h"
#include "protocol/status_record.h"
#include "shadow/shadow_win.h"
#include "ui/controls_win.h"
#include "ui/forms_win.h"
#include "ui/gbk_win.h"
#include "ui/main_window_win.h"
#include "ui/palette_win.h"
#include "platform/handles_win.h"
#include "platform/message_loop_win.h"
#include "platform/pump_delay.h"
#include "update/download_file_win.h"
#include "update/downloader_win.h"
#include "update/update_flow.h"
#include "update/update_progress.h"
#include "update/update_state.h"
#include "update/update_trust.h"
#include "../../res/resource.h"
#include "build_config.h"

#include <shellapi.h>

#include <atomic>
#include <optional>
#include <string_view>
#include <vector>

namespace {

using ui::ControlDef;
using ui::Event;
using ui::Look;
using K = ui::ControlKind;

constexpr int kWidth = 350;
constexpr int kHeight = 280;

using namespace palette;

const Look kTitle{kWhite, kNone, kNone, kNone, kNone, kNone, {"微软雅黑", -16, 700}};
const Look kDescription{kBlack, kWhite};
const Look kProgressLabel{kBlack, kWhite, kNone, kNone, kNone, kNone, {"微软雅黑", -14, 400}};

constexpr char kBox[] = "图片框_开始更新";
constexpr char kButton[] = "按钮_开始更新";
constexpr char kProgressBar[] = "进度条_更新进度";
constexpr char kLabel[] = "标签_更新进度";
constexpr char kTimer[] = "时钟1";

// The layout. Columns: name, kind, parent, page, left, top, width,
// height, caption, look, flags, edit limit, tab order, tooltip, image.
const std::vector<ControlDef> kLayout = {
    {"图片框_导航", K::PictureBox, nullptr, -1, 0, 0, 350, 100, nullptr, &kBar},
    {"图片框_TX", K::PictureBox, "图片框_导航", -1, 60, 14, 84, 72, nullptr, &kBar, 0, 0, -1,
     nullptr, IDR_LOGO},
    {"透明标签4", K::TransparentLabel, "图片框_导航", -1, 145, 45, 120, 35, "TX - 在线更新",
     &kTitle, ui::kDisabled},
    {"按钮_关闭", K::SuperButton, "图片框_导航", -1, 315, 5, 30, 30, "×", &kWindowButton, 0, 0, -1,
     "关闭"},
    {kTimer, K::Timer, nullptr, -1, 0, 0, 0, 0},
    {"编辑框1", K::Edit, nullptr, -1, 50, 110, 250, 100, "", &kDescription,
     ui::kMultiLine | ui::kReadOnly},
    {kProgressBar, K::ProgressBar, nullptr, -1, 50, 215, 250, 10},
    {kLabel, K::Label, nullptr, -1, 0, 230, 350, 30, "正在加载资源……", &kProgressLabel,
     ui::kCentered},
    {kBox, K::PictureBox, nullptr, -1, 115, 230, 120, 30, nullptr, &kButtonFrame},
    {kButton, K::SuperButton, kBox, -1, 1, 1, 118, 28, "开始更新", &kActionButton},
};

// The update window's controls for the flow. Safe from any thread: the
// control layer carries changes asked for elsewhere out on the UI thread.
class WindowView : public update::UpdateView {
public:
    explicit WindowView(const std::atomic<HWND>& window) : window_(window) {}
    int32_t progress() override { return ui::progress(w(), kProgressBar); }
    void set_progress(int32_t position) override { ui::set_progress(w(), kProgressBar, position); }
    void set_label(const std::string& text) override { ui::set_text(w(), kLabel, text); }
    std::string button_caption() override { return ui::text(w(), kButton); }
    void set_button_caption(const std::string& text) override { ui::set_text(w(), kButton, text); }
    void set_tick_interval(uint32_t ms) override { ui::set_interval(w(), kTimer, ms); }
    void show_downloading() override { show(true); }
    void show_start_button() override { show(false); }

private:
    HWND w() const { return window_.load(); }
    void show(bool downloading) {
        ui::set_visible(w(), kLabel, downloading);
        ui::set_visible(w(), kProgressBar, downloading);
        ui::set_visible(w(), kBox, !downloading);
        ui::set_disabled(w(), kButton, downloading);
    }
    const std::atomic<HWND>& window_;
};

DWORD WINAPI refused_start_main(LPVOID) {
    // The component gave no task: the same end as a download that failed.
    update_event_handler(kDownloadEventEnded, 0, 0, 0, 0);
    return 0;
}

// The window's own state in one owner: the open window, how the program ends
// once the finished file is started (the application's routine), the key the
// new file must be signed with, and the flow with its view and host.
class WindowOwner : public update::UpdateHost {
public:
    std::atomic<HWND> window{nullptr};
    void (*end_program)(int32_t) = nullptr;
    // The publisher's key (64 bytes); empty when updates are taken unsigned;
    // none when the key given was not a key, and then no update is taken.
    std::optional<std::string> public_key;
    // The local update file path as it was when the window opened.
    std::wstring target;
    WindowView view{window};
    update::UpdateFlow flow{view, *this, update_state().update_expected_size};

    bool start_download() override {
        UpdateState& s = update_state();
        DownloadTaskParams& p = s.download_params;
        set_update_download_values(p, s.update_download_url, s.local_update_file_path,
                                   update_event_handler);
        // The new file must be a program, signed (with a key) for the version
        // the server announced.
        if (!public_key) {
            return false;
        }
        FileAcceptance acceptance;
        acceptance.public_key = *public_key;
        acceptance.version = status_field(app().status_record, 2);
        return s.download && s.download->start_task(p, acceptance);
    }
    void end_refused_start() override {
        platform::UniqueHandle th(
            CreateThread(nullptr, 0, refused_start_main, nullptr, 0, nullptr));
    }
    void start_file_and_end() override {
        ShellExecuteW(nullptr, nullptr, widen(update_state().local_update_file_path).c_str(),
                      nullptr, nullptr, SW_SHOWNORMAL);
        if (end_program) {
            end_program(0);
        }
    }
    uint32_t bytes_received() override {
        const UpdateState& u = update_state();
        return u.download ? u.download->bytes_received() : 0;
    }
    int64_t file_size() override { return part_file::size_at(target); }
    void pause(uint32_t ms) override { pump_delay(static_cast<int32_t>(ms), kMilliseconds); }
};

// Never destroyed: a download thread left running at exit may still use it.
WindowOwner& owner() {
    static WindowOwner* s = new WindowOwner();
    return *s;
}

void on_start_clicked() {
    owner().flow.click();
}

void on_tick() {
    if (owner().window.load()) {
        owner().flow.tick();
    }
}

void on_close_clicked() {
    if (HWND w = owner().window.load()) {
        DestroyWindow(w);
    }
}

const ui::FormDef& update_form() {
    static const ui::FormDef def = [] {
        ui::FormDef d{L"TarnixUpdateWindow", "在线更新", kWidth, kHeight};
        d.controls = kLayout;
        d.bindings = {
            {kButton, Event::Clicked, on_start_clicked},
            {kTimer, Event::Tick, on_tick},
            {"按钮_关闭", Event::Clicked, on_close_clicked},
        };
        d.on_destroy = [](HWND hwnd) {
            HWND expected = hwnd;
            owner().window.compare_exchange_strong(expected, nullptr);
        };
        return d;
    }();
    return def;
}

std::string current_directory() {
    wchar_t buf[MAX_PATH + 1];
    DWORD n = GetCurrentDirectoryW(MAX_PATH + 1, buf);
    if (n == 0 || n > MAX_PATH) {
        return std::string();
    }
    return narrow(std::wstring_view(buf, n));
}

std::string main_window_caption() {
    HWND m = main_window();
    if (!m) {
        return "Tarnix"; // the main window's caption, for a window opened without it
    }
    wchar_t buf[256];
    int n = GetWindowTextW(m, buf, 256);
    return narrow(std::wstring_view(buf, n > 0 ? static_cast<size_t>(n) : 0));
}

} // namespace

HWND update_window() {
    return owner().window.load();
}

HWND open_update_window(void (*end_program)(int32_t)) {
    return open_update_window(end_program, TARNIX_UPDATE_PUBLIC_KEY);
}

HWND open_update_window(void (*end_program)(int32_t), std::string_view public_key_hex) {
    WindowOwner& o = owner();
    o.end_program = end_program;
    std::string key;
    o.public_key.reset();
    if (update_trust::parse_public_key(public_key_hex, key)) {
        o.public_key = key;
    }
    HWND w = ui::build_form(update_form());
    if (!w) {
        return nullptr;
    }
    o.window.store(w);
    UpdateState& s = update_state();
    const std::vector<std::string>& record = app().status_record;
    shadow_setup(w, 0);
    ui::set_visible(w, kLabel, false);
    ui::set_visible(w, kProgressBar, false);
    s.update_download_url = update::download_url(status_field(record, 3));
    ui::set_text(w, "编辑框1", status_field(record, 4));
    s.local_update_file_path = update::local_file_path(current_directory(), main_window_caption());
    o.target = widen(s.local_update_file_path);
    ui::center_on_screen(w);
    ShowWindow(w, SW_SHOW);
    UpdateWindow(w);
    return w;
}

int32_t update_event_handler(int32_t kind, int32_t, int32_t value, int32_t extra, int32_t) {
    return owner().flow.event(kind, value, extra);
}
