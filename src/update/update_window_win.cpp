#include "update/update_window_win.h"

#include "app/app_state.h"
#include "protocol/status_record.h"
#include "shadow/shadow_win.h"
#include "ui/controls_win.h"
#include "ui/forms_win.h"
#include "ui/gbk_win.h"
#include "ui/main_window_win.h"
#include "ui/palette_win.h"
#include "platform/ui_thread_win.h"
#include "update/download_file_win.h"
#include "update/downloader_win.h"
#include "update/update_progress.h"
#include "update/update_state.h"
#include "update/update_trust.h"
#include "../../res/resource.h"
#include "build_config.h"

#include <shellapi.h>

#include <atomic>
#include <optional>
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

void start_with_shell(const std::string& path) {
    ShellExecuteW(nullptr, nullptr, widen(path).c_str(), nullptr, nullptr, SW_SHOWNORMAL);
}

uint32_t download_bytes() {
    const UpdateState& u = update_state();
    return u.download ? u.download->bytes_received() : 0;
}

// The window's own state in one owner: the open window, how the program ends
// once the finished file is started (the application's routine), and what
// tests put in place of the shell, the download's byte count and the key.
struct WindowState {
    std::atomic<HWND> window{nullptr};
    void (*end_program)(int32_t) = nullptr;
    void (*shell_start)(const std::string&) = start_with_shell;
    uint32_t (*bytes_source)() = download_bytes;
    std::optional<std::string> public_key_override;
};

// Never destroyed: a download thread left running at exit may still read it.
WindowState& state() {
    static WindowState* s = new WindowState();
    return *s;
}

// The publisher's key (64 bytes) that updates must be signed with; empty when
// this build takes updates unsigned. The build checked the text's form.
std::string update_public_key() {
    if (state().public_key_override) {
        return *state().public_key_override;
    }
    std::string key;
    update_trust::parse_public_key(TARNIX_UPDATE_PUBLIC_KEY, key);
    return key;
}

// Downloading: the label and the bar replace the start button.
void show_downloading(HWND w) {
    ui::set_visible(w, kLabel, true);
    ui::set_visible(w, kProgressBar, true);
    ui::set_visible(w, kBox, false);
    ui::set_disabled(w, kButton, true);
}

// Back to the start button.
void show_button(HWND w) {
    ui::set_visible(w, kLabel, false);
    ui::set_visible(w, kProgressBar, false);
    ui::set_visible(w, kBox, true);
    ui::set_disabled(w, kButton, false);
}

DWORD WINAPI refused_start_main(LPVOID) {
    // The component gave no task: the same end as a download that failed.
    update_event_handler(kDownloadEventEnded, 0, 0, 0, 0);
    return 0;
}

void on_start_clicked() {
    HWND w = state().window.load();
    UpdateState& s = update_state();
    if (ui::text(w, kButton) == gbk("更新完成")) {
        state().shell_start(s.local_update_file_path);
        if (state().end_program) {
            state().end_program(0);
        }
        return;
    }
    DownloadTaskParams& p = s.download_params;
    set_update_download_values(p, s.update_download_url, s.local_update_file_path,
                               update_event_handler);
    // The new file must be a program, signed (with a key built in) for the
    // version the server announced.
    FileAcceptance acceptance;
    acceptance.public_key = update_public_key();
    acceptance.version = status_field(app().status_record, 2);
    bool started = s.download && s.download->start_task(p, acceptance);
    show_downloading(w);
    ui::set_interval(w, kTimer, 1000);
    if (!started) {
        HANDLE th = CreateThread(nullptr, 0, refused_start_main, nullptr, 0, nullptr);
        if (th) {
            CloseHandle(th);
        }
    }
}

void on_close_clicked() {
    if (HWND w = state().window.load()) {
        DestroyWindow(w);
    }
}

