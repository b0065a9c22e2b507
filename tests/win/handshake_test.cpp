#include "app/app_state.h"
#include "app/program_win.h"
#include "platform/ui_thread_win.h"
#include "protocol/http_request_win.h"
#include "support/responder_win.h"
#include "support/box_watcher_win.h"
#include "support/files_win.h"
#include "support/process_win.h"
#include "support/update_signing_win.h"
#include "ui/controls_win.h"
#include "ui/forms_win.h"
#include "ui/gbk_win.h"
#include "app/composition_win.h"
#include "ui/main_window_win.h"
#include "update/update_window_win.h"

#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <string>
#include <thread>

using testsupport::BlobOptions;
using testsupport::read_file;
using testsupport::Responder;
using testsupport::ScriptedAnswer;

namespace {

std::string status_record(const std::string& version, const std::string& announcement = "",
                          const std::string& description = "desc",
                          const std::string& location = "127.0.0.1:9/Tarnix.exe") {
    return "Tarnix|" + version + "|" + location + "|" + description + "|" + announcement +
           "|2026-12-07|build|3";
}

// Answers "c" and "5" as scripted, in that order.
void script_handshake(Responder& r, const std::string& connection, const std::string& status) {
    r.answer_with_body(connection);
    r.answer_with_body(status);
}

// A connection, then a status answer with an announcement 600 ms late; `meanwhile`
// is handed to the UI thread (pumping in the status step) as the status request arrives.
void script_slow_status(Responder& r, void (*meanwhile)()) {
    r.answer_with_body("ConnectionOk");
    ScriptedAnswer status = testsupport::answer_with_body(status_record("1.001", "news"));
    status.delay_ms = 600;
    r.script(status);
    r.post_on_request("cmd=5", meanwhile);
}

// Without a publisher key unless one is given: the build's own key is not
// these tests' business.
HWND start_main_window(Responder& r, const std::string& key_hex = "") {
    return load_main_window(r.url(), key_hex);
}

void expect_connecting_page_after_failure(HWND w) {
    EXPECT_EQ(ui::text(w, main_names::kConnectionState), gbk("连接服务器失败"));
    EXPECT_EQ(ui::page(w, main_names::kPages), 0);
    for (const char* nav :
         {main_names::kNavHome, main_names::kNavSignUp, main_names::kNavPassword}) {
        EXPECT_TRUE(ui::disabled(w, nav)) << nav;
        EXPECT_FALSE(ui::checked(w, nav)) << nav;
    }
    EXPECT_FALSE(ui::visible(w, main_names::kSlider));
    EXPECT_EQ(ui::text(w, main_names::kVersion), "");
}

} // namespace

TEST(Handshake, EightFieldsOpenTheSignInPage) {
    Responder r;
    ASSERT_TRUE(r.ok());
    script_handshake(r, "ConnectionOk", status_record("1.001"));
    HWND w = start_main_window(r);
    ASSERT_NE(w, nullptr);

    ASSERT_EQ(r.request_count(), 2u);
    EXPECT_EQ(r.requests()[0].body, "cmd=c");
    EXPECT_EQ(r.requests()[1].body, "cmd=5");
    EXPECT_EQ(ui::page(w, main_names::kPages), 1);
    EXPECT_TRUE(ui::checked(w, main_names::kNavHome));
    EXPECT_FALSE(ui::checked(w, main_names::kNavSignUp));
    EXPECT_FALSE(ui::checked(w, main_names::kNavPassword));
    for (const char* name : {main_names::kNavHome, main_names::kNavSignUp, main_names::kNavPassword,
                             main_names::kSignIn}) {
        EXPECT_FALSE(ui::disabled(w, name)) << name;
    }
    EXPECT_TRUE(ui::visible(w, main_names::kSlider));
    EXPECT_EQ(ui::left(w, main_names::kSlider), 40);
    EXPECT_EQ(ui::text(w, main_names::kConnectionState), gbk("连接成功"));
    // An empty announcement shows nothing and starts no scrolling.
    EXPECT_FALSE(ui::visible(w, main_names::kAnnouncement));
    EXPECT_EQ(ui::interval(w, main_names::kAnnouncementTimer), 0u);
    EXPECT_EQ(ui::text(w, main_names::kVersion), "1.001");
    // The picture as the user sees it: the changes painted (as the message loop would).
    testsupport::wait_until([] { return false; }, 300);
    testsupport::save_screenshot("handshake_connected");
}

