#include "ui/main_window_win.h"

#include "platform/ui_thread_win.h"
#include "shadow/shadow_win.h"
#include "ui/controls_win.h"
#include "ui/forms_win.h"
#include "ui/palette_win.h"
#include "../../res/resource.h"

#include <cmath>

namespace {

using ui::Binding;
using ui::ControlDef;
using ui::Event;
using ui::FontDef;
using ui::Look;
using K = ui::ControlKind;

constexpr wchar_t kMainClass[] = L"TarnixMainWindow";
constexpr int kWidth = kMainWindowWidth;
constexpr int kDesignHeight = 370;
constexpr int kHeight = 350;

using namespace palette;

const Look kTitle{kTitleGreen, kNone, kNone, kNone, kNone, kNone, {"微软雅黑", -21, 700}};
const Look kNavButton{kBlack, kWhite, kAccentBlue, kWhite, kBlack, kWhite};
const Look kSeparator{kNone, kSilver};
const Look kSliderLook{kNone, kAccentBlue};
const Look kWhiteBox{kNone, kWhite};
const Look kStatus{kStatusGrey};
const Look kFieldLabel{kLabelGrey};
const Look kUnderline{kNone, kSilver};
const Look kLink{kAccentBlue, kWhite};
const Look kSignUpLinkLook{kAccentBlue, kWhite, kLinkHover, kWhite, kAccentBlue, kWhite};
const Look kAnnouncementLook{kBlack, kWhite};

constexpr unsigned kNav = ui::kCheckBox;
constexpr unsigned kAction = ui::kActionButton;
constexpr unsigned kPassword = ui::kPassword;
constexpr unsigned kHidden = ui::kHidden;
constexpr unsigned kDisabled = ui::kDisabled;
constexpr unsigned kCentered = ui::kCentered;
constexpr unsigned kRight = ui::kRightAligned;
using namespace main_names;

// The layout. Columns: name, kind, parent, page,
// left, top, width, height, caption, look, flags, edit limit (GBK bytes), tab
// order, tooltip, image. Parents come before their children.
// clang-format off
const std::vector<ControlDef> kLayout = {
    // Window level.
    {"图片框_导航", K::PictureBox, nullptr, -1, 0, 0, 420, 100, nullptr, &kBar},
    {"图片框_TX", K::PictureBox, "图片框_导航", -1, 100, 14, 84, 72, nullptr, &kBar, 0, 0, -1, nullptr, IDR_LOGO},
    {"标签_TX标题", K::TransparentLabel, "图片框_导航", -1, 185, 45, 100, 30, "Tarnix", &kTitle, kDisabled},
    {kMinimize, K::SuperButton, "图片框_导航", -1, 355, 5, 30, 30, "－", &kWindowButton, 0, 0, -1, "最小化"},
    {kClose, K::SuperButton, "图片框_导航", -1, 385, 5, 30, 30, "×", &kWindowButton, 0, 0, -1, "关闭"},
    {kNavHome, K::SuperButton, nullptr, -1, 40, 105, 60, 23, "Tarnix主页", &kNavButton, kNav},
    {"图片框_A", K::PictureBox, nullptr, -1, 105, 108, 1, 15, nullptr, &kSeparator},
    {kNavSignUp, K::SuperButton, nullptr, -1, 110, 105, 60, 23, "账号注册", &kNavButton, kNav},
    {"图片框_B", K::PictureBox, nullptr, -1, 175, 108, 1, 15, nullptr, &kSeparator},
    {"图片框_C", K::PictureBox, nullptr, -1, 245, 108, 1, 15, nullptr, &kSeparator},
    {kNavPassword, K::SuperButton, nullptr, -1, 250, 105, 60, 23, "密码更改", &kNavButton, kNav},
    {kSlider, K::PictureBox, nullptr, -1, 35, 128, 60, 2, nullptr, &kSliderLook},
    {kPages, K::PageContainer, nullptr, -1, 0, 130, 420, 240},

    // Page 0, connecting.
    {"图片框1", K::PictureBox, kPages, 0, 146, 20, 128, 128, nullptr, &kWhiteBox, 0, 0, -1, nullptr, IDR_CONNECTING},
    {kConnectionState, K::TransparentLabel, kPages, 0, 145, 148, 128, 20, "正在连接服务器", &kStatus, kCentered},

    // Page 1, sign-in.
    {"图片框_公告", K::PictureBox, kPages, 1, 10, 5, 400, 20, nullptr, &kWhiteBox},
    {kAnnouncement, K::Label, "图片框_公告", -1, 150, 0, 80, 20, "", &kAnnouncementLook, kHidden},
    {kAnnouncementTimer, K::Timer, nullptr, -1, 0, 0, 0, 0},
    {"标签_登录账号", K::TransparentLabel, kPages, 1, 80, 65, 35, 24, "账号：", &kFieldLabel},
    {"图片框_登录账号", K::PictureBox, kPages, 1, 120, 65, 200, 27, nullptr, &kUnderline},
    {kSignInAccount, K::Edit, "图片框_登录账号", -1, 0, 0, 200, 26, "", nullptr, 0, 30, 0},
    {"标签_登录密码", K::TransparentLabel, kPages, 1, 80, 100, 35, 24, "密码：", &kFieldLabel},
    {"图片框_登录密码", K::PictureBox, kPages, 1, 120, 100, 200, 27, nullptr, &kUnderline},
    {kSignInPassword, K::Edit, "图片框_登录密码", -1, 0, 0, 200, 26, "", nullptr, kPassword, 50, 1},
    {"图片框_登录", K::PictureBox, kPages, 1, 120, 150, 200, 27, nullptr, &kButtonFrame},
    {kSignIn, K::SuperButton, "图片框_登录", -1, 1, 1, 198, 25, "登录", &kActionButton, kAction},
    {"超级链接框_客服", K::Hyperlink, kPages, 1, 10, 190, 60, 20, "Tarnix客服", &kLink},
    // Wider to the left than the 85 px designed for a two-letter name, and right
    // aligned, so that "没有Tarnix账号？" is not clipped and still ends by its link.
    {"标签_注册提示", K::TransparentLabel, kPages, 1, 125, 190, 105, 20, "没有Tarnix账号？", &kFieldLabel, kRight},
    {kSignUpLink, K::SuperButton, kPages, 1, 235, 190, 60, 20, "立即注册", &kSignUpLinkLook},
    {kVersion, K::TransparentLabel, kPages, 1, 360, 190, 50, 20, "", &kFieldLabel},

    // Page 2, sign-up.
    {"标签_注册账号", K::TransparentLabel, kPages, 2, 55, 25, 60, 24, "注册账号：", &kFieldLabel},
    {"图片框_注册账号", K::PictureBox, kPages, 2, 120, 25, 200, 27, nullptr, &kUnderline},
    {kSignUpAccount, K::Edit, "图片框_注册账号", -1, 0, 0, 200, 26, "", nullptr, 0, 30, 0},
    {"标签_设置密码", K::TransparentLabel, kPages, 2, 55, 60, 60, 24, "设置密码：", &kFieldLabel},
    {"图片框_注册密码", K::PictureBox, kPages, 2, 120, 60, 200, 27, nullptr, &kUnderline},
    {kSignUpPassword, K::Edit, "图片框_注册密码", -1, 0, 0, 200, 26, "", nullptr, kPassword, 30, 1},
    {"标签_绑定邮箱", K::TransparentLabel, kPages, 2, 55, 95, 60, 24, "绑定邮箱：", &kFieldLabel},
    {"图片框_绑定绑定邮箱", K::PictureBox, kPages, 2, 120, 95, 200, 27, nullptr, &kUnderline},
    {kEmail, K::Edit, "图片框_绑定绑定邮箱", -1, 0, 0, 200, 26, "", nullptr, 0, 30, 2},
    {"标签_验证码", K::TransparentLabel, kPages, 2, 68, 130, 50, 24, "验证码：", &kFieldLabel},
    {"图片框_验证码", K::PictureBox, kPages, 2, 120, 130, 120, 27, nullptr, &kUnderline},
    {kCode, K::Edit, "图片框_验证码", -1, 0, 0, 120, 26, "", nullptr, 0, 30, 3},
    {"图片框_获取验证码", K::PictureBox, kPages, 2, 250, 130, 70, 27, nullptr, &kButtonFrame},
    {kGetCode, K::SuperButton, "图片框_获取验证码", -1, 1, 1, 68, 25, "获取验证码", &kActionButton},
    {"图片框_注册", K::PictureBox, kPages, 2, 120, 175, 200, 27, nullptr, &kButtonFrame},
    {kConfirmSignUp, K::SuperButton, "图片框_注册", -1, 1, 1, 198, 25, "确认注册", &kActionButton, kAction},
    {kCodeTimer, K::Timer, nullptr, -1, 0, 0, 0, 0},

    // Page 3, password change.
    {"标签_用户账号", K::TransparentLabel, kPages, 3, 55, 25, 60, 24, "用户账号：", &kFieldLabel},
    {"图片框_用户账号", K::PictureBox, kPages, 3, 120, 25, 200, 27, nullptr, &kUnderline},
    {kChangeAccount, K::Edit, "图片框_用户账号", -1, 0, 0, 200, 26, "", nullptr, 0, 30, 0},
    {"标签_原始密码", K::TransparentLabel, kPages, 3, 55, 60, 60, 24, "原始密码：", &kFieldLabel},
    {"图片框_原始密码", K::PictureBox, kPages, 3, 120, 60, 200, 27, nullptr, &kUnderline},
    {kOldPassword, K::Edit, "图片框_原始密码", -1, 0, 0, 200, 26, "", nullptr, kPassword, 30, 1},
    {"标签_新的密码", K::TransparentLabel, kPages, 3, 55, 95, 60, 24, "新的密码：", &kFieldLabel},
    {"图片框_新的密码", K::PictureBox, kPages, 3, 120, 95, 200, 27, nullptr, &kUnderline},
    {kNewPassword, K::Edit, "图片框_新的密码", -1, 0, 0, 200, 26, "", nullptr, kPassword, 30, 2},
    {"标签_更改密码", K::TransparentLabel, kPages, 3, 55, 130, 60, 24, "确认密码：", &kFieldLabel},
    {"图片框_更改密码", K::PictureBox, kPages, 3, 120, 130, 200, 27, nullptr, &kUnderline},
    {kRepeatPassword, K::Edit, "图片框_更改密码", -1, 0, 0, 200, 26, "", nullptr, kPassword, 30, 3},
    {"图片框_确认更改", K::PictureBox, kPages, 3, 120, 175, 200, 27, nullptr, &kButtonFrame},
    {kConfirmChange, K::SuperButton, "图片框_确认更改", -1, 1, 1, 198, 25, "确认更改", &kActionButton, kAction},
};
// clang-format on

const ui::FormDef& main_form(std::vector<Binding> feature_bindings, void (*on_close)(HWND)) {
    static const ui::FormDef def = [&] {
        ui::FormDef d{kMainClass, "Tarnix", kWidth, kDesignHeight};
        d.controls = kLayout;
        d.bindings = {
            {kNavHome, Event::Clicked, [] { run_navigation_action(kNavHome); }},
            {kNavSignUp, Event::Clicked, [] { run_navigation_action(kNavSignUp); }},
            {kSignUpLink, Event::Clicked, [] { run_navigation_action(kNavSignUp); }},
            {kNavPassword, Event::Clicked, [] { run_navigation_action(kNavPassword); }},
            {kMinimize, Event::Clicked, [] { ui::set_window_state(main_window(), 2); }},
            {kAnnouncementTimer, Event::Tick, announcement_scroll_step},
        };
        for (Binding& b : feature_bindings) {
            d.bindings.push_back(std::move(b));
        }
        d.defer_hidden_pages = true; // created once the connecting page has painted
        d.on_close = on_close;
        return d;
    }();
    return def;
}

// First part of the creation handler: size, initial states, shown, shadow.
void on_created(HWND hwnd) {
    ui::set_form_size(hwnd, kWidth, kHeight);
    for (const char* nav : {kNavHome, kNavSignUp, kNavPassword}) {
        ui::set_disabled(hwnd, nav, true);
    }
    for (const char* nav : {kNavHome, kNavSignUp, kNavPassword}) {
        ui::set_checked(hwnd, nav, false);
    }
    ui::set_visible(hwnd, kSlider, false);
    ui::set_page(hwnd, kPages, 0);
    ui::center_on_screen(hwnd);
    ui::show_form(hwnd);
    // After the first paint: the other pages' controls (two thirds of the
    // window's), and the shadow, once at the final size. Before it, they took
    // longer than everything else the window needs.
    ui::create_deferred_controls(hwnd);
    shadow_setup(hwnd, 0);
}

} // namespace

