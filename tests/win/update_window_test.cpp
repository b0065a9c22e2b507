#include "app/app_state.h"
#include "app/program_win.h"
#include "support/responder_win.h"
#include "support/files_win.h"
#include "support/process_win.h"
#include "support/update_signing_win.h"
#include "ui/controls_win.h"
#include "platform/dpi_win.h"
#include "ui/forms_win.h"
#include "ui/gbk_win.h"
#include "update/downloader_win.h"
#include "update/update_state.h"
#include "update/update_window_win.h"

#include <gtest/gtest.h>

#include <fstream>
#include <sstream>
#include <string>

using testsupport::BlobOptions;
using testsupport::file_exists;
using testsupport::read_file;
using testsupport::Responder;
using testsupport::wait_until;
using testsupport::write_file;

namespace {

constexpr char kButton[] = "按钮_开始更新";
constexpr char kBox[] = "图片框_开始更新";
constexpr char kLabel[] = "标签_更新进度";
constexpr char kBar[] = "进度条_更新进度";
constexpr char kTimer[] = "时钟1";

// A fresh current directory: the update file lands there as Tarnix.exe.
std::wstring enter_fresh_dir() {
    std::wstring dir = testsupport::fresh_temp_dir(L"tarnix-up-");
    SetCurrentDirectoryW(dir.c_str());
    return dir;
}

// The program as started, with a status record naming another version.
HWND open_with(const std::string& location,
               const std::string& description = gbk("修复了若干问题。"),
               const std::string& key_hex = "") {
    start_program();
    app().status_record = {gbk("Tarnix账号服务"), "1.002", location, description, "", "", "", ""};
    // Unsigned updates unless a test names a key: the build's own key is not
    // the tests' business.
    return open_update_window(end_program, key_hex);
}

std::string location_of(const Responder& server) {
    return server.url().substr(7);
}

bool ready_again(HWND w) {
    return ui::visible(w, kBox) && !ui::disabled(w, kButton) && !ui::visible(w, kLabel) &&
           !ui::visible(w, kBar);
}

// The finished state: the start button back, enabled, reading "更新完成".
bool finished(HWND w) {
    return ready_again(w) && ui::text(w, kButton) == gbk("更新完成");
}

} // namespace

TEST(UpdateWindow, OpensWithTheServersTexts) {
    std::wstring dir = enter_fresh_dir();
    HWND w =
        open_with(" 127.0.0.1:8866/download/Tarnix.exe ", gbk("新版本改进了登录和注册的体验。"));
    ASSERT_NE(w, nullptr);
    EXPECT_EQ(update_window(), w);
    // The trim works on the joined text: the space before the location stays.
    EXPECT_EQ(update_state().update_download_url, "http:// 127.0.0.1:8866/download/Tarnix.exe");
    EXPECT_EQ(update_state().local_update_file_path, narrow(dir) + "\\Tarnix.exe");
    EXPECT_EQ(ui::text(w, "编辑框1"), gbk("新版本改进了登录和注册的体验。"));
    EXPECT_EQ(ui::text(w, kButton), gbk("开始更新"));
    EXPECT_EQ(ui::text(w, kLabel), gbk("正在加载资源……"));
    EXPECT_TRUE(ready_again(w));
    EXPECT_EQ(ui::interval(w, kTimer), 0u);
    RECT r;
    GetWindowRect(w, &r);
    EXPECT_EQ(r.right - r.left, ui::scale_to(350, ui::form_dpi(w)));
    EXPECT_EQ(r.bottom - r.top, ui::scale_to(280, ui::form_dpi(w)));
    RECT work;
    SystemParametersInfoW(SPI_GETWORKAREA, 0, &work, 0);
    EXPECT_NEAR((r.left + r.right) / 2, (work.left + work.right) / 2, 1);
    EXPECT_NE(GetPropA(w, "WndShadow"), nullptr);
    EXPECT_EQ(GetWindow(w, GW_OWNER), nullptr);
    testsupport::save_screenshot("update_ready");

    // A location that carries its own scheme keeps it behind ours.
    app().status_record[2] = "http://127.0.0.1/a.exe";
    DestroyWindow(w);
    w = open_update_window(end_program, "");
    EXPECT_EQ(update_state().update_download_url, "http://http://127.0.0.1/a.exe");
}

