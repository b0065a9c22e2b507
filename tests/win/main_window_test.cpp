#include "app/program_win.h"
#include "support/box_watcher_win.h"
#include "support/process_win.h"
#include "ui/controls_win.h"
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
const char* const kNav[] = {"按钮_A", "按钮_B", "按钮_D"};

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
        return {ui::page(w_, "选择夹_界面"),    ui::left(w_, "图片框_滑块"),
                ui::visible(w_, "图片框_滑块"), ui::checked(w_, "按钮_A"),
                ui::checked(w_, "按钮_B"),      ui::checked(w_, "按钮_D")};
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

// After the creation handler: 420 x 350, shadowed, navigation disabled and
// unchecked, slider hidden, the connecting page with its text.
TEST_F(MainWindow, StartsOnTheConnectingPage) {
    RECT r;
    GetWindowRect(w_, &r);
    EXPECT_EQ(r.right - r.left, 420);
    EXPECT_EQ(r.bottom - r.top, 350);
    EXPECT_TRUE(IsWindowVisible(w_));
    for (const char* n : kNav) {
        EXPECT_TRUE(ui::disabled(w_, n)) << n;
        EXPECT_FALSE(ui::checked(w_, n)) << n;
    }
    EXPECT_FALSE(ui::visible(w_, "图片框_滑块"));
    EXPECT_EQ(ui::page(w_, "选择夹_界面"), 0);
    EXPECT_EQ(ui::text(w_, "标签_连接状态"), gbk("正在连接服务器"));
    EXPECT_TRUE(IsWindowVisible(ui::control(w_, "图片框1")));
    EXPECT_FALSE(IsWindowVisible(ui::control(w_, "编辑框_登录账号")));

    HWND shadow = static_cast<HWND>(GetPropA(w_, "WndShadow"));
    ASSERT_TRUE(IsWindow(shadow));
    RECT s;
    GetWindowRect(shadow, &s);
    EXPECT_EQ(s.left, r.left - 5);
    EXPECT_EQ(s.right - s.left, 430);
    EXPECT_EQ(s.bottom - s.top, 360);

    // A disabled navigation button ignores clicks.
    click("按钮_B");
    EXPECT_EQ(ui::page(w_, "选择夹_界面"), 0);
    pump(300); // a few animation frames
    testsupport::save_screenshot("main_page0_connecting");
}

// Each navigation action sets page, slider and check marks; "按钮_注册" is the
// "按钮_B" action; repeating the checked button's action changes nothing.
TEST_F(MainWindow, NavigationActionsSetPageSliderAndChecks) {
    enable_navigation();
    run_navigation_action("按钮_A"); // as the handshake does
    EXPECT_EQ(nav(), (NavState{1, 40, true, true, false, false}));
    ui::set_text(w_, "标签_版本", "1.001");
    ui::set_text(w_, "编辑框_登录账号", "tarnix_user");
    ui::set_text(w_, "编辑框_登录密码", "secret");
    ui::set_bounds(w_, "标签_公告", {140, 0, 8 * 16, 20});
    ui::set_text(w_, "标签_公告", gbk("欢迎使用Tarnix客户端"));
    ui::set_visible(w_, "标签_公告", true);
    pump(150);
    testsupport::save_screenshot("main_page1_signin");

    click("按钮_B");
    const NavState sign_up{2, 110, true, false, true, false};
    EXPECT_EQ(nav(), sign_up);
    pump(150);
    testsupport::save_screenshot("main_page2_signup");

    run_navigation_action("按钮_A");
    click("按钮_注册");
    EXPECT_EQ(nav(), sign_up);

    click("按钮_D");
    const NavState password{3, 250, true, false, false, true};
    EXPECT_EQ(nav(), password);
    click("按钮_D");
    EXPECT_EQ(nav(), password);
    pump(150);
    testsupport::save_screenshot("main_page3_password");

    // The slider follows the button's current left edge.
    ui::set_left(w_, "按钮_B", 120);
    click("按钮_B");
    EXPECT_EQ(ui::left(w_, "图片框_滑块"), 120);
}

// The label sits exactly one tick at x = -width, then re-enters at the window width.
TEST_F(MainWindow, AnnouncementWrapsAfterOneTickFullyOut) {
    run_navigation_action("按钮_A");
    ui::set_visible(w_, "标签_公告", true);
    for (int w : {8, 80, 160, 333}) {
        SCOPED_TRACE(w);
        ui::set_bounds(w_, "标签_公告", {-w + 2, 0, w, 20});
        announcement_scroll_step();
        EXPECT_EQ(ui::left(w_, "标签_公告"), -w + 1);
        announcement_scroll_step();
        EXPECT_EQ(ui::left(w_, "标签_公告"), -w);
        announcement_scroll_step();
        EXPECT_EQ(ui::left(w_, "标签_公告"), 420);
        announcement_scroll_step();
        EXPECT_EQ(ui::left(w_, "标签_公告"), 419);
        EXPECT_EQ(ui::width(w_, "标签_公告"), w);
    }
    // Driven by its timer once the interval is set.
    ui::set_bounds(w_, "标签_公告", {100, 0, 80, 20});
    ui::set_interval(w_, "时钟_公告移动", 20);
    EXPECT_TRUE(testsupport::wait_until([&] { return ui::left(w_, "标签_公告") <= 95; }, 3000));
    ui::set_interval(w_, "时钟_公告移动", 0);
}

