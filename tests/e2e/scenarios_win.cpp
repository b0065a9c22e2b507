// Whole-program scenarios: the built client, started as a separate process and
// driven from outside as a user would, against the reference account server
// that run_e2e.sh starts. A screenshot is saved at each step.
#include "e2e/driver_win.h"
#include "protocol/http_request_win.h"
#include "support/files_win.h"
#include "support/mailbox_win.h"
#include "support/process_win.h"
#include "ui/gbk_win.h"

#include <gtest/gtest.h>

#include <commctrl.h>

#include <algorithm>

using namespace e2e;
using testsupport::Process;
using testsupport::windows_path;

namespace {

constexpr DWORD kBoxMs = kRequestMs + 5000;

// Equal to the texts run_e2e.sh gives the server.
constexpr char kDescription[] = "修复了若干问题，提升了稳定性";

size_t count_of(const std::string& haystack, const std::string& needle) {
    size_t n = 0;
    for (size_t at = haystack.find(needle); at != std::string::npos;
         at = haystack.find(needle, at + needle.size())) {
        ++n;
    }
    return n;
}

// Places in the main window's client area, from its layout: the page container
// starts at 0,130, and each edit box fills its underline frame.
constexpr POINT kSignInAccount{120, 195};
constexpr POINT kSignInPassword{120, 230};
constexpr POINT kFormRow[4] = {{120, 155}, {120, 190}, {120, 225}, {120, 260}};

HWND edit_at(HWND w, POINT p) {
    return child_at(w, L"Edit", p.x, p.y);
}

// Clicks a navigation button and waits for its page to show `marker`.
bool go_to(HWND w, const char* nav, const char* marker) {
    HWND b = control(w, nav);
    if (!b) {
        return false;
    }
    click(b);
    return wait_child_with_text(w, ws(marker), 5000) != nullptr;
}

// Expects the box with `caption` and `text`, screenshots it and closes it.
void expect_box(DWORD pid, const char* caption, const char* text, const std::string& shot) {
    Box box = wait_box(pid, ws(caption), kBoxMs);
    ASSERT_NE(box.window, nullptr) << "no box " << caption << " (expected " << text << ")";
    EXPECT_EQ(utf8(box.text), text);
    pause_ms(300); // let the window behind repaint, as the user would see it
    screenshot(shot);
    EXPECT_TRUE(dismiss(box));
}

} // namespace

// The server cannot be reached: the real Tarnix.exe with its built-in endpoint,
// while nothing listens there.
TEST(EndToEnd, ServerDown) {
    Process p;
    ASSERT_TRUE(testsupport::start_process(option("tarnix"), p));
    HWND w = wait_top_level(p.id, kMainClass, nullptr, kStartMs);
    ASSERT_NE(w, nullptr) << "the main window did not show";
    const DWORD shown = GetTickCount();
    EXPECT_EQ(text_of(w), L"Tarnix");

    HWND status = wait_child_with_text(w, ws("连接服务器失败"), kRequestMs + 2000);
    ASSERT_NE(status, nullptr) << "no failure shown within the request time-out";
    EXPECT_LT(GetTickCount() - shown, kRequestMs + 2000);
    screenshot("server_down_1_failed");

    // Navigation stays disabled: a click on 账号注册 does not open the sign-up page.
    for (const char* nav : {"Tarnix主页", "账号注册", "密码更改"}) {
        HWND b = control(w, nav);
        ASSERT_NE(b, nullptr);
        EXPECT_FALSE(IsWindowEnabled(b)) << nav;
    }
    click(control(w, "账号注册"));
    pause_ms(500);
    EXPECT_EQ(child_with_text(w, ws("确认注册")), nullptr) << "the sign-up page opened";
    EXPECT_NE(child_with_text(w, ws("连接服务器失败")), nullptr);
    EXPECT_EQ(any_box(p.id), nullptr) << "a failed connection shows no box";
    screenshot("server_down_2_after_click");

    click(control(w, "×"));
    EXPECT_EQ(p.wait_exit(testsupport::kProgramExitMs), 0);
}