TEST(UpdateWindow, DownloadsFollowsProgressAndFinishes) {
    std::wstring dir = enter_fresh_dir();
    std::string blob = testsupport::make_program_blob(3 * 1024 * 1024, 11);
    BlobOptions slow;
    slow.chunk_delay_ms = 200;
    Responder server(blob, slow);
    HWND w = open_with(location_of(server));
    ui::fire_event(w, kButton, ui::Event::Clicked);
    EXPECT_TRUE(ui::visible(w, kLabel));
    EXPECT_TRUE(ui::visible(w, kBar));
    EXPECT_FALSE(ui::visible(w, kBox));
    EXPECT_TRUE(ui::disabled(w, kButton));
    EXPECT_EQ(ui::interval(w, kTimer), 1000u);
    EXPECT_EQ(update_state().download_params.connections, 5);
    EXPECT_EQ(update_state().download_params.source_url, server.url());

    ASSERT_TRUE(
        wait_until([&] { return ui::text(w, kLabel).rfind(gbk("更新进度（"), 0) == 0; }, 20000));
    testsupport::save_screenshot("update_downloading");
    ASSERT_TRUE(wait_until([&] { return finished(w); }, 60000));
    EXPECT_EQ(update_state().update_expected_size.load(), static_cast<int64_t>(blob.size()));
    EXPECT_TRUE(read_file(dir + L"\\Tarnix.exe") == blob);
    EXPECT_FALSE(file_exists(dir + L"\\Tarnix.exe.part"));
    // The timer stops once the file on disk has the announced size.
    EXPECT_TRUE(wait_until([&] { return ui::interval(w, kTimer) == 0; }, 3000));
    testsupport::save_screenshot("update_finished");
}

// Every way a download can fail ends the same: "请稍后再试！", then the start
// button is back, and no file is left to be started.
TEST(UpdateWindow, FailedDownloadsReturnToReady) {
    std::wstring dir = enter_fresh_dir();
    std::wstring target = dir + L"\\Tarnix.exe";
    BlobOptions not_found;
    not_found.error_status = 404;
    Responder server404("", not_found);
    BlobOptions short_body;
    short_body.short_body = 5000;
    Responder server_short(testsupport::make_blob(100000, 12), short_body);
    BlobOptions dropping;
    dropping.drop_at = 60000;
    dropping.drop_times = -1;
    Responder server_drop(testsupport::make_blob(200000, 13), dropping);
    const std::string locations[] = {
        location_of(server404),
        "127.0.0.1:" + std::to_string(testsupport::refused_port()) + "/Tarnix.exe",
        location_of(server_short),
        location_of(server_drop),
        " " + location_of(server404), // "http:// 127..." : the component refuses the start
    };
    HWND w = open_with(locations[0]);
    for (const std::string& location : locations) {
        update_state().update_download_url = "http://" + location;
        ui::fire_event(w, kButton, ui::Event::Clicked);
        EXPECT_FALSE(ui::visible(w, kBox)) << location;
        ASSERT_TRUE(wait_until([&] { return ready_again(w); }, 30000)) << location;
        EXPECT_EQ(ui::text(w, kLabel), gbk("请稍后再试！")) << location;
        EXPECT_EQ(ui::text(w, kButton), gbk("开始更新")) << location;
        EXPECT_EQ(update_state().update_expected_size.load(), 0) << location;
        EXPECT_FALSE(file_exists(target)) << location;
        EXPECT_FALSE(file_exists(target + L".part")) << location;
    }
}

