// The main window from the keyboard alone, and under high contrast.
#include "support/main_window_session_win.h"
#include "support/process_win.h"
#include "ui/accessible_win.h"
#include "ui/controls_win.h"
#include "platform/dpi_win.h"
#include "ui/forms_win.h"
#include "ui/main_window_win.h"

#include <gtest/gtest.h>

#include <initializer_list>
#include <string>
#include <vector>

namespace {

using namespace main_names;
using testsupport::wait_until;

constexpr char kServiceLink[] = "超级链接框_客服";

// Holds keys down for GetKeyState, as a user would, until it goes.
class HeldKeys {
public:
    explicit HeldKeys(std::initializer_list<int> keys) {
        GetKeyboardState(saved_);
        BYTE now[256];
        GetKeyboardState(now);
        for (int k : keys) {
            now[k] = 0x80;
        }
        SetKeyboardState(now);
    }
    ~HeldKeys() { SetKeyboardState(saved_); }

private:
    BYTE saved_[256];
};

void press(WPARAM key) {
    SendMessageW(GetFocus(), WM_KEYDOWN, key, 0);
}

// Pixels of row `y` of `h` that are not white (a dotted focus ring inverts some).
int dark_pixels_in_row(HWND h, int y) {
    UpdateWindow(h);
    RECT rc;
    GetClientRect(h, &rc);
    HDC dc = GetDC(h);
    int n = 0;
    for (int x = 0; x < rc.right; ++x) {
        n += GetPixel(dc, x, y) != RGB(255, 255, 255) ? 1 : 0;
    }
    ReleaseDC(h, dc);
    return n;
}

// The screen as shown: Wine puts painted windows on screen while messages flow.
void screenshot(const char* name) {
    wait_until([] { return false; }, 300);
    testsupport::save_screenshot(name);
}

// The colour at (x, y) of `h`, given in design units (96 DPI).
COLORREF pixel(HWND h, int x, int y) {
    UpdateWindow(h);
    const int dpi = ui::window_dpi(h);
    HDC dc = GetDC(h);
    COLORREF c = GetPixel(dc, ui::scale_to(x, dpi), ui::scale_to(y, dpi));
    ReleaseDC(h, dc);
    return c;
}

class Keyboard : public testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(session.start());
        w = session.window;
    }
    HWND at(const char* name) const { return ui::control(w, name); }
    testsupport::MainWindowSession session;
    HWND w = nullptr;
};

} // namespace

// Tab visits a page's boxes, its buttons and links, the navigation and the
// window buttons, and comes round; Shift+Tab walks the same cycle backwards.
TEST_F(Keyboard, TabCycleOfEveryPageBothWays) {
    const std::vector<const char*> tail = {kNavHome, kNavSignUp, kNavPassword, kMinimize, kClose};
    struct Cycle {
        const char* nav;
        int page;
        std::vector<const char*> stops;
    };
    const Cycle cycles[] = {
        {kNavHome, 1, {kSignInAccount, kSignInPassword, kSignIn, kServiceLink, kSignUpLink}},
        {kNavSignUp, 2, {kSignUpAccount, kSignUpPassword, kEmail, kCode, kGetCode, kConfirmSignUp}},
        {kNavPassword,
         3,
         {kChangeAccount, kOldPassword, kNewPassword, kRepeatPassword, kConfirmChange}},
    };
    for (const Cycle& c : cycles) {
        ASSERT_TRUE(session.show_page(c.nav, c.page));
        std::vector<const char*> stops = c.stops;
        stops.insert(stops.end(), tail.begin(), tail.end());
        const size_t n = stops.size();
        SetFocus(at(stops[0]));
        for (size_t i = 1; i <= n; ++i) {
            press(VK_TAB);
            EXPECT_EQ(GetFocus(), at(stops[i % n])) << "page " << c.page << ", stop " << i;
        }
        HeldKeys shift{VK_SHIFT};
        for (size_t i = 1; i <= n; ++i) {
            press(VK_TAB);
            EXPECT_EQ(GetFocus(), at(stops[(n - i) % n])) << "page " << c.page << ", back " << i;
        }
    }
    // A disabled button is passed over (the sign-in while it is busy).
    ASSERT_TRUE(session.show_page(kNavHome, 1));
    ui::set_disabled(w, kSignIn, true);
    SetFocus(at(kSignInPassword));
    press(VK_TAB);
    EXPECT_EQ(GetFocus(), at(kServiceLink));
}