TEST(Handshake, TrailingSeparatorAfterTheEighthFieldStillConnects) {
    Responder r;
    script_handshake(r, "ConnectionOk", status_record("1.001") + "|");
    HWND w = start_main_window(r);
    ASSERT_NE(w, nullptr);
    EXPECT_EQ(ui::text(w, main_names::kConnectionState), gbk("连接成功"));
    EXPECT_EQ(ui::page(w, main_names::kPages), 1);
}

TEST(Handshake, SevenFieldsAndATrailingSeparatorFail) {
    Responder r;
    script_handshake(r, "ConnectionOk", "Tarnix|1.001|h/p.exe|desc||f6|f7|");
    HWND w = start_main_window(r);
    ASSERT_NE(w, nullptr);
    expect_connecting_page_after_failure(w);
    testsupport::save_screenshot("handshake_failed");
}

TEST(Handshake, ConnectionTestAnswerMustMatchExactly) {
    Responder r;
    script_handshake(r, "connectionok", status_record("1.001"));
    HWND w = start_main_window(r);
    ASSERT_NE(w, nullptr);
    expect_connecting_page_after_failure(w);
    // The status record is never asked for after a failed connection test.
    EXPECT_EQ(r.request_count(), 1u);
}

TEST(Handshake, UnreachableServerFailsAtOnce) {
    DWORD start = GetTickCount();
    HWND w = load_main_window(
        "http://127.0.0.1:" + std::to_string(testsupport::refused_port()) + "/tx-client.asp", "");
    ASSERT_NE(w, nullptr);
    EXPECT_LT(GetTickCount() - start, 5000u);
    expect_connecting_page_after_failure(w);
}

TEST(Handshake, SilentServerFailsWithinTheRequestTimeOut) {
    Responder r;
    testsupport::ScriptedAnswer silent;
    silent.never_answer = true;
    r.script(silent);
    DWORD start = GetTickCount();
    HWND w = start_main_window(r);
    ASSERT_NE(w, nullptr);
    EXPECT_LT(GetTickCount() - start, kHttpSendTimeoutMs + kHttpReceiveTimeoutMs + 3000);
    expect_connecting_page_after_failure(w);
}

TEST(Handshake, AnnouncementStartsAtTheWindowEdgeAndMovesOnePixelPerTick) {
    Responder r;
    // Ten Chinese characters: 20 GBK bytes.
    const std::string ten = gbk("欢迎使用账号服务谢谢");
    ASSERT_EQ(ten.size(), 20u);
    script_handshake(r, "ConnectionOk", status_record("1.001", ten));
    HWND w = start_main_window(r);
    ASSERT_NE(w, nullptr);

    EXPECT_TRUE(ui::visible(w, main_names::kAnnouncement));
    EXPECT_EQ(ui::width(w, main_names::kAnnouncement), 160);
    EXPECT_EQ(ui::left(w, main_names::kAnnouncement), 420);
    EXPECT_EQ(ui::text(w, main_names::kAnnouncement), ten);
    EXPECT_EQ(ui::interval(w, main_names::kAnnouncementTimer), 20u);

    std::atomic<int> ticks{0};
    ui::bind_event(w, main_names::kAnnouncementTimer, ui::Event::Tick, [&] { ++ticks; });
    ASSERT_TRUE(testsupport::wait_until([&] { return ticks.load() >= 5; }, 5000));
    EXPECT_EQ(ui::left(w, main_names::kAnnouncement), 420 - ticks.load());
    testsupport::save_screenshot("handshake_announcement");
}

// Closing while the status answer is on its way: the exit routine releases the
// state, and the answer that lands afterwards must not fill it again.
TEST(Handshake, ExitRoutineWhileTheStatusAnswerIsOnItsWayLeavesTheStateReleased) {
    Responder r;
    ASSERT_TRUE(r.ok());
    script_slow_status(r, [] { exit_routine(); });
    ASSERT_NE(start_main_window(r), nullptr);
    ASSERT_EQ(r.request_count(), 2u);
    EXPECT_TRUE(app().status_record.empty());
    EXPECT_TRUE(app().endpoint_url.empty());
}

