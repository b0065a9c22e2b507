#include "app/program_win.h"
#include "support/box_watcher_win.h"
#include "support/process_win.h"
#include "ui/controls_win.h"
#include "platform/dpi_win.h"
#include "ui/forms_win.h"
#include "ui/gbk_win.h"
#include "app/composition_win.h"
#include "ui/main_window_win.h"

#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>

namespace {

constexpr COLORREF kStatusGrey = RGB(128, 128, 128);
constexpr COLORREF kSilver = RGB(192, 192, 192);
const char* const kNav[] = {main_names::kNavHome, main_names::kNavSignUp, main_names::kNavPassword};

void pump(DWORD ms) {
    testsupport::wait_until([] { return false; }, ms);
}

void type(HWND edit, const std::wstring& chars) {
    for (wchar_t c : chars) {
        SendMessageW(edit, WM_CHAR, c, 1);
    }
}

bool put_on_clipboard(const std::wstring& text) {
    if (!OpenClipboard(nullptr)) {
        return false;
    }
    EmptyClipboard();
    size_t bytes = (text.size() + 1) * sizeof(wchar_t);
    HGLOBAL mem = GlobalAlloc(GMEM_MOVEABLE, bytes);
    memcpy(GlobalLock(mem), text.c_str(), bytes);
    GlobalUnlock(mem);
    bool ok = SetClipboardData(CF_UNICODETEXT, mem) != nullptr;
    CloseClipboard();
    return ok;
}

std::wstring window_text(HWND w) {
    wchar_t buf[256] = {};
    GetWindowTextW(w, buf, 256);
    return buf;
}

// What the navigation shows: page, slider and check marks.
struct NavState {
    int page;
    int slider_left;
    bool slider_visible;
    bool a, b, d;
    bool operator==(const NavState& o) const {
        return page == o.page && slider_left == o.slider_left &&
               slider_visible == o.slider_visible && a == o.a && b == o.b && d == o.d;
    }
};

class MainWindow : public testing::Test {
protected:
    void SetUp() override {
        start_program();
        w_ = create_main_window();
        ASSERT_NE(w_, nullptr);
        pump(100);
    }
    NavState nav() const {
        return {ui::page(w_, main_names::kPages),        ui::left(w_, main_names::kSlider),
                ui::visible(w_, main_names::kSlider),    ui::checked(w_, main_names::kNavHome),
                ui::checked(w_, main_names::kNavSignUp), ui::checked(w_, main_names::kNavPassword)};
    }
    void enable_navigation() {
        for (const char* n : kNav) {
            ui::set_disabled(w_, n, false);
        }
    }
    void click(const char* name) {
        HWND b = ui::control(w_, name);
        SendMessageW(b, WM_LBUTTONDOWN, MK_LBUTTON, MAKELPARAM(5, 5));
        SendMessageW(b, WM_LBUTTONUP, 0, MAKELPARAM(5, 5));
    }
    HWND w_ = nullptr;
};

} // namespace

// After the creation handler: 420 x 350 (at 96 DPI), shadowed, navigation disabled and
// unchecked, slider hidden, the connecting page with its text.
TEST_F(MainWindow, StartsOnTheConnectingPage) {
    RECT r;
    GetWindowRect(w_, &r);
    const int dpi = ui::form_dpi(w_);
    EXPECT_EQ(r.right - r.left, ui::scale_to(420, dpi));
    EXPECT_EQ(r.bottom - r.top, ui::scale_to(350, dpi));
    EXPECT_TRUE(IsWindowVisible(w_));
    for (const char* n : kNav) {
        EXPECT_TRUE(ui::disabled(w_, n)) << n;
        EXPECT_FALSE(ui::checked(w_, n)) << n;
    }
    EXPECT_FALSE(ui::visible(w_, main_names::kSlider));
    EXPECT_EQ(ui::page(w_, main_names::kPages), 0);
    EXPECT_EQ(ui::text(w_, main_names::kConnectionState), gbk("正在连接服务器"));
    EXPECT_TRUE(IsWindowVisible(ui::control(w_, "图片框1")));
    EXPECT_FALSE(IsWindowVisible(ui::control(w_, main_names::kSignInAccount)));

    HWND shadow = static_cast<HWND>(GetPropA(w_, "WndShadow"));
    ASSERT_TRUE(IsWindow(shadow));
    RECT s;
    GetWindowRect(shadow, &s);
    // An even margin all round: 5 pixels at 96 DPI (the shadow scales its own).
    const int margin = r.left - s.left;
    if (dpi == 96) {
        EXPECT_EQ(margin, 5);
    }
    EXPECT_EQ(r.top - s.top, margin);
    EXPECT_EQ(s.right - r.right, margin);
    EXPECT_EQ(s.bottom - r.bottom, margin);

    // A disabled navigation button ignores clicks.
    click(main_names::kNavSignUp);
    EXPECT_EQ(ui::page(w_, main_names::kPages), 0);
    pump(300); // a few animation frames
    testsupport::save_screenshot("main_page0_connecting");
}