// An installed copy (from the installer, in its per-user folder) connects to the
// server on its built-in port and closes with exit code 0.
TEST(EndToEnd, Installed) {
    const std::string exe = windows_path(option("tarnix"));
    Process p;
    ASSERT_TRUE(testsupport::start_process(exe, p, exe.substr(0, exe.rfind('\\'))));
    HWND w = wait_top_level(p.id, kMainClass, nullptr, kStartMs);
    ASSERT_NE(w, nullptr) << "the main window did not show";
    ASSERT_NE(wait_child_with_text(w, ws("登录"), kRequestMs * 2), nullptr) << "not connected";
    EXPECT_NE(wait_child_with_text(w, L"1.001", 3000), nullptr) << "no version label";
    screenshot("installed_1_connected");
    click(control(w, "×"));
    EXPECT_EQ(p.wait_exit(testsupport::kProgramExitMs), 0);
}

// A fresh server: connect, sign up with the code from the mail the server sent,
// sign in, change the password, sign in with the new one and not with the old one.
TEST(EndToEnd, FreshServer) {
    const std::string log_path = option("server-log");
    const std::string maildir = option("maildir");
    // The test program reports the run of the exit routine to its second argument.
    const std::string marker = log_path + ".exit-routine-ran";
    DeleteFileA(windows_path(marker).c_str());
    Process p;
    ASSERT_TRUE(testsupport::start_process_with_args(option("app"),
                                                     {option("url"), windows_path(marker)}, p));
    HWND w = wait_top_level(p.id, kMainClass, nullptr, kStartMs);
    ASSERT_NE(w, nullptr) << "the main window did not show";

    // Connected: the sign-in page with the announcement and the server's version.
    ASSERT_NE(wait_child_with_text(w, ws("登录"), kRequestMs * 2), nullptr)
        << "the sign-in page did not open";
    EXPECT_NE(child_with_text(w, ws("连接成功"), false), nullptr);
    // The version label and the announcement follow within one wait slice.
    EXPECT_NE(wait_child_with_text(w, L"1.001", 3000), nullptr) << "no version label";
    HWND announcement = child_with_text(w, ws(kAnnouncement));
    ASSERT_NE(announcement, nullptr) << "no announcement";
    const LONG x0 = position_in(w, announcement).x;
    pause_ms(600);
    const LONG x1 = position_in(w, announcement).x;
    EXPECT_LT(x1, x0) << "the announcement does not scroll";
    EXPECT_GT(x0 - x1, 10) << "scrolls too slowly";
    screenshot("fresh_1_sign_in_page");

    const std::wstring account = L"e2e-tester";
    const std::wstring first_password = ws("起步pass1");
    const std::wstring new_password = ws("换新pass22");
    const std::wstring email = L"tester@example.com";

    // Sign up with the code from the mail, as its owner reads it.
    ASSERT_TRUE(go_to(w, "账号注册", "确认注册"));
    type_into(edit_at(w, kFormRow[0]), account);
    type_into(edit_at(w, kFormRow[1]), first_password);
    type_into(edit_at(w, kFormRow[2]), email);
    click(control(w, "获取验证码"));
    // The button locks and counts down (looked at before the mail, which may take seconds).
    EXPECT_TRUE(testsupport::wait_until(
        [&] { return child_with_text(w, ws("（29s）")) || child_with_text(w, ws("（28s）")); },
        kRequestMs));
    const std::string code = testsupport::code_mailed_to(maildir, utf8(email), kRequestMs);
    ASSERT_EQ(code.size(), 6u) << "no mail with a code in " << maildir;
    type_into(edit_at(w, kFormRow[3]), std::wstring(code.begin(), code.end()));
    screenshot("fresh_2_sign_up_filled");
    HWND confirm = control(w, "确认注册");
    click(confirm);
    // While the answer is shown the form stays locked.
    ASSERT_NE(wait_box(p.id, ws("信息："), kBoxMs).window, nullptr);
    EXPECT_FALSE(IsWindowEnabled(confirm));
    for (POINT at : kFormRow) {
        EXPECT_FALSE(IsWindowEnabled(edit_at(w, at))) << at.y;
    }
    expect_box(p.id, "信息：", "注册成功", "fresh_3_signed_up");
    EXPECT_TRUE(testsupport::wait_until([&] { return IsWindowEnabled(confirm) != FALSE; }, 3000));

    const std::string ok_line = "cmd=1 u=" + utf8(account) + " -> ok";
    auto sign_in = [&](const std::wstring& password) {
        EXPECT_TRUE(go_to(w, "Tarnix主页", "登录"));
        type_into(edit_at(w, kSignInAccount), account);
        type_into(edit_at(w, kSignInPassword), password);
        click(control(w, "登录"));
    };
    // After a sign-in the page is idle again: 登录 enabled.
    auto wait_idle = [&] {
        return testsupport::wait_until(
            [&] {
                HWND b = child_with_text(w, ws("登录"));
                return b && IsWindowEnabled(b);
            },
            kBoxMs);
    };

    // Sign in: success shows no box.
    const size_t ok_before = count_of(read_file(log_path), ok_line);
    sign_in(first_password);
    ASSERT_TRUE(testsupport::wait_until(
        [&] { return count_of(read_file(log_path), ok_line) == ok_before + 1; }, kBoxMs))
        << "the server saw no successful sign-in";
    EXPECT_TRUE(wait_idle());
    pause_ms(700);
    EXPECT_EQ(any_box(p.id), nullptr) << "a successful sign-in shows no box";
    screenshot("fresh_4_signed_in");

    // Change the password: the answer comes in the timed notice box.
    ASSERT_TRUE(go_to(w, "密码更改", "确认更改"));
    type_into(edit_at(w, kFormRow[0]), account);
    type_into(edit_at(w, kFormRow[1]), first_password);
    type_into(edit_at(w, kFormRow[2]), new_password);
    type_into(edit_at(w, kFormRow[3]), new_password);
    screenshot("fresh_5_change_filled");
    click(control(w, "确认更改"));
    expect_box(p.id, "友情提醒", "密码修改成功", "fresh_6_changed");

    // The new password signs in.
    sign_in(new_password);
    ASSERT_TRUE(testsupport::wait_until(
        [&] { return count_of(read_file(log_path), ok_line) == ok_before + 2; }, kBoxMs))
        << "the new password did not sign in";
    EXPECT_TRUE(wait_idle());
    pause_ms(700);
    EXPECT_EQ(any_box(p.id), nullptr);

    // The old one is refused with the server's words.
    sign_in(first_password);
    expect_box(p.id, "信息：", "账号或密码错误", "fresh_7_old_password_refused");
    EXPECT_TRUE(wait_idle());

    click(control(w, "×"));
    EXPECT_EQ(p.wait_exit(testsupport::kProgramExitMs), 0);
    EXPECT_TRUE(testsupport::file_exists(ws(windows_path(marker))))
        << "the exit routine did not run";
}