// The announcement enters at the window's design width even while the window
// is minimised (a minimised window is only a strip, 160 wide under Wine): when
// the handshake ends and each time the text has scrolled out on the left.
TEST(Handshake, MinimisedWindowAnnouncementEntersAtTheDesignWidth) {
    Responder r;
    ASSERT_TRUE(r.ok());
    // Minimised while the status request is on its way (the UI thread is pumping).
    script_slow_status(r, [] { ShowWindow(main_window(), SW_MINIMIZE); });
    HWND w = start_main_window(r);
    ASSERT_NE(w, nullptr);
    ASSERT_TRUE(IsIconic(w));
    EXPECT_EQ(ui::left(w, main_names::kAnnouncement), 420);

    ui::set_interval(w, main_names::kAnnouncementTimer, 0);
    ui::set_left(w, main_names::kAnnouncement, -ui::width(w, main_names::kAnnouncement));
    announcement_scroll_step();
    EXPECT_EQ(ui::left(w, main_names::kAnnouncement), 420);
}

// While the worker waits on a slow server the UI thread keeps serving messages:
// another thread's message is answered well within one 500 ms slice.
TEST(Handshake, WindowStaysResponsiveWhileTheServerIsSlow) {
    Responder r;
    testsupport::ScriptedAnswer slow = testsupport::answer_with_body("ConnectionOk");
    slow.delay_ms = 2000;
    r.script(slow);
    testsupport::ScriptedAnswer slow_status = testsupport::answer_with_body(status_record("1.001"));
    slow_status.delay_ms = 2000;
    r.script(slow_status);

    std::atomic<DWORD> worst{0};
    std::atomic<int> answered{0};
    std::thread prober([&] {
        HWND w = nullptr;
        testsupport::wait_until([&] { return (w = main_window()) && IsWindowVisible(w); }, 10000);
        for (int i = 0; i < 10 && w; ++i) {
            Sleep(200);
            DWORD start = GetTickCount();
            DWORD_PTR result = 0;
            if (SendMessageTimeoutW(w, WM_NULL, 0, 0, SMTO_NORMAL, 5000, &result)) {
                ++answered;
                DWORD took = GetTickCount() - start;
                if (took > worst) {
                    worst = took;
                }
            }
        }
    });
    HWND w = start_main_window(r);
    prober.join();
    ASSERT_NE(w, nullptr);
    EXPECT_EQ(ui::text(w, main_names::kConnectionState), gbk("连接成功"));
    EXPECT_GE(answered.load(), 5);
    EXPECT_LT(worst.load(), 500u);
}

// As a user meets it: closing the window while the handshake still waits for a
// slow server ends the process at once with exit code 0, and the exit routine runs.
TEST(Handshake, CloseButtonWhileConnectingEndsWithExitCodeZero) {
    Responder r;
    testsupport::ScriptedAnswer slow = testsupport::answer_with_body("ConnectionOk");
    slow.delay_ms = 2000;
    r.set_default([slow](const testsupport::ReceivedRequest&) { return slow; });

    char temp[MAX_PATH];
    GetTempPathA(MAX_PATH, temp);
    std::string marker = std::string(temp) + "tarnix-exit-" + std::to_string(GetCurrentProcessId());
    DeleteFileA(marker.c_str());

    testsupport::Process p;
    std::string exe = std::string(TARNIX_TEST_BIN_DIR) + "/tarnix_app_prog.exe";
    ASSERT_TRUE(testsupport::start_process_with_args(exe, {r.url(), marker}, p));
    HWND w = testsupport::wait_for_window(p.id, L"TarnixMainWindow", testsupport::kProgramStartMs);
    ASSERT_NE(w, nullptr);
    ASSERT_TRUE(r.wait_for_requests(1, 10000));
    HWND close = testsupport::find_child_by_text(w, L"\u00D7");
    ASSERT_NE(close, nullptr);
    DWORD start = GetTickCount();
    PostMessageW(close, BM_CLICK, 0, 0);
    EXPECT_EQ(p.wait_exit(testsupport::kProgramExitMs), 0);
    EXPECT_LT(GetTickCount() - start, 1900u);
    EXPECT_NE(GetFileAttributesA(marker.c_str()), INVALID_FILE_ATTRIBUTES);
    DeleteFileA(marker.c_str());
}