// The built-in limit: a first answer naming one byte more than an update may
// have, as a part (206) or as the whole file (200), is refused at once over a
// program that stays as it was; the bytes announced are never asked for.
TEST(UpdateWindow, AnnouncedSizeOverTheBuiltInLimitIsRefused) {
    std::wstring dir = enter_fresh_dir();
    const std::wstring program_path = dir + L"\\Tarnix.exe";
    const std::string program = testsupport::make_program_blob(70000, 41);
    write_file(program_path, program);
    const std::string head = testsupport::make_program_blob(10240, 42);
    const std::string over = std::to_string(kUpdateMaxBytes + 1);
    Responder server;
    server.script_bytes("HTTP/1.1 206 Partial Content\r\nContent-Range: bytes 0-10239/" + over +
                        "\r\nContent-Length: 10240\r\nConnection: close\r\n\r\n" + head);
    server.script_bytes("HTTP/1.1 200 OK\r\nContent-Length: " + over +
                        "\r\nConnection: close\r\n\r\n" + head);
    HWND w = open_with(location_of(server));
    for (size_t attempt = 1; attempt <= 2; ++attempt) {
        ui::fire_event(w, kButton, ui::Event::Clicked);
        ASSERT_TRUE(wait_until([&] { return ready_again(w); }, 30000)) << attempt;
        EXPECT_EQ(ui::text(w, kLabel), gbk("请稍后再试！")) << attempt;
        EXPECT_EQ(update_state().update_expected_size.load(), 0) << attempt;
        EXPECT_EQ(server.request_count(), attempt) << "more than the first answer was asked for";
        EXPECT_TRUE(read_file(program_path) == program) << "the program was changed";
        EXPECT_FALSE(file_exists(program_path + L".part")) << attempt;
        EXPECT_FALSE(file_exists(program_path + L".old")) << attempt;
    }
}

// A key that is not 128 hex digits takes no update at all, rather than any
// unsigned one.
TEST(UpdateWindow, MalformedKeyTakesNoUpdate) {
    std::wstring dir = enter_fresh_dir();
    Responder server(testsupport::make_program_blob(50000, 21));
    HWND w = open_with(location_of(server), gbk("修复了若干问题。"), "12345");
    ui::fire_event(w, kButton, ui::Event::Clicked);
    ASSERT_TRUE(wait_until([&] { return ready_again(w); }, 30000));
    EXPECT_EQ(ui::text(w, kButton), gbk("开始更新"));
    EXPECT_EQ(ui::text(w, kLabel), gbk("请稍后再试！"));
    EXPECT_FALSE(file_exists(dir + L"\\Tarnix.exe"));
}

// The end event of a task that says the file is complete is not trusted alone:
// received bytes and the file on disk must match the announced size.
TEST(UpdateWindow, EndEventWithoutTheWholeFileIsAFailure) {
    std::wstring dir = enter_fresh_dir();
    HWND w = open_with("127.0.0.1/Tarnix.exe");
    ui::set_visible(w, kBox, false);
    write_file(dir + L"\\Tarnix.exe", "12345");
    update_event_handler(kDownloadEventSize, 0, 10, 0, 1);
    EXPECT_EQ(update_state().update_expected_size.load(), 10);
    update_event_handler(kDownloadEventEnded, 0, 10, 1, 1); // file on disk 5 of 10 bytes
    EXPECT_TRUE(ready_again(w));
    EXPECT_EQ(ui::text(w, kButton), gbk("开始更新"));
    EXPECT_EQ(update_state().update_expected_size.load(), 0);
    EXPECT_EQ(update_event_handler(1, 0, 0, 0, 1), 0); // other kinds: nothing
}

namespace {
// The start button's caption at each moment it becomes enabled.
std::vector<std::string> g_captions_when_enabled;
WNDPROC g_button_proc = nullptr;
LRESULT CALLBACK watch_enable(HWND h, UINT msg, WPARAM wp, LPARAM lp) {
    if (msg == WM_ENABLE && wp) {
        wchar_t text[64] = {};
        GetWindowTextW(h, text, 64);
        g_captions_when_enabled.push_back(narrow(text));
    }
    return CallWindowProcW(g_button_proc, h, msg, wp, lp);
}
DWORD WINAPI finished_end_event(LPVOID) {
    update_event_handler(kDownloadEventEnded, 0, 10, 1, 1);
    return 0;
}
} // namespace

// After a finished download the button is enabled only once it reads
// "更新完成": a click in between would start another download instead.
TEST(UpdateWindow, FinishedCaptionIsSetBeforeTheButtonIsEnabled) {
    std::wstring dir = enter_fresh_dir();
    HWND w = open_with("127.0.0.1/Tarnix.exe");
    // As a running download leaves it: the button hidden and disabled.
    ui::set_visible(w, kLabel, true);
    ui::set_visible(w, kBar, true);
    ui::set_visible(w, kBox, false);
    ui::set_disabled(w, kButton, true);
    HWND button = ui::control(w, kButton);
    g_button_proc = reinterpret_cast<WNDPROC>(
        SetWindowLongPtrW(button, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(watch_enable)));
    write_file(dir + L"\\Tarnix.exe", "1234567890");
    update_event_handler(kDownloadEventSize, 0, 10, 0, 1);
    // On a thread of its own, as the download component calls it.
    HANDLE th = CreateThread(nullptr, 0, finished_end_event, nullptr, 0, nullptr);
    ASSERT_TRUE(wait_until([&] { return WaitForSingleObject(th, 0) == WAIT_OBJECT_0; }, 10000));
    CloseHandle(th);
    EXPECT_EQ(ui::text(w, kButton), gbk("更新完成"));
    EXPECT_EQ(g_captions_when_enabled, std::vector<std::string>{gbk("更新完成")});
}