// One sign-in through the window of a client started afresh, for the device
// cookie scenario: run_e2e.sh runs it in turn in one prefix and in a fresh one,
// and locks the account from outside in between. --expect says what the server
// must make of it: "new" (a success that makes the client a known device),
// "known" (a success counted on the device of the cookie kept in the prefix) or
// "locked" (the lock message).
TEST(EndToEnd, SignInAsDevice) {
    const std::string log_path = option("server-log");
    const std::string expect = option("expect");
    const std::wstring account = ws(option("account").c_str());
    ASSERT_TRUE(expect == "new" || expect == "known" || expect == "locked") << expect;
    Process p;
    ASSERT_TRUE(testsupport::start_process_with_args(option("app"), {option("url")}, p));
    HWND w = wait_top_level(p.id, kMainClass, nullptr, kStartMs);
    ASSERT_NE(w, nullptr) << "the main window did not show";
    ASSERT_NE(wait_child_with_text(w, ws("登录"), kRequestMs * 2), nullptr)
        << "the sign-in page did not open";

    const std::string line = "cmd=1 u=" + utf8(account) + " -> ";
    const std::string ok_line = line + (expect == "known" ? "ok (known device)" : "ok\n");
    const size_t ok_before = count_of(read_file(log_path), ok_line);
    type_into(edit_at(w, kSignInAccount), account);
    type_into(edit_at(w, kSignInPassword), ws(option("password").c_str()));
    click(control(w, "登录"));
    if (expect == "locked") {
        expect_box(p.id, "信息：", "密码连续输错次数过多，账号已暂时锁定，请稍后再试",
                   "device_" + expect + "_refused");
    } else {
        EXPECT_TRUE(testsupport::wait_until(
            [&] { return count_of(read_file(log_path), ok_line) == ok_before + 1; }, kBoxMs))
            << "the server did not log " << ok_line;
        pause_ms(700);
        EXPECT_EQ(any_box(p.id), nullptr) << "a successful sign-in shows no box";
        screenshot("device_" + expect + "_signed_in");
    }
    click(control(w, "×"));
    EXPECT_EQ(p.wait_exit(testsupport::kProgramExitMs), 0);
}