// Ctrl+Tab and Ctrl+Shift+Tab switch pages while the navigation is enabled, and
// the focus moves onto the new page; Space and Enter press the focused button
// or link; the focused button shows a focus ring once keys are in use.
TEST_F(Keyboard, CtrlTabSpaceEnterAndTheFocusRing) {
    // Focus given by a click shows no ring until a key is used.
    SetFocus(at(kSignIn));
    InvalidateRect(at(kSignIn), nullptr, FALSE);
    EXPECT_EQ(dark_pixels_in_row(at(kSignIn), 2), 0);

    SetFocus(at(kSignInPassword));
    {
        HeldKeys ctrl{VK_CONTROL};
        press(VK_TAB);
        EXPECT_EQ(ui::page(w, kPages), 2);
        EXPECT_TRUE(ui::checked(w, kNavSignUp));
        EXPECT_EQ(GetFocus(), at(kSignUpAccount));
        press(VK_TAB);
        EXPECT_EQ(ui::page(w, kPages), 3);
        press(VK_TAB);
        EXPECT_EQ(ui::page(w, kPages), 1);
        HeldKeys shift{VK_CONTROL, VK_SHIFT};
        press(VK_TAB);
        EXPECT_EQ(ui::page(w, kPages), 3);
        EXPECT_EQ(GetFocus(), at(kChangeAccount));
    }
    for (const char* nav : {kNavHome, kNavSignUp, kNavPassword}) {
        ui::set_disabled(w, nav, true);
    }
    {
        HeldKeys ctrl{VK_CONTROL};
        press(VK_TAB);
        EXPECT_EQ(ui::page(w, kPages), 3) << "navigation is disabled";
    }
    for (const char* nav : {kNavHome, kNavSignUp, kNavPassword}) {
        ui::set_disabled(w, nav, false);
    }

    SetFocus(at(kNavHome));
    press(VK_RETURN);
    EXPECT_EQ(ui::page(w, kPages), 1);
    int service = 0;
    ui::bind_event(w, kServiceLink, ui::Event::Clicked, [&] { ++service; });
    SetFocus(at(kServiceLink));
    press(VK_SPACE);
    press(VK_RETURN);
    EXPECT_EQ(service, 2);
    SetFocus(at(kSignUpLink));
    press(VK_SPACE);
    EXPECT_EQ(ui::page(w, kPages), 2);

    // The ring: a dotted frame two pixels in, over the button's white.
    SetFocus(at(kGetCode));
    press(VK_TAB);
    ASSERT_EQ(GetFocus(), at(kConfirmSignUp));
    EXPECT_TRUE(wait_until([&] { return dark_pixels_in_row(at(kConfirmSignUp), 2) > 40; }, 2000));
    press(VK_TAB);
    EXPECT_TRUE(wait_until([&] { return dark_pixels_in_row(at(kConfirmSignUp), 2) == 0; }, 2000))
        << "the ring goes with the focus";
    SetFocus(at(kConfirmSignUp));
    screenshot("keyboard_focus_ring_sign_up");
    press(VK_TAB); // the navigation
    press(VK_TAB);
    press(VK_TAB);
    press(VK_TAB); // the minimise button, on the dark bar
    ASSERT_EQ(GetFocus(), at(kMinimize));
    screenshot("keyboard_focus_ring_minimise");
}