// Each navigation action sets page, slider and check marks; main_names::kSignUpLink is the
// main_names::kNavSignUp action; repeating the checked button's action changes nothing.
TEST_F(MainWindow, NavigationActionsSetPageSliderAndChecks) {
    enable_navigation();
    run_navigation_action(main_names::kNavHome); // as the handshake does
    EXPECT_EQ(nav(), (NavState{1, 40, true, true, false, false}));
    ui::set_text(w_, main_names::kVersion, "1.001");
    ui::set_text(w_, main_names::kSignInAccount, "tarnix_user");
    ui::set_text(w_, main_names::kSignInPassword, "secret");
    ui::set_bounds(w_, main_names::kAnnouncement, {140, 0, 8 * 16, 20});
    ui::set_text(w_, main_names::kAnnouncement, gbk("欢迎使用Tarnix客户端"));
    ui::set_visible(w_, main_names::kAnnouncement, true);
    pump(150);
    testsupport::save_screenshot("main_page1_signin");

    click(main_names::kNavSignUp);
    const NavState sign_up{2, 110, true, false, true, false};
    EXPECT_EQ(nav(), sign_up);
    pump(150);
    testsupport::save_screenshot("main_page2_signup");

    run_navigation_action(main_names::kNavHome);
    click(main_names::kSignUpLink);
    EXPECT_EQ(nav(), sign_up);

    click(main_names::kNavPassword);
    const NavState password{3, 250, true, false, false, true};
    EXPECT_EQ(nav(), password);
    click(main_names::kNavPassword);
    EXPECT_EQ(nav(), password);
    pump(150);
    testsupport::save_screenshot("main_page3_password");

    // The slider follows the button's current left edge.
    ui::set_left(w_, main_names::kNavSignUp, 120);
    click(main_names::kNavSignUp);
    EXPECT_EQ(ui::left(w_, main_names::kSlider), 120);
}

// The label sits exactly one tick at x = -width, then re-enters at the window width.
TEST_F(MainWindow, AnnouncementWrapsAfterOneTickFullyOut) {
    run_navigation_action(main_names::kNavHome);
    ui::set_visible(w_, main_names::kAnnouncement, true);
    for (int w : {8, 80, 160, 333}) {
        SCOPED_TRACE(w);
        ui::set_bounds(w_, main_names::kAnnouncement, {-w + 2, 0, w, 20});
        announcement_scroll_step();
        EXPECT_EQ(ui::left(w_, main_names::kAnnouncement), -w + 1);
        announcement_scroll_step();
        EXPECT_EQ(ui::left(w_, main_names::kAnnouncement), -w);
        announcement_scroll_step();
        EXPECT_EQ(ui::left(w_, main_names::kAnnouncement), 420);
        announcement_scroll_step();
        EXPECT_EQ(ui::left(w_, main_names::kAnnouncement), 419);
        EXPECT_EQ(ui::width(w_, main_names::kAnnouncement), w);
    }
    // Driven by its timer once the interval is set.
    ui::set_bounds(w_, main_names::kAnnouncement, {100, 0, 80, 20});
    ui::set_interval(w_, main_names::kAnnouncementTimer, 20);
    EXPECT_TRUE(testsupport::wait_until(
        [&] { return ui::left(w_, main_names::kAnnouncement) <= 95; }, 3000));
    ui::set_interval(w_, main_names::kAnnouncementTimer, 0);
}