HWND main_window() {
    // Found, not kept: no copy of the handle can outlive the window.
    for (HWND w = FindWindowExW(nullptr, nullptr, kMainClass, nullptr); w;
         w = FindWindowExW(nullptr, w, kMainClass, nullptr)) {
        DWORD pid = 0;
        if (GetWindowThreadProcessId(w, &pid) && pid == GetCurrentProcessId()) {
            return w;
        }
    }
    return nullptr;
}

HWND build_main_window(std::vector<ui::Binding> feature_bindings, void (*on_close)(HWND)) {
    HWND w = ui::build_form(main_form(std::move(feature_bindings), on_close));
    if (w) {
        on_created(w);
        // Every edit box colours its underline frame while it has the focus
        // (bound once the deferred pages exist: binding would create them).
        ui::bind_underline_focus(w, kStatusGrey, kSilver);
    }
    return w;
}

void run_navigation_action(std::string_view button) {
    ui::run_on_ui_thread([button] {
        HWND f = main_window();
        if (!f) {
            return;
        }
        std::string_view target = button == kSignUpLink ? std::string_view(kNavSignUp) : button;
        int page = target == kNavHome       ? 1
                   : target == kNavSignUp   ? 2
                   : target == kNavPassword ? 3
                                            : -1;
        if (page < 0) {
            return;
        }
        ui::set_page(f, kPages, page);
        ui::set_left(f, kSlider, ui::left(f, target));
        if (page == 1) {
            ui::set_visible(f, kSlider, true);
        }
        for (const char* nav : {kNavHome, kNavSignUp, kNavPassword}) {
            ui::set_checked(f, nav, target == nav);
        }
    });
}

void announcement_scroll_step() {
    ui::run_on_ui_thread([] {
        HWND f = main_window();
        if (!f) {
            return;
        }
        const double w = ui::width(f, kAnnouncement);
        double x = ui::left(f, kAnnouncement);
        if (std::fabs(x - (-w)) < 1e-7) {
            // Fully out on the left: enter again from the window's right edge.
            x = kMainWindowWidth;
        } else {
            x -= 1;
        }
        ui::set_left(f, kAnnouncement, static_cast<int>(x));
    });
}