// Alt+F4 in any control ends the program as the close button does: the exit
// routine runs and the exit code is 0.
TEST(KeyboardProgram, AltF4EndsLikeTheCloseButton) {
    testsupport::Responder r;
    r.answer_with_body("ConnectionOk");
    r.answer_with_body("Tarnix|1.001|127.0.0.1/download/Tarnix.exe|x|y|2026-12-07|test|0");
    char temp[MAX_PATH];
    GetTempPathA(MAX_PATH, temp);
    std::string marker =
        std::string(temp) + "tarnix-altf4-" + std::to_string(GetCurrentProcessId());
    DeleteFileA(marker.c_str());
    testsupport::Process p;
    ASSERT_TRUE(testsupport::start_process_with_args(
        std::string(TARNIX_TEST_BIN_DIR) + "/tarnix_app_prog.exe", {r.url(), marker}, p));
    HWND w = testsupport::wait_for_window(p.id, L"TarnixMainWindow", testsupport::kProgramStartMs);
    ASSERT_NE(w, nullptr);
    HWND edit = nullptr;
    ASSERT_TRUE(wait_until(
        [&] {
            edit = testsupport::find_child(
                w, [](HWND h) { return GetWindowLongPtrW(h, GWL_STYLE) & ES_PASSWORD; }, true);
            return edit != nullptr;
        },
        15000));
    // The key as it arrives with Alt held: WM_SYSKEYDOWN, context bit set.
    PostMessageW(edit, WM_SYSKEYDOWN, VK_F4, 1 | (1 << 29));
    EXPECT_EQ(p.wait_exit(testsupport::kProgramExitMs), 0);
    EXPECT_NE(GetFileAttributesA(marker.c_str()), INVALID_FILE_ATTRIBUTES) << "exit routine";
    DeleteFileA(marker.c_str());
}

namespace {
bool high_contrast_on() {
    HIGHCONTRASTW hc{};
    hc.cbSize = sizeof(hc);
    return SystemParametersInfoW(SPI_GETHIGHCONTRAST, sizeof(hc), &hc, 0) &&
           (hc.dwFlags & HCF_HIGHCONTRASTON);
}

class HighContrast : public Keyboard {
protected:
    // Turns the mode on or off through the system, which tells every window.
    // Wine 8 cannot (SPI_SETHIGHCONTRAST is not implemented, and the mode
    // always reads as off): the program is then told the mode directly and the
    // window gets the notice the system would send.
    void set_high_contrast(bool on) {
        HIGHCONTRASTW hc{};
        hc.cbSize = sizeof(hc);
        hc.dwFlags = on ? HCF_HIGHCONTRASTON : 0;
        if (SystemParametersInfoW(SPI_SETHIGHCONTRAST, sizeof(hc), &hc, SPIF_SENDCHANGE)) {
            system_switched_ = true;
            ASSERT_EQ(high_contrast_on(), on);
            return;
        }
        ui::detail::force_high_contrast(on);
        SendMessageW(w, WM_SETTINGCHANGE, SPI_SETHIGHCONTRAST, 0);
    }
    void TearDown() override {
        ui::detail::force_high_contrast(std::nullopt);
        if (system_switched_) {
            set_high_contrast(was_on_);
        }
    }
    bool was_on_ = high_contrast_on();
    bool system_switched_ = false;
};
} // namespace

// Under high contrast the window paints in the system's colours instead of its
// own, and it follows the setting when it changes while the window is open.
TEST_F(HighContrast, SystemColoursReplaceThePaletteAndFollowChanges) {
    set_high_contrast(false);
    const COLORREF window = GetSysColor(COLOR_WINDOW);
    const COLORREF text = GetSysColor(COLOR_WINDOWTEXT);
    const COLORREF highlight = GetSysColor(COLOR_HIGHLIGHT);
    const COLORREF bar_dark = RGB(47, 53, 60);
    HWND frame = at("图片框_登录账号");
    ASSERT_TRUE(wait_until([&] { return pixel(at("图片框_导航"), 10, 50) == bar_dark; }, 2000));
    EXPECT_EQ(pixel(frame, 5, 26), RGB(192, 192, 192)); // the underline, silver

    set_high_contrast(true);
    EXPECT_TRUE(wait_until([&] { return pixel(at("图片框_导航"), 10, 50) == window; }, 2000))
        << "the bar";
    EXPECT_EQ(pixel(frame, 5, 26), text) << "the underline";
    EXPECT_EQ(pixel(at(kNavHome), 3, 3), highlight) << "the checked page's button";
    EXPECT_EQ(pixel(at(kNavSignUp), 3, 3), window);
    EXPECT_EQ(pixel(at(kClose), 3, 3), window);
    SetFocus(at(kSignInAccount));
    EXPECT_TRUE(wait_until([&] { return pixel(frame, 5, 26) == highlight; }, 2000))
        << "the focused box's underline";
    screenshot("high_contrast_sign_in");

    set_high_contrast(false);
    EXPECT_TRUE(wait_until([&] { return pixel(at("图片框_导航"), 10, 50) == bar_dark; }, 2000));
    EXPECT_EQ(pixel(at(kNavHome), 3, 3), RGB(255, 255, 255));
}