namespace {

int64_t file_size_of(const std::string& win_path) {
    WIN32_FILE_ATTRIBUTE_DATA data;
    if (!GetFileAttributesExA(win_path.c_str(), GetFileExInfoStandard, &data)) {
        return -1;
    }
    return (static_cast<int64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
}

std::wstring image_of(DWORD pid) {
    HANDLE h = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, pid);
    if (!h) {
        return {};
    }
    wchar_t path[MAX_PATH * 2] = {};
    DWORD n = MAX_PATH * 2;
    std::wstring out = QueryFullProcessImageNameW(h, 0, path, &n) ? std::wstring(path, n) : L"";
    CloseHandle(h);
    return out;
}

} // namespace

// The server names version 1.002: the real Tarnix.exe, installed in a folder of
// its own, downloads the new program over itself and starts it.
TEST(EndToEnd, Update) {
    const std::string install = windows_path(option("install"));
    const std::string exe = install + "\\Tarnix.exe";
    const std::string served = read_file(option("served"));
    const std::string original = read_file(option("original"));
    ASSERT_NE(served, "<missing>");
    ASSERT_NE(served.size(), original.size()) << "the two builds must be told apart by size";
    ASSERT_EQ(read_file(option("install") + "/Tarnix.exe"), original);

    Process p;
    ASSERT_TRUE(testsupport::start_process(exe, p, install));

    // The prompt, then the update window in place of the main window.
    expect_box(p.id, "信息：", "发现新版本，请立刻更新", "update_1_prompt");
    HWND u = wait_top_level(p.id, L"TarnixUpdateWindow", ws("在线更新").c_str(), kStartMs);
    ASSERT_NE(u, nullptr) << "no update window";
    EXPECT_TRUE(testsupport::wait_until(
        [&] { return wait_top_level(p.id, kMainClass, nullptr, 0) == nullptr; }, 3000))
        << "the main window is still shown";
    HWND description = child_at(u, L"Edit", 50, 110);
    ASSERT_NE(description, nullptr);
    EXPECT_EQ(utf8(text_of(description)), kDescription);
    EXPECT_NE(child_with_text(u, ws("TX - 在线更新")), nullptr);
    screenshot("update_2_window");

    // Download: follow the progress label until the button reads 更新完成. The
    // program file is, at every moment, either the old program or the new one.
    HWND start = control(u, "开始更新");
    ASSERT_NE(start, nullptr);
    click(start);
    std::vector<std::wstring> labels;
    int highest_position = -1;
    bool never_lost = true;
    bool progress_shot = false;
    HWND done = nullptr;
    const auto old_size = static_cast<int64_t>(original.size());
    const auto new_size = static_cast<int64_t>(served.size());
    auto watch = [&] {
        // Tarnix.exe is whole (old or new); only for the instant between
        // the two renames may it be missing, with the old one aside.
        const int64_t size = file_size_of(exe);
        if (size != old_size && size != new_size &&
            !(size == -1 && file_size_of(exe + ".old") == old_size)) {
            never_lost = false;
        }
        if (HWND bar = child_at(u, PROGRESS_CLASSW, 50, 215)) {
            highest_position =
                std::max(highest_position, static_cast<int>(SendMessageW(bar, PBM_GETPOS, 0, 0)));
        }
        if (HWND label = child_at(u, L"TarnixLabel", 0, 230)) {
            const std::wstring t = text_of(label);
            if (labels.empty() || labels.back() != t) {
                labels.push_back(t);
                if (!progress_shot && t.rfind(ws("更新进度（"), 0) == 0) {
                    screenshot("update_3_progress");
                    progress_shot = true;
                }
            }
        }
    };
    testsupport::wait_until(
        [&] {
            watch();
            // Finished once the button reads 更新完成 and can be clicked.
            done = child_with_text(u, ws("更新完成"));
            return done != nullptr && IsWindowEnabled(done);
        },
        60000);
    ASSERT_NE(done, nullptr) << "the download did not finish";
    auto seen_text = [&](const char* t) {
        return std::find(labels.begin(), labels.end(), ws(t)) != labels.end();
    };
    // A download faster than the one-second progress tick ends before any tick:
    // the tick that stops the timer shows 100% after the finish then.
    testsupport::wait_until(
        [&] {
            watch();
            return seen_text("更新进度（100%）");
        },
        2500);
    EXPECT_TRUE(never_lost) << "the program file was seen neither old nor new";
    std::string seen;
    for (const auto& t : labels) {
        seen += utf8(t) + " / ";
    }
    step("labels: " + seen);
    // The progress reached 100% and the finish was announced. (A tick may
    // still rewrite the label after the announcement until the file on disk
    // has the announced size, so their order is not fixed.)
    EXPECT_TRUE(seen_text("更新进度（100%）")) << seen;
    EXPECT_TRUE(seen_text("程序文件更新完毕")) << seen;
    EXPECT_EQ(highest_position, 1000) << seen;
    EXPECT_TRUE(IsWindowEnabled(done));
    screenshot("update_4_finished");

    // With a key built in, the update was signed and its signature checked.
    const bool signed_update = !option("signed").empty() && option("signed") != "0";
    step(signed_update ? "signed update" : "unsigned update (the client has no key built in)");
    if (signed_update) {
        EXPECT_NE(read_file(option("server-log")).find("Tarnix.exe.sig -> 200"), std::string::npos)
            << "the client did not fetch the signature";
    }

    // The new program is in place before anything starts it; the old one only aside.
    EXPECT_EQ(read_file(option("install") + "/Tarnix.exe"), served);
    EXPECT_EQ(file_size_of(exe + ".part"), -1) << "a partial download was left behind";
    const int64_t aside = file_size_of(exe + ".old");
    EXPECT_TRUE(aside == -1 || aside == static_cast<int64_t>(original.size()));

    // 更新完成 starts the new program and ends this one with exit code 0.
    click(done);
    EXPECT_EQ(p.wait_exit(testsupport::kProgramExitMs), 0);
    step("the old process ended");
    HWND next = nullptr;
    DWORD next_pid = 0;
    ASSERT_TRUE(testsupport::wait_until(
        [&] {
            for (HWND w : top_levels_not_of(p.id, kMainClass)) {
                DWORD pid = 0;
                GetWindowThreadProcessId(w, &pid);
                if (lstrcmpiW(image_of(pid).c_str(), ws(exe).c_str()) == 0) {
                    next = w;
                    next_pid = pid;
                    return true;
                }
            }
            return false;
        },
        kStartMs))
        << "the new program did not start";
    HANDLE next_process =
        OpenProcess(SYNCHRONIZE | PROCESS_QUERY_LIMITED_INFORMATION, FALSE, next_pid);
    ASSERT_NE(next_process, nullptr);

    // It is version 1.002: the server's version is its own, so it connects.
    EXPECT_NE(wait_child_with_text(next, L"1.002", kRequestMs * 2), nullptr)
        << "the new program did not connect";
    EXPECT_EQ(any_box(next_pid), nullptr) << "the new program asked to update again";
    screenshot("update_5_new_program");
    // Its start-up removed the old program that the update had put aside.
    EXPECT_TRUE(testsupport::wait_until([&] { return file_size_of(exe + ".old") == -1; }, 5000));
    step("the old program is gone");

    click(control(next, "×"));
    DWORD code = 99;
    EXPECT_EQ(WaitForSingleObject(next_process, 10000), WAIT_OBJECT_0);
    GetExitCodeProcess(next_process, &code);
    EXPECT_EQ(code, 0u);
    if (code == STILL_ACTIVE) {
        TerminateProcess(next_process, 99);
    }
    CloseHandle(next_process);
}

