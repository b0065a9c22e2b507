#include "app/app_state.h"
#include "app/composition_win.h"
#include "app/program_win.h"
#include "support/files_win.h"
#include "support/process_win.h"
#include "ui/controls_win.h"
#include "platform/dpi_win.h"
#include "ui/forms_win.h"
#include "ui/gbk_win.h"
#include "ui/main_window_win.h"
#include "update/update_progress.h"
#include "update/update_window_win.h"

#include <gtest/gtest.h>

#include <string>

// The forms at the display scale of the test's Wine prefix (its LogPixels):
// windows, controls and fonts at their design size times DPI / 96, centred.
// test.sh runs these at 96 and 144 DPI; each prefix keeps its own scale.

namespace {

// The scale the prefix is set to (96 when none is set).
int prefix_dpi() {
    DWORD value = 0;
    DWORD size = sizeof(value);
    if (RegGetValueW(HKEY_CURRENT_USER, L"Control Panel\\Desktop", L"LogPixels", RRF_RT_REG_DWORD,
                     nullptr, &value, &size) != ERROR_SUCCESS ||
        value == 0) {
        return 96;
    }
    return static_cast<int>(value);
}

// A setting of the process's manifest ("" when it has none).
std::wstring manifest_setting(const wchar_t* name_space, const wchar_t* name) {
    wchar_t buffer[128] = {};
    SIZE_T written = 0;
    if (!QueryActCtxSettingsW(0, nullptr, name_space, name, buffer, 128, &written)) {
        return L"";
    }
    return buffer;
}

void pump(DWORD ms) {
    testsupport::wait_until([] { return false; }, ms);
}

double at(int design, int dpi) {
    return design * dpi / 96.0;
}

// The window is width x height design units at `dpi`, centred in the work area.
void expect_form_size(HWND form, int width, int height, int dpi) {
    RECT r;
    GetWindowRect(form, &r);
    EXPECT_NEAR(r.right - r.left, at(width, dpi), 1);
    EXPECT_NEAR(r.bottom - r.top, at(height, dpi), 1);
    RECT work;
    SystemParametersInfoW(SPI_GETWORKAREA, 0, &work, 0);
    EXPECT_NEAR((r.left + r.right) / 2, (work.left + work.right) / 2, 1);
    EXPECT_NEAR((r.top + r.bottom) / 2, (work.top + work.bottom) / 2, 1);
}

// Every control of the form's own layout table lies, in its parent, within one
// pixel of its design rectangle scaled to `dpi`: the table's, or (`moved`) the
// one the program has given it since.
void expect_layout(HWND form, int dpi, bool moved = false) {
    const ui::FormDef* def = ui::form_def(form);
    ASSERT_NE(def, nullptr);
    int checked = 0;
    for (const ui::ControlDef& d : def->controls) {
        HWND h = ui::control(form, d.name);
        if (d.kind == ui::ControlKind::Timer) {
            continue;
        }
        ASSERT_NE(h, nullptr) << d.name;
        ui::Bounds b{d.left, d.top, d.width, d.height};
        if (moved) {
            b = ui::bounds(form, d.name);
        }
        RECT r;
        GetWindowRect(h, &r);
        MapWindowPoints(nullptr, GetParent(h), reinterpret_cast<POINT*>(&r), 2);
        EXPECT_NEAR(r.left, at(b.left, dpi), 1) << d.name;
        EXPECT_NEAR(r.top, at(b.top, dpi), 1) << d.name;
        EXPECT_NEAR(r.right, at(b.left + b.width, dpi), 1) << d.name;
        EXPECT_NEAR(r.bottom, at(b.top + b.height, dpi), 1) << d.name;
        ++checked;
    }
    EXPECT_GT(checked, 5);
}

// The character height of the font an edit box (or other standard control) uses.
int font_height(HWND control) {
    auto font = reinterpret_cast<HFONT>(SendMessageW(control, WM_GETFONT, 0, 0));
    LOGFONTW lf{};
    GetObjectW(font, sizeof(lf), &lf);
    return lf.lfHeight;
}

class Dpi : public testing::Test {
protected:
    void SetUp() override {
        dpi_ = prefix_dpi();
        start_program();
    }
    std::string shot(const char* what) const { return "dpi" + std::to_string(dpi_) + "_" + what; }
    int dpi_ = 96;
};

} // namespace