// Limits count GBK bytes, typed or pasted, and never split a Chinese character.
TEST_F(MainWindow, EditLimitsCountGbkBytes) {
    run_navigation_action("按钮_A");
    const std::wstring a31(31, L'a');
    HWND sign_in_pw = ui::control(w_, "编辑框_登录密码");
    HWND sign_up_pw = ui::control(w_, "编辑框_注册密码");
    HWND account = ui::control(w_, "编辑框_登录账号");
    type(sign_in_pw, a31);
    EXPECT_EQ(ui::text(w_, "编辑框_登录密码"), std::string(31, 'a'));
    type(sign_up_pw, a31);
    EXPECT_EQ(ui::text(w_, "编辑框_注册密码"), std::string(30, 'a'));

    type(account, std::wstring(16, L'中'));
    std::string fifteen;
    for (int i = 0; i < 15; ++i) {
        fifteen += gbk("中");
    }
    EXPECT_EQ(ui::text(w_, "编辑框_登录账号"), fifteen);
    EXPECT_EQ(ui::text(w_, "编辑框_登录账号").size(), 30u);

    // One byte left: a Chinese character does not fit, a letter does.
    ui::set_text(w_, "编辑框_登录账号", "");
    type(account, L"a" + std::wstring(15, L'中'));
    EXPECT_EQ(ui::text(w_, "编辑框_登录账号").size(), 29u);
    type(account, L"b");
    EXPECT_EQ(ui::text(w_, "编辑框_登录账号").size(), 30u);
    EXPECT_EQ(ui::text(w_, "编辑框_登录账号").back(), 'b');

    // Pasting: cut to what fits, at a character boundary; a selection is replaced.
    ASSERT_TRUE(put_on_clipboard(std::wstring(40, L'x')));
    ui::set_text(w_, "编辑框_注册密码", "");
    SendMessageW(sign_up_pw, WM_PASTE, 0, 0);
    EXPECT_EQ(ui::text(w_, "编辑框_注册密码"), std::string(30, 'x'));
    SendMessageW(sign_up_pw, EM_SETSEL, 0, 10);
    ASSERT_TRUE(put_on_clipboard(L"yyyyyyyyyyyy"));
    SendMessageW(sign_up_pw, WM_PASTE, 0, 0);
    EXPECT_EQ(ui::text(w_, "编辑框_注册密码"), std::string(10, 'y') + std::string(20, 'x'));

    ASSERT_TRUE(put_on_clipboard(L"a" + std::wstring(20, L'中') + L"\r\nsecond line"));
    ui::set_text(w_, "编辑框_登录账号", "");
    SendMessageW(account, WM_CHAR, 0x16, 1); // Ctrl+V
    std::string pasted = ui::text(w_, "编辑框_登录账号");
    EXPECT_EQ(pasted.size(), 29u);
    EXPECT_EQ(pasted.substr(0, 3), "a" + gbk("中"));

    // The content reads back as GBK whatever the ANSI code page.
    ui::set_text(w_, "编辑框_绑定邮箱", gbk("用户@例子.cn"));
    EXPECT_EQ(ui::text(w_, "编辑框_绑定邮箱"), gbk("用户@例子.cn"));
}