// Without a publisher key any other version text, a longer or a lower one
// alike, prompts for the update and hands over to the update window; the main
// window goes.
class VersionMismatch : public testing::TestWithParam<const char*> {};

TEST_P(VersionMismatch, PromptsThenOpensTheUpdateWindow) {
    Responder r;
    const std::string description = gbk("修复了若干问题");
    script_handshake(r, "ConnectionOk", status_record(GetParam(), "", description));
    testsupport::BoxWatcher watcher;
    watcher.screenshot_next(std::string("handshake_update_prompt_") + GetParam());
    HWND w = start_main_window(r);
    ASSERT_NE(w, nullptr);

    auto boxes = watcher.boxes();
    ASSERT_EQ(boxes.size(), 1u);
    EXPECT_EQ(boxes[0].caption, gbk("信息："));
    EXPECT_EQ(boxes[0].text, gbk("发现新版本，请立刻更新"));
    EXPECT_EQ(boxes[0].owner, nullptr);
    EXPECT_FALSE(IsWindow(w));
    EXPECT_EQ(main_window(), nullptr);
    HWND u = update_window();
    ASSERT_NE(u, nullptr);
    EXPECT_TRUE(IsWindowVisible(u));
    EXPECT_EQ(GetWindow(u, GW_OWNER), nullptr);
    EXPECT_EQ(ui::text(u, "编辑框1"), description);
    testsupport::save_screenshot(std::string("handshake_update_window_") + GetParam());
}

INSTANTIATE_TEST_SUITE_P(Versions, VersionMismatch, testing::Values("1.0010", "1.000"));

// The program lives on in the update window after the main window is gone, and
// ends with exit code 0 when that window closes.
TEST(Handshake, ClosingTheUpdateWindowEndsTheProgramWithExitCodeZero) {
    Responder r;
    script_handshake(r, "ConnectionOk", status_record("1.002"));
    testsupport::Process p;
    std::string exe = std::string(TARNIX_TEST_BIN_DIR) + "/tarnix_app_prog.exe";
    ASSERT_TRUE(testsupport::start_process_with_args(exe, {r.url()}, p));
    HWND box = testsupport::wait_for_window(p.id, L"#32770", 20000);
    ASSERT_NE(box, nullptr);
    HWND main = testsupport::wait_for_window(p.id, L"TarnixMainWindow", 1000);
    ASSERT_NE(main, nullptr);
    PostMessageW(box, WM_COMMAND, IDOK, 0);

    HWND u = testsupport::wait_for_window(p.id, L"TarnixUpdateWindow", 10000);
    ASSERT_NE(u, nullptr);
    EXPECT_TRUE(testsupport::wait_until([&] { return !IsWindow(main); }, 5000));
    EXPECT_EQ(p.wait_exit(0), -1) << "the program must live on in the update window";
    HWND close = testsupport::find_child_by_text(u, L"\u00D7");
    ASSERT_NE(close, nullptr);
    PostMessageW(close, BM_CLICK, 0, 0);
    EXPECT_EQ(p.wait_exit(testsupport::kProgramExitMs), 0);
}

namespace {

bool can_sign() {
    return GetFileAttributesW(L"Z:\\bin\\sh") != INVALID_FILE_ATTRIBUTES;
}

// A folder of its own as the current directory, holding a stand-in for the
// running program where an update would replace it (the main window's
// caption + ".exe").
struct ProgramFolder {
    std::wstring dir = testsupport::fresh_temp_dir(L"tarnix-hs-");
    std::string program = testsupport::make_program_blob(70000, 31);
    ProgramFolder() {
        SetCurrentDirectoryW(dir.c_str());
        testsupport::write_file(exe(), program);
    }
    std::wstring exe() const { return dir + L"\\Tarnix.exe"; }
};

// A release validly signed with `key` for `version`, served with its signature.
struct SignedRelease {
    std::string file;
    std::unique_ptr<Responder> server;
    SignedRelease(const testsupport::SigningKey& key, const std::string& version, uint32_t seed) {
        file = testsupport::make_program_blob(300 * 1024, seed);
        BlobOptions o;
        o.signature = key.sign(file, version);
        EXPECT_EQ(o.signature->size(), 64u) << "openssl could not sign for " << version;
        server = std::make_unique<Responder>(file, o);
    }
    std::string location() const { return server->url().substr(7); }
};

} // namespace