// A download faster than the one-second tick ends before the first tick. Once
// the task is gone its byte count reads 0, so a later tick would take back the
// finish ("更新进度（0%）", the timer never stopping): the end shows 100% and stops it.
TEST(UpdateWindow, DownloadEndingBeforeTheFirstTickShowsItsEnd) {
    std::wstring dir = enter_fresh_dir();
    HWND w = open_with("127.0.0.1/Tarnix.exe");
    ui::set_visible(w, kLabel, true);
    ui::set_visible(w, kBar, true);
    ui::set_visible(w, kBox, false);
    ui::set_interval(w, kTimer, 1000);
    write_file(dir + L"\\Tarnix.exe", "1234567890");
    update_event_handler(kDownloadEventSize, 0, 10, 0, 1);
    HANDLE th = CreateThread(nullptr, 0, finished_end_event, nullptr, 0, nullptr);
    ASSERT_TRUE(wait_until([&] { return WaitForSingleObject(th, 0) == WAIT_OBJECT_0; }, 10000));
    CloseHandle(th);
    EXPECT_EQ(ui::progress(w, kBar), 1000);
    EXPECT_EQ(ui::interval(w, kTimer), 0u) << "a later tick would show 0%";
    EXPECT_EQ(ui::text(w, kLabel), gbk("程序文件更新完毕"));
    EXPECT_EQ(ui::text(w, kButton), gbk("更新完成"));
}

// Runs in a child process started by the tests below (skipped on its own).
TEST(UpdateWindowChild, Run) {
    char mode[32] = {};
    if (GetEnvironmentVariableA("TARNIX_UPDATE_CHILD", mode, sizeof(mode)) == 0) {
        GTEST_SKIP() << "runs only as a child of another test";
    }
    char location[512] = {};
    GetEnvironmentVariableA("TARNIX_UPDATE_LOCATION", location, sizeof(location));
    char key[256] = {};
    GetEnvironmentVariableA("TARNIX_UPDATE_KEY", key, sizeof(key));
    HWND w = open_with(location, gbk("修复了若干问题。"), key);
    ASSERT_NE(w, nullptr);
    if (std::string(mode) == "close") {
        ui::fire_event(w, "按钮_关闭", ui::Event::Clicked);
    } else {
        ui::fire_event(w, kButton, ui::Event::Clicked);
        ASSERT_TRUE(wait_until([&] { return finished(w); }, 60000));
        ui::fire_event(w, kButton, ui::Event::Clicked); // starts the file, ends the program
        ExitProcess(7);                                 // not reached
    }
    // The update window was the last window: the loop ends and so does the program.
    end_program(run_message_loop());
}

namespace {
long run_child(const char* mode, const std::string& location, const std::wstring& dir,
               const std::string& key = "") {
    SetEnvironmentVariableA("TARNIX_UPDATE_CHILD", mode);
    SetEnvironmentVariableA("TARNIX_UPDATE_KEY", key.c_str());
    SetEnvironmentVariableA("TARNIX_UPDATE_LOCATION", location.c_str());
    wchar_t self[MAX_PATH];
    GetModuleFileNameW(nullptr, self, MAX_PATH);
    std::wstring cmd = L"\"" + std::wstring(self) + L"\" --gtest_filter=UpdateWindowChild.Run";
    STARTUPINFOW si{};
    si.cb = sizeof(si);
    PROCESS_INFORMATION pi{};
    if (!CreateProcessW(nullptr, &cmd[0], nullptr, nullptr, FALSE, 0, nullptr, dir.c_str(), &si,
                        &pi)) {
        return -2;
    }
    CloseHandle(pi.hThread);
    testsupport::Process child;
    child.handle = pi.hProcess;
    child.id = pi.dwProcessId;
    return child.wait_exit(90000);
}
} // namespace