// Underline frames: status grey while their box has the focus, silver otherwise.
// Tab walks a page's boxes in tab order; Enter presses the page's action button.
TEST_F(MainWindow, FocusTabAndEnter) {
    enable_navigation();
    run_navigation_action("按钮_B");
    EXPECT_EQ(ui::back_color(w_, "图片框_注册账号"), kSilver);
    SetFocus(ui::control(w_, "编辑框_注册账号"));
    EXPECT_EQ(ui::back_color(w_, "图片框_注册账号"), kStatusGrey);

    const char* order[] = {"编辑框_注册密码", "编辑框_绑定邮箱", "编辑框_验证码",
                           "编辑框_注册账号"};
    for (const char* next : order) {
        SendMessageW(GetFocus(), WM_KEYDOWN, VK_TAB, 0);
        EXPECT_EQ(GetFocus(), ui::control(w_, next)) << next;
    }
    EXPECT_EQ(ui::back_color(w_, "图片框_注册账号"), kStatusGrey);
    EXPECT_EQ(ui::back_color(w_, "图片框_验证码"), kSilver);
    SetFocus(ui::control(w_, "编辑框_验证码"));
    EXPECT_EQ(ui::back_color(w_, "图片框_注册账号"), kSilver);
    EXPECT_EQ(ui::back_color(w_, "图片框_验证码"), kStatusGrey);

    // The account operations bound to these buttons answer empty forms with a
    // message box; the watcher closes them.
    testsupport::BoxWatcher boxes;
    int sign_ups = 0;
    int sign_ins = 0;
    ui::bind_event(w_, "按钮_确认注册", ui::Event::Clicked, [&] { ++sign_ups; });
    ui::bind_event(w_, "按钮_登录", ui::Event::Clicked, [&] { ++sign_ins; });
    SendMessageW(ui::control(w_, "编辑框_验证码"), WM_KEYDOWN, VK_RETURN, 0);
    EXPECT_EQ(sign_ups, 1);
    EXPECT_EQ(sign_ins, 0);
    ui::set_disabled(w_, "按钮_确认注册", true); // busy: Enter does nothing
    SendMessageW(ui::control(w_, "编辑框_验证码"), WM_KEYDOWN, VK_RETURN, 0);
    EXPECT_EQ(sign_ups, 1);

    run_navigation_action("按钮_A");
    SetFocus(ui::control(w_, "编辑框_登录密码"));
    SendMessageW(GetFocus(), WM_KEYDOWN, VK_RETURN, 0);
    EXPECT_EQ(sign_ins, 1);
    SetFocus(ui::control(w_, "编辑框_登录密码")); // the sign-in's message box took it
    // Leaving the page takes the focus (and the grey underline) with it.
    EXPECT_EQ(ui::back_color(w_, "图片框_登录密码"), kStatusGrey);
    run_navigation_action("按钮_D");
    EXPECT_EQ(ui::back_color(w_, "图片框_登录密码"), kSilver);
}

// A change asked for on another thread is made on the UI thread, and the caller
// sees it done when the call returns.
TEST_F(MainWindow, PropertiesFromAnotherThreadLandOnTheUiThread) {
    const DWORD ui_thread = GetCurrentThreadId();
    std::atomic<DWORD> tick_thread{0};
    ui::bind_event(w_, "时钟_公告移动", ui::Event::Tick, [&] {
        tick_thread = GetCurrentThreadId();
        ui::set_interval(w_, "时钟_公告移动", 0);
    });
    std::atomic<bool> done{false};
    std::string seen;
    bool seen_checked = false;
    std::thread worker([&] {
        ui::set_text(w_, "标签_连接状态", gbk("连接成功"));
        seen = ui::text(w_, "标签_连接状态");
        ui::set_checked(w_, "按钮_A", true);
        seen_checked = ui::checked(w_, "按钮_A");
        ui::set_interval(w_, "时钟_公告移动", 30); // SetTimer works only on the form's own thread
        run_navigation_action("按钮_A");
        done = true;
    });
    EXPECT_TRUE(testsupport::wait_until([&] { return done && tick_thread != 0; }, 5000));
    worker.join();
    EXPECT_EQ(seen, gbk("连接成功"));
    EXPECT_TRUE(seen_checked);
    EXPECT_EQ(tick_thread.load(), ui_thread);
    EXPECT_EQ(ui::page(w_, "选择夹_界面"), 1);
}

// Minimise works in every state; every control's window text is its caption.
TEST_F(MainWindow, MinimiseAndReadableTexts) {
    EXPECT_EQ(window_text(ui::control(w_, "按钮_A")), L"Tarnix主页");
    EXPECT_EQ(window_text(ui::control(w_, "按钮_关闭")), L"×");
    EXPECT_EQ(window_text(ui::control(w_, "标签_连接状态")), L"正在连接服务器");
    EXPECT_EQ(window_text(w_), L"Tarnix");
    // A button answers BM_CLICK as automation tools send it.
    SendMessageW(ui::control(w_, "按钮_最小化"), BM_CLICK, 0, 0);
    EXPECT_TRUE(testsupport::wait_until([&] { return IsIconic(w_) != FALSE; }, 3000));
}

namespace {
struct TextSearch {
    const wchar_t* text;
    HWND found;
};
BOOL CALLBACK find_by_text(HWND w, LPARAM lp) {
    auto* s = reinterpret_cast<TextSearch*>(lp);
    if (window_text(w) == s->text) {
        s->found = w;
        return FALSE;
    }
    return TRUE;
}
} // namespace

// As a user (or a screen reader) finds it: the close button, found by its text,
// ends the program with exit code 0.
TEST(MainWindowProgram, CloseButtonFoundByItsTextEndsWithZero) {
    testsupport::Process p;
    ASSERT_TRUE(testsupport::start_process(TARNIX_EXE_PATH, p));
    HWND w = testsupport::wait_for_window(p.id, L"TarnixMainWindow", 20000);
    ASSERT_NE(w, nullptr);
    TextSearch s{L"×", nullptr};
    EnumChildWindows(w, find_by_text, reinterpret_cast<LPARAM>(&s));
    ASSERT_NE(s.found, nullptr);
    PostMessageW(s.found, BM_CLICK, 0, 0);
    EXPECT_EQ(p.wait_exit(15000), 0);
}