// Limits count GBK bytes, typed or pasted, and never split a Chinese character.
TEST_F(MainWindow, EditLimitsCountGbkBytes) {
    run_navigation_action(main_names::kNavHome);
    const std::wstring a31(31, L'a');
    HWND sign_in_pw = ui::control(w_, main_names::kSignInPassword);
    HWND sign_up_pw = ui::control(w_, main_names::kSignUpPassword);
    HWND account = ui::control(w_, main_names::kSignInAccount);
    type(sign_in_pw, a31);
    EXPECT_EQ(ui::text(w_, main_names::kSignInPassword), std::string(31, 'a'));
    type(sign_up_pw, a31);
    EXPECT_EQ(ui::text(w_, main_names::kSignUpPassword), std::string(30, 'a'));

    type(account, std::wstring(16, L'中'));
    std::string fifteen;
    for (int i = 0; i < 15; ++i) {
        fifteen += gbk("中");
    }
    EXPECT_EQ(ui::text(w_, main_names::kSignInAccount), fifteen);
    EXPECT_EQ(ui::text(w_, main_names::kSignInAccount).size(), 30u);

    // One byte left: a Chinese character does not fit, a letter does.
    ui::set_text(w_, main_names::kSignInAccount, "");
    type(account, L"a" + std::wstring(15, L'中'));
    EXPECT_EQ(ui::text(w_, main_names::kSignInAccount).size(), 29u);
    type(account, L"b");
    EXPECT_EQ(ui::text(w_, main_names::kSignInAccount).size(), 30u);
    EXPECT_EQ(ui::text(w_, main_names::kSignInAccount).back(), 'b');

    // Pasting: cut to what fits, at a character boundary; a selection is replaced.
    ASSERT_TRUE(put_on_clipboard(std::wstring(40, L'x')));
    ui::set_text(w_, main_names::kSignUpPassword, "");
    SendMessageW(sign_up_pw, WM_PASTE, 0, 0);
    EXPECT_EQ(ui::text(w_, main_names::kSignUpPassword), std::string(30, 'x'));
    SendMessageW(sign_up_pw, EM_SETSEL, 0, 10);
    ASSERT_TRUE(put_on_clipboard(L"yyyyyyyyyyyy"));
    SendMessageW(sign_up_pw, WM_PASTE, 0, 0);
    EXPECT_EQ(ui::text(w_, main_names::kSignUpPassword),
              std::string(10, 'y') + std::string(20, 'x'));

    ASSERT_TRUE(put_on_clipboard(L"a" + std::wstring(20, L'中') + L"\r\nsecond line"));
    ui::set_text(w_, main_names::kSignInAccount, "");
    SendMessageW(account, WM_CHAR, 0x16, 1); // Ctrl+V
    std::string pasted = ui::text(w_, main_names::kSignInAccount);
    EXPECT_EQ(pasted.size(), 29u);
    EXPECT_EQ(pasted.substr(0, 3), "a" + gbk("中"));

    // The content reads back as GBK whatever the ANSI code page.
    ui::set_text(w_, main_names::kEmail, gbk("用户@例子.cn"));
    EXPECT_EQ(ui::text(w_, main_names::kEmail), gbk("用户@例子.cn"));
}

// Underline frames: status grey while their box has the focus, silver otherwise.
// Tab walks a page's boxes in tab order (the rest of the cycle: keyboard_test);
// Enter presses the page's action button.
TEST_F(MainWindow, FocusTabAndEnter) {
    enable_navigation();
    run_navigation_action(main_names::kNavSignUp);
    EXPECT_EQ(ui::back_color(w_, "图片框_注册账号"), kSilver);
    SetFocus(ui::control(w_, main_names::kSignUpAccount));
    EXPECT_EQ(ui::back_color(w_, "图片框_注册账号"), kStatusGrey);

    const char* order[] = {main_names::kSignUpPassword, main_names::kEmail, main_names::kCode};
    for (const char* next : order) {
        SendMessageW(GetFocus(), WM_KEYDOWN, VK_TAB, 0);
        EXPECT_EQ(GetFocus(), ui::control(w_, next)) << next;
    }
    EXPECT_EQ(ui::back_color(w_, "图片框_注册账号"), kSilver);
    EXPECT_EQ(ui::back_color(w_, "图片框_验证码"), kStatusGrey);

    // The account operations bound to these buttons answer empty forms with a
    // message box; the watcher closes them.
    testsupport::BoxWatcher boxes;
    int sign_ups = 0;
    int sign_ins = 0;
    ui::bind_event(w_, main_names::kConfirmSignUp, ui::Event::Clicked, [&] { ++sign_ups; });
    ui::bind_event(w_, main_names::kSignIn, ui::Event::Clicked, [&] { ++sign_ins; });
    SendMessageW(ui::control(w_, main_names::kCode), WM_KEYDOWN, VK_RETURN, 0);
    EXPECT_EQ(sign_ups, 1);
    EXPECT_EQ(sign_ins, 0);
    ui::set_disabled(w_, main_names::kConfirmSignUp, true); // busy: Enter does nothing
    SendMessageW(ui::control(w_, main_names::kCode), WM_KEYDOWN, VK_RETURN, 0);
    EXPECT_EQ(sign_ups, 1);

    run_navigation_action(main_names::kNavHome);
    SetFocus(ui::control(w_, main_names::kSignInPassword));
    SendMessageW(GetFocus(), WM_KEYDOWN, VK_RETURN, 0);
    EXPECT_EQ(sign_ins, 1);
    SetFocus(ui::control(w_, main_names::kSignInPassword)); // the sign-in's message box took it
    // Leaving the page takes the focus (and the grey underline) with it.
    EXPECT_EQ(ui::back_color(w_, "图片框_登录密码"), kStatusGrey);
    run_navigation_action(main_names::kNavPassword);
    EXPECT_EQ(ui::back_color(w_, "图片框_登录密码"), kSilver);
}