// The program declares itself DPI aware, so it is told the real scale and lays
// the main window out for it on every page.
TEST_F(Dpi, MainWindowIsBuiltAtTheDisplayScale) {
    // The manifest (the tests embed the program's) declares per-monitor v2, and
    // per-monitor for systems that read only dpiAware. Wine 8 treats every
    // process as aware, so the declaration is read back as the system parses it.
    EXPECT_EQ(
        manifest_setting(L"http://schemas.microsoft.com/SMI/2016/WindowsSettings", L"dpiAwareness"),
        L"PerMonitorV2, PerMonitor");
    EXPECT_EQ(
        manifest_setting(L"http://schemas.microsoft.com/SMI/2005/WindowsSettings", L"dpiAware"),
        L"true/pm");
    HWND w = create_main_window();
    ASSERT_NE(w, nullptr);
    pump(100);
    EXPECT_EQ(ui::window_dpi(w), dpi_);
    EXPECT_EQ(ui::form_dpi(w), dpi_);
    expect_form_size(w, kMainWindowWidth, 350, dpi_);
    expect_layout(w, dpi_);
    EXPECT_EQ(font_height(ui::control(w, main_names::kSignInAccount)), ui::scale_to(-12, dpi_));
    EXPECT_EQ(font_height(ui::control(w, main_names::kSignInPassword)), ui::scale_to(-12, dpi_));
    pump(300); // a few frames of the animation
    testsupport::save_screenshot(shot("main_page0_connecting"));

    for (const char* nav :
         {main_names::kNavHome, main_names::kNavSignUp, main_names::kNavPassword}) {
        ui::set_disabled(w, nav, false);
    }
    run_navigation_action(main_names::kNavHome);
    ui::set_text(w, main_names::kVersion, "1.001");
    ui::set_text(w, main_names::kSignInAccount, "tarnix_user");
    ui::set_text(w, main_names::kSignInPassword, "secret");
    // As the handshake shows an announcement of 20 GBK bytes: 8 units a byte.
    ui::set_bounds(w, main_names::kAnnouncement, {140, 0, 8 * 20, 20});
    ui::set_text(w, main_names::kAnnouncement, gbk("欢迎使用Tarnix客户端"));
    ui::set_visible(w, main_names::kAnnouncement, true);
    // The slider sits under the home button in pixels too.
    RECT slider;
    RECT home;
    GetWindowRect(ui::control(w, main_names::kSlider), &slider);
    GetWindowRect(ui::control(w, main_names::kNavHome), &home);
    EXPECT_EQ(slider.left, home.left);
    pump(150);
    testsupport::save_screenshot(shot("main_page1_signin"));
    run_navigation_action(main_names::kNavSignUp);
    pump(150);
    testsupport::save_screenshot(shot("main_page2_signup"));
    run_navigation_action(main_names::kNavPassword);
    pump(150);
    testsupport::save_screenshot(shot("main_page3_password"));
}

// Moved to a display of another scale, the window takes the suggested rectangle
// and every control, font and scroll step follows; back again, nothing drifted.
TEST_F(Dpi, MainWindowFollowsAChangeOfScale) {
    HWND w = create_main_window();
    ASSERT_NE(w, nullptr);
    run_navigation_action(main_names::kNavHome);
    HWND announcement = ui::control(w, main_names::kAnnouncement);
    ui::set_visible(w, main_names::kAnnouncement, true);
    ui::set_bounds(w, main_names::kAnnouncement, {200, 0, 8 * 10, 20});

    const int other = dpi_ == 192 ? 144 : 192;
    for (int dpi : {other, dpi_}) {
        SCOPED_TRACE(dpi);
        RECT work;
        SystemParametersInfoW(SPI_GETWORKAREA, 0, &work, 0);
        const int width = ui::scale_to(kMainWindowWidth, dpi);
        const int height = ui::scale_to(350, dpi);
        RECT suggested{work.left + 10, work.top + 5, work.left + 10 + width, work.top + 5 + height};
        SendMessageW(w, WM_DPICHANGED, MAKEWPARAM(dpi, dpi), reinterpret_cast<LPARAM>(&suggested));
        EXPECT_EQ(ui::form_dpi(w), dpi);
        RECT r;
        GetWindowRect(w, &r);
        EXPECT_TRUE(EqualRect(&r, &suggested));
        // The shadow follows the move and the new size on its own.
        RECT s;
        GetWindowRect(static_cast<HWND>(GetPropA(w, "WndShadow")), &s);
        const int margin = r.left - s.left;
        EXPECT_GT(margin, 0);
        EXPECT_EQ(r.top - s.top, margin);
        EXPECT_EQ(s.right - r.right, margin);
        EXPECT_EQ(s.bottom - r.bottom, margin);
        expect_layout(w, dpi, true);
        EXPECT_EQ(font_height(ui::control(w, main_names::kSignUpAccount)), ui::scale_to(-12, dpi));

        // The announcement keeps its design place; a scroll step moves it one
        // design unit, shown at the new scale.
        EXPECT_EQ(ui::left(w, main_names::kAnnouncement), 200);
        EXPECT_EQ(ui::width(w, main_names::kAnnouncement), 80);
        announcement_scroll_step();
        EXPECT_EQ(ui::left(w, main_names::kAnnouncement), 199);
        RECT a;
        GetWindowRect(announcement, &a);
        MapWindowPoints(nullptr, GetParent(announcement), reinterpret_cast<POINT*>(&a), 2);
        EXPECT_EQ(a.left, ui::scale_to(199, dpi));
        EXPECT_NEAR(a.right - a.left, at(80, dpi), 1);
        ui::set_left(w, main_names::kAnnouncement, 200);
    }
}

// The update window, at its design size times the scale, centred, with its
// controls in proportion, before and during a download.
TEST_F(Dpi, UpdateWindowIsBuiltAtTheDisplayScale) {
    std::wstring dir = testsupport::fresh_temp_dir(L"tarnix-dpi-");
    SetCurrentDirectoryW(dir.c_str());
    app().status_record = {gbk("Tarnix账号服务"),
                           "1.002",
                           "127.0.0.1:1/Tarnix.exe",
                           gbk("新版本改进了登录和注册的体验。"),
                           "",
                           "",
                           "",
                           ""};
    HWND w = open_update_window(end_program, std::string_view());
    ASSERT_NE(w, nullptr);
    pump(100);
    EXPECT_EQ(ui::form_dpi(w), dpi_);
    expect_form_size(w, 350, 280, dpi_);
    expect_layout(w, dpi_);
    EXPECT_EQ(font_height(ui::control(w, "编辑框1")), ui::scale_to(-12, dpi_));
    testsupport::save_screenshot(shot("update_window"));

    // What a download shows: the label and the bar in place of the button.
    ui::set_visible(w, "图片框_开始更新", false);
    ui::set_visible(w, "标签_更新进度", true);
    ui::set_visible(w, "进度条_更新进度", true);
    ui::set_progress(w, "进度条_更新进度", 420);
    ui::set_text(w, "标签_更新进度", update::progress_text(420));
    pump(150);
    testsupport::save_screenshot(shot("update_window_downloading"));
    DestroyWindow(w);
}