// With a publisher key only a newer version is an update. The server naming an
// older release, the own version written another way, or no version number at
// all, with a file and signature validly made for that text, leaves the client
// on its sign-in page as on a match, its own version shown: no prompt, no
// update window, nothing fetched, the program as it was.
class SignedNotNewer : public testing::TestWithParam<const char*> {};

TEST_P(SignedNotNewer, LeavesTheClientOnItsSignInPage) {
    if (!can_sign()) {
        GTEST_SKIP() << "signs with the Unix shell and openssl, as Wine runs them";
    }
    testsupport::SigningKey key;
    ASSERT_TRUE(key.make()) << "openssl could not make a key";
    SignedRelease release(key, GetParam(), 32);
    ProgramFolder folder;
    Responder r;
    const std::string news = gbk("欢迎");
    script_handshake(r, "ConnectionOk",
                     status_record(GetParam(), news, "desc", release.location()));
    testsupport::BoxWatcher watcher;
    HWND w = start_main_window(r, key.public_hex);
    ASSERT_NE(w, nullptr);

    EXPECT_TRUE(watcher.boxes().empty()) << "an update prompt was shown";
    EXPECT_TRUE(IsWindow(w));
    EXPECT_EQ(main_window(), w);
    EXPECT_EQ(update_window(), nullptr);
    EXPECT_EQ(ui::page(w, main_names::kPages), 1);
    EXPECT_EQ(ui::text(w, main_names::kConnectionState), gbk("连接成功"));
    EXPECT_FALSE(ui::disabled(w, main_names::kSignIn));
    EXPECT_EQ(ui::text(w, main_names::kVersion), "1.001");
    EXPECT_EQ(ui::text(w, main_names::kAnnouncement), news);
    EXPECT_EQ(ui::interval(w, main_names::kAnnouncementTimer), 20u);
    EXPECT_EQ(release.server->request_count(), 0u) << "the release was fetched";
    EXPECT_TRUE(read_file(folder.exe()) == folder.program) << "the program was changed";
    EXPECT_FALSE(testsupport::file_exists(folder.exe() + L".part"));
}

INSTANTIATE_TEST_SUITE_P(Versions, SignedNotNewer,
                         testing::Values("1.000", "1.001", "1.1", "1.001.0", "1.x", ""));

// With the key a newer version still updates: the prompt, the update window,
// and the file signed for that version downloaded over the program.
TEST(Handshake, SignedNewerVersionStillUpdates) {
    if (!can_sign()) {
        GTEST_SKIP() << "signs with the Unix shell and openssl, as Wine runs them";
    }
    testsupport::SigningKey key;
    ASSERT_TRUE(key.make()) << "openssl could not make a key";
    SignedRelease release(key, "1.002", 33);
    ProgramFolder folder;
    start_program(); // the download object, as the program has it
    Responder r;
    script_handshake(r, "ConnectionOk", status_record("1.002", "", "desc", release.location()));
    testsupport::BoxWatcher watcher;
    HWND w = start_main_window(r, key.public_hex);
    ASSERT_NE(w, nullptr);
    auto boxes = watcher.boxes();
    ASSERT_EQ(boxes.size(), 1u);
    EXPECT_EQ(boxes[0].text, gbk("发现新版本，请立刻更新"));
    EXPECT_FALSE(IsWindow(w));
    HWND u = update_window();
    ASSERT_NE(u, nullptr);

    ui::fire_event(u, "按钮_开始更新", ui::Event::Clicked);
    ASSERT_TRUE(testsupport::wait_until(
        [&] { return ui::text(u, "按钮_开始更新") == gbk("更新完成"); }, 60000))
        << "requests for the release " << release.server->request_count() << ", for its signature "
        << release.server->signature_requests() << ", progress "
        << ui::progress(u, "进度条_更新进度") << ", label " << ui::text(u, "标签_更新进度");
    EXPECT_TRUE(read_file(folder.exe()) == release.file) << "the new release is not in place";
    EXPECT_EQ(release.server->signature_requests(), 1);
}