const ui::FormDef& update_form() {
    static const ui::FormDef def = [] {
        ui::FormDef d{L"TarnixUpdateWindow", "在线更新", kWidth, kHeight};
        d.controls = kLayout;
        d.bindings = {
            {kButton, Event::Clicked, on_start_clicked},
            {kTimer, Event::Tick, update_progress_tick},
            {"按钮_关闭", Event::Clicked, on_close_clicked},
        };
        d.on_destroy = [](HWND hwnd) {
            HWND expected = hwnd;
            state().window.compare_exchange_strong(expected, nullptr);
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
    return state().window.load();
}

HWND open_update_window(void (*end_program)(int32_t)) {
    state().end_program = end_program;
    HWND w = ui::build_form(update_form());
    if (!w) {
        return nullptr;
    }
    state().window.store(w);
    UpdateState& s = update_state();
    const std::vector<std::string>& record = app().status_record;
    shadow_setup(w, 0);
    ui::set_visible(w, kLabel, false);
    ui::set_visible(w, kProgressBar, false);
    s.update_download_url = update::download_url(status_field(record, 3));
    ui::set_text(w, "编辑框1", status_field(record, 4));
    s.local_update_file_path = update::local_file_path(current_directory(), main_window_caption());
    ui::center_on_screen(w);
    ShowWindow(w, SW_SHOW);
    UpdateWindow(w);
    return w;
}

void update_progress_tick() {
    HWND w = state().window.load();
    const int64_t expected = update_state().update_expected_size.load();
    if (!w || expected == 0) {
        return;
    }
    const uint32_t received = state().bytes_source();
    ui::set_progress(w, kProgressBar, update::progress_position(received, expected));
    ui::set_text(w, kLabel, update::progress_text(ui::progress(w, kProgressBar)));
    if (ui::progress(w, kProgressBar) == 1000 &&
        part_file::size_at(widen(update_state().local_update_file_path)) == expected) {
        ui::set_interval(w, kTimer, 0);
    }
}

int32_t update_event_handler(int32_t kind, int32_t, int32_t value, int32_t extra, int32_t) {
    UpdateState& s = update_state();
    if (kind == kDownloadEventSize) {
        s.update_expected_size.store(value);
        return 0;
    }
    if (kind != kDownloadEventEnded) {
        return 0;
    }
    HWND w = state().window.load();
    const int64_t expected = s.update_expected_size.load();
    // Finished only when every announced byte arrived and the file in place has
    // the announced size; a broken download must never be started.
    const bool finished = expected != 0 && extra == 1 &&
                          static_cast<int64_t>(static_cast<uint32_t>(value)) == expected &&
                          part_file::size_at(widen(s.local_update_file_path)) == expected;
    if (finished) {
        // The task's byte count is gone once this handler returns, and a download
        // faster than the tick has shown no progress yet: show its end and stop
        // the tick here, so that no later tick takes the finish back as 0%.
        ui::set_progress(w, kProgressBar, 1000);
        ui::set_text(w, kLabel, update::progress_text(1000));
        ui::set_interval(w, kTimer, 0);
        download_task_wait(1000);
        ui::set_text(w, kLabel, gbk("程序文件更新完毕"));
        download_task_wait(1000);
        // The caption first: once enabled, a click must start the new file.
        ui::set_text(w, kButton, gbk("更新完成"));
        show_button(w);
        return 0;
    }
    // A failed attempt leaves no size behind: the next one starts as the first did.
    s.update_expected_size.store(0);
    ui::set_text(w, kLabel, gbk("请稍后再试！"));
    download_task_wait(1000);
    show_button(w);
    return 0;
}

void set_update_shell_start(void (*start)(const std::string&)) {
    state().shell_start = start ? start : start_with_shell;
}

void set_update_public_key(std::optional<std::string> hex) {
    state().public_key_override.reset();
    if (hex) {
        std::string key;
        update_trust::parse_public_key(*hex, key);
        state().public_key_override = key;
    }
}

void set_update_bytes_source(uint32_t (*bytes_received)()) {
    state().bytes_source = bytes_received ? bytes_received : download_bytes;
}