// "更新完成" starts the downloaded file through the shell and ends the program
// with exit code 0.
TEST(UpdateWindow, FinishedClickStartsTheFileAndEndsWithZero) {
    std::wstring dir = enter_fresh_dir();
    std::string prog = read_file(
        widen(testsupport::windows_path(std::string(TARNIX_TEST_BIN_DIR) + "/marker_prog.exe")));
    ASSERT_GT(prog.size(), 1000u);
    Responder server(prog);
    EXPECT_EQ(run_child("finish", location_of(server), dir), 0);
    EXPECT_TRUE(read_file(dir + L"\\Tarnix.exe") == prog);
    // The started program leaves its marker.
    EXPECT_TRUE(wait_until([&] { return file_exists(dir + L"\\Tarnix.exe.ran"); }, 15000));
}

TEST(UpdateWindow, ClosingTheLastWindowEndsWithZero) {
    std::wstring dir = enter_fresh_dir();
    EXPECT_EQ(run_child("close", "127.0.0.1/Tarnix.exe", dir), 0);
    EXPECT_FALSE(file_exists(dir + L"\\Tarnix.exe"));
}

namespace {
const std::string kServer = std::string(TARNIX_TEST_BIN_DIR) + "/../../native/server/tarnix-server";

std::string read_unix(const std::string& path) {
    return read_file(widen(testsupport::windows_path(path)));
}
} // namespace

// The reference server signs the update with its key; a client built with
// that key checks the signature, moves the file into place and starts it.
TEST(UpdateWindow, SignedUpdateFromTheReferenceServerIsStarted) {
    if (GetFileAttributesA(testsupport::windows_path(kServer).c_str()) == INVALID_FILE_ATTRIBUTES) {
        GTEST_SKIP() << "the reference server is not built (" << kServer << ")";
    }
    const std::string work = std::string(TARNIX_TEST_BIN_DIR) + "/signed_update_" +
                             std::to_string(GetCurrentProcessId());
    const std::string prog_path = std::string(TARNIX_TEST_BIN_DIR) + "/marker_prog.exe";
    CreateDirectoryW(widen(testsupport::windows_path(work)).c_str(), nullptr);
    ASSERT_EQ(testsupport::run_unix_script(work, "rm -f " + work + "/update-key.pem && " + kServer +
                                                     " keygen " + work + " > " + work +
                                                     "/public.hex"),
              0);
    std::string public_hex = read_unix(work + "/public.hex");
    ASSERT_GE(public_hex.size(), 128u);
    public_hex.resize(128);
    ASSERT_EQ(testsupport::run_unix_script(
                  work, "(timeout 120 " + kServer + " --port 0 --db " + work + "/a.db --outbox " +
                            work + "/o.txt --client-version 1.002 --update-file " + prog_path +
                            " --update-key " + work + "/update-key.pem > " + work +
                            "/server.out 2> " + work + "/server.log & echo $! > " + work +
                            "/server.pid)"),
              0);
    std::string location;
    ASSERT_TRUE(wait_until(
        [&] {
            const std::string out = read_unix(work + "/server.out");
            const size_t at = out.find("http://");
            const size_t end = out.find("/tx-client.asp");
            if (at == std::string::npos || end == std::string::npos) {
                return false;
            }
            location = out.substr(at + 7, end - at - 7) + "/download/Tarnix.exe";
            return true;
        },
        20000))
        << read_unix(work + "/server.log");

    std::wstring dir = enter_fresh_dir();
    EXPECT_EQ(run_child("finish", location, dir, public_hex), 0);
    const std::string prog = read_file(widen(testsupport::windows_path(prog_path)));
    EXPECT_TRUE(read_file(dir + L"\\Tarnix.exe") == prog);
    EXPECT_TRUE(wait_until([&] { return file_exists(dir + L"\\Tarnix.exe.ran"); }, 15000));
    const std::string log = read_unix(work + "/server.log");
    EXPECT_NE(log.find("Tarnix.exe.sig -> 200"), std::string::npos) << log;
    testsupport::run_unix_script(work, "kill $(cat " + work + "/server.pid); rm -rf " + work);
}