// The server names the older version 1.000 and serves a release validly signed
// for it. A client with a key built in takes only newer versions: it connects
// as on a match, shows its own version, fetches nothing and stays as it is.
// A client without a key keeps the rule that any other version is an update.
TEST(EndToEnd, Rollback) {
    const std::string install = windows_path(option("install"));
    const std::string exe = install + "\\Tarnix.exe";
    const std::string original = read_file(option("original"));
    ASSERT_EQ(read_file(option("install") + "/Tarnix.exe"), original);
    const bool signed_update = !option("signed").empty() && option("signed") != "0";

    Process p;
    ASSERT_TRUE(testsupport::start_process(exe, p, install));
    if (!signed_update) {
        step("no key built in: any other version is an update");
        expect_box(p.id, "信息：", "发现新版本，请立刻更新", "rollback_1_unsigned_prompt");
        HWND u = wait_top_level(p.id, L"TarnixUpdateWindow", ws("在线更新").c_str(), kStartMs);
        ASSERT_NE(u, nullptr) << "no update window";
        click(control(u, "×"));
        EXPECT_EQ(p.wait_exit(testsupport::kProgramExitMs), 0);
        EXPECT_EQ(read_file(option("install") + "/Tarnix.exe"), original);
        return;
    }
    HWND w = wait_top_level(p.id, kMainClass, nullptr, kStartMs);
    ASSERT_NE(w, nullptr) << "the main window did not show";
    ASSERT_NE(wait_child_with_text(w, ws("登录"), kRequestMs * 2), nullptr)
        << "the sign-in page did not open";
    EXPECT_NE(child_with_text(w, ws("连接成功"), false), nullptr);
    EXPECT_NE(wait_child_with_text(w, L"1.001", 3000), nullptr) << "the own version is not shown";
    EXPECT_EQ(child_with_text(w, L"1.000", false), nullptr) << "the older version is shown";
    EXPECT_NE(child_with_text(w, ws(kAnnouncement)), nullptr) << "no announcement";
    // Long enough for a prompt or a download to have begun.
    pause_ms(1500);
    EXPECT_EQ(any_box(p.id), nullptr) << "an update prompt was shown";
    EXPECT_EQ(wait_top_level(p.id, L"TarnixUpdateWindow", nullptr, 0), nullptr);
    screenshot("rollback_1_sign_in_page");
    EXPECT_EQ(read_file(option("server-log")).find("GET /download/"), std::string::npos)
        << "the older release was fetched";

    click(control(w, "×"));
    EXPECT_EQ(p.wait_exit(testsupport::kProgramExitMs), 0);
    EXPECT_EQ(read_file(option("install") + "/Tarnix.exe"), original) << "the program changed";
    EXPECT_EQ(file_size_of(exe + ".part"), -1);
    EXPECT_EQ(file_size_of(exe + ".old"), -1);
}