// A change asked for on another thread is made on the UI thread, and the caller
// sees it done when the call returns.
TEST_F(MainWindow, PropertiesFromAnotherThreadLandOnTheUiThread) {
    const DWORD ui_thread = GetCurrentThreadId();
    std::atomic<DWORD> tick_thread{0};
    ui::bind_event(w_, main_names::kAnnouncementTimer, ui::Event::Tick, [&] {
        tick_thread = GetCurrentThreadId();
        ui::set_interval(w_, main_names::kAnnouncementTimer, 0);
    });
    std::atomic<bool> done{false};
    std::string seen;
    bool seen_checked = false;
    std::thread worker([&] {
        ui::set_text(w_, main_names::kConnectionState, gbk("连接成功"));
        seen = ui::text(w_, main_names::kConnectionState);
        ui::set_checked(w_, main_names::kNavHome, true);
        seen_checked = ui::checked(w_, main_names::kNavHome);
        ui::set_interval(w_, main_names::kAnnouncementTimer,
                         30); // SetTimer works only on the form's own thread
        run_navigation_action(main_names::kNavHome);
        done = true;
    });
    EXPECT_TRUE(testsupport::wait_until([&] { return done && tick_thread != 0; }, 5000));
    worker.join();
    EXPECT_EQ(seen, gbk("连接成功"));
    EXPECT_TRUE(seen_checked);
    EXPECT_EQ(tick_thread.load(), ui_thread);
    EXPECT_EQ(ui::page(w_, main_names::kPages), 1);
}

// Minimise works in every state; every control's window text is its caption.
TEST_F(MainWindow, MinimiseAndReadableTexts) {
    EXPECT_EQ(window_text(ui::control(w_, main_names::kNavHome)), L"Tarnix主页");
    EXPECT_EQ(window_text(ui::control(w_, main_names::kClose)), L"×");
    EXPECT_EQ(window_text(ui::control(w_, main_names::kConnectionState)), L"正在连接服务器");
    EXPECT_EQ(window_text(w_), L"Tarnix");
    // A button answers BM_CLICK as automation tools send it.
    SendMessageW(ui::control(w_, main_names::kMinimize), BM_CLICK, 0, 0);
    EXPECT_TRUE(testsupport::wait_until([&] { return IsIconic(w_) != FALSE; }, 3000));
}

namespace {
// What OutputDebugString said, seen through the exception it raises.
std::string g_debug_output;
LONG CALLBACK keep_debug_output(EXCEPTION_POINTERS* e) {
    const EXCEPTION_RECORD& r = *e->ExceptionRecord;
    if (r.ExceptionCode == 0x40010006 && r.NumberParameters >= 2) { // DBG_PRINTEXCEPTION_C
        g_debug_output += reinterpret_cast<const char*>(r.ExceptionInformation[1]);
    }
    return EXCEPTION_CONTINUE_SEARCH;
}
} // namespace

// Every name the code reaches names a control of the layout, and a name that
// names none is reported rather than silently doing nothing.
TEST_F(MainWindow, ControlNamesMatchTheLayoutAndUnknownNamesAreReported) {
    for (const char* name : main_names::kAll) {
        EXPECT_TRUE(ui::has_control(w_, name)) << name;
    }
    EXPECT_FALSE(ui::has_control(w_, "按钮_登陆"));
    PVOID handler = AddVectoredExceptionHandler(1, keep_debug_output);
    ui::set_text(w_, "按钮_登陆", "x"); // 陆 for 录: one character off
    RemoveVectoredExceptionHandler(handler);
    EXPECT_NE(g_debug_output.find("has no control"), std::string::npos) << g_debug_output;
    EXPECT_EQ(ui::text(w_, main_names::kSignIn), gbk("登录"));
}

// As a user (or a screen reader) finds it: the close button, found by its text,
// ends the program with exit code 0.
TEST(MainWindowProgram, CloseButtonFoundByItsTextEndsWithZero) {
    testsupport::Process p;
    ASSERT_TRUE(testsupport::start_process(TARNIX_EXE_PATH, p));
    HWND w = testsupport::wait_for_window(p.id, L"TarnixMainWindow", testsupport::kProgramStartMs);
    ASSERT_NE(w, nullptr);
    HWND close = testsupport::find_child_by_text(w, L"×");
    ASSERT_NE(close, nullptr);
    PostMessageW(close, BM_CLICK, 0, 0);
    EXPECT_EQ(p.wait_exit(testsupport::kProgramExitMs), 0);
}
