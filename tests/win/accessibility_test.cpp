// The program as a screen reader, a keyboard user and a high-contrast user meet it.
#include "app/app_state.h"
#include "app/program_win.h"
#include "support/main_window_session_win.h"
#include "support/process_win.h"
#include "ui/controls_win.h"
#include "ui/gbk_win.h"
#include "ui/main_window_win.h"
#include "update/update_window_win.h"

#include <gtest/gtest.h>

#include <ole2.h>
#include <oleacc.h>

#include <chrono>
#include <future>
#include <map>
#include <string>
#include <vector>

namespace {

using namespace main_names;
using testsupport::wait_until;

// Spelt out: the import library's IID_IAccessible is not the interface's.
const GUID kIidAccessible = {
    0x618736e0, 0x3c3d, 0x11cf, {0x81, 0x0c, 0x00, 0xaa, 0x00, 0x38, 0x9b, 0x71}};

// What a screen reader reads of one window.
struct Seen {
    long role = 0;
    std::wstring name;
    long state = 0;
    std::wstring value;
    RECT where{}; // accLocation, as a rectangle on the screen
    bool ok = false;
};

Seen read_accessible(HWND h) {
    Seen s;
    IAccessible* acc = nullptr;
    if (FAILED(AccessibleObjectFromWindow(h, static_cast<DWORD>(OBJID_CLIENT), kIidAccessible,
                                          reinterpret_cast<void**>(&acc))) ||
        !acc) {
        return s;
    }
    VARIANT self;
    VariantInit(&self);
    self.vt = VT_I4;
    self.lVal = CHILDID_SELF;
    VARIANT v;
    VariantInit(&v);
    if (acc->get_accRole(self, &v) == S_OK && v.vt == VT_I4) {
        s.role = v.lVal;
    }
    VariantInit(&v);
    if (acc->get_accState(self, &v) == S_OK && v.vt == VT_I4) {
        s.state = v.lVal;
    }
    BSTR b = nullptr;
    if (acc->get_accName(self, &b) == S_OK && b) {
        s.name = b;
    }
    SysFreeString(b);
    b = nullptr;
    if (acc->get_accValue(self, &b) == S_OK && b) {
        s.value = b;
    }
    SysFreeString(b);
    long x = 0, y = 0, cx = 0, cy = 0;
    if (acc->accLocation(&x, &y, &cx, &cy, self) == S_OK) {
        s.where = {x, y, x + cx, y + cy};
    }
    acc->Release();
    s.ok = true;
    return s;
}

std::wstring class_of(HWND h) {
    wchar_t cls[64] = {};
    GetClassNameW(h, cls, 64);
    return cls;
}

// Every shown control of `window` that says what it is, by name. (Picture
// boxes and pages are containers and say nothing of their own.)
std::map<std::wstring, Seen> read_window(HWND window) {
    std::map<std::wstring, Seen> all;
    testsupport::find_child(
        window,
        [&](HWND h) {
            const std::wstring cls = class_of(h);
            if (IsWindowVisible(h) && cls != L"TarnixPicture" && cls != L"TarnixPages") {
                Seen s = read_accessible(h);
                // An edit box has its label's name: both are kept.
                const std::wstring kind = cls == L"Edit" ? L"edit:" : L"";
                all[kind + (s.name.empty() ? L"<" + cls + L">" : s.name)] = s;
            }
            return false;
        },
        true);
    return all;
}

struct Expected {
    const wchar_t* name;
    long role;
    long states; // that must be set
};

void expect_seen(const std::map<std::wstring, Seen>& seen, const std::vector<Expected>& expected,
                 const char* page) {
    for (const Expected& e : expected) {
        auto it = seen.find(e.name);
        ASSERT_NE(it, seen.end()) << page << ": no control named " << narrow(e.name);
        EXPECT_EQ(it->second.role, e.role) << page << ": " << narrow(e.name);
        EXPECT_EQ(it->second.state & e.states, e.states) << page << ": " << narrow(e.name);
    }
    // Our own controls all answer: none is left as an anonymous client area.
    for (const auto& [name, s] : seen) {
        EXPECT_TRUE(s.ok) << page << ": " << narrow(name);
        EXPECT_NE(s.role, ROLE_SYSTEM_CLIENT) << page << ": " << narrow(name);
    }
}

std::string exe(const char* name) {
    return std::string(TARNIX_TEST_BIN_DIR) + "/" + name + ".exe";
}

// The handshake's answers; the first is held until `released` is ready (or a minute
// has passed), so the test reads the connecting state however slow the machine is.
void script_handshake(testsupport::Responder& r, std::shared_future<void> released) {
    testsupport::ScriptedAnswer ok = testsupport::answer_with_body("ConnectionOk");
    ok.compute = [released, bytes = ok.bytes](const testsupport::ReceivedRequest&) {
        released.wait_for(std::chrono::minutes(1));
        return bytes;
    };
    r.script(ok);
    r.answer_with_body("Tarnix|1.001|127.0.0.1/download/Tarnix.exe|" + gbk("更新说明") + "|" +
                       gbk("欢迎使用Tarnix") + "|2026-12-07|test|0");
}

constexpr long kChecked = STATE_SYSTEM_CHECKED;
constexpr long kOff = STATE_SYSTEM_UNAVAILABLE;
constexpr long kProtected = STATE_SYSTEM_PROTECTED;
constexpr long kLinked = STATE_SYSTEM_LINKED;
constexpr long kPush = ROLE_SYSTEM_PUSHBUTTON;
constexpr long kCheck = ROLE_SYSTEM_CHECKBUTTON;
constexpr long kText = ROLE_SYSTEM_TEXT;
constexpr long kStatic = ROLE_SYSTEM_STATICTEXT;

} // namespace

// From another process, as a screen reader asks: the roles, names and states
// of every control while connecting and on each page.
TEST(Accessibility, EveryControlOfEveryPageFromAnotherProcess) {
    ASSERT_TRUE(SUCCEEDED(CoInitialize(nullptr)));
    testsupport::Responder r;
    std::promise<void> connecting_seen;
    script_handshake(r, connecting_seen.get_future().share());
    // Released however the test ends, so the responder is not left waiting.
    struct Release {
        std::promise<void>& p;
        bool done = false;
        void operator()() {
            if (!done)
                p.set_value();
            done = true;
        }
        ~Release() { (*this)(); }
    } release{connecting_seen};
    testsupport::Process p;
    ASSERT_TRUE(testsupport::start_process_with_args(exe("tarnix_app_prog"), {r.url()}, p));
    HWND w = testsupport::wait_for_window(p.id, L"TarnixMainWindow", testsupport::kProgramStartMs);
    ASSERT_NE(w, nullptr);

    // Connecting: navigation unavailable and unchecked.
    expect_seen(read_window(w),
                {{L"Tarnix主页", kCheck, kOff},
                 {L"账号注册", kCheck, kOff},
                 {L"密码更改", kCheck, kOff},
                 {L"最小化", kPush, 0},
                 {L"关闭", kPush, 0},
                 {L"正在连接服务器", kStatic, 0}},
                "connecting");
    EXPECT_EQ(read_window(w)[L"Tarnix主页"].state & kChecked, 0);
    release();

    HWND home = testsupport::find_child_by_text(w, L"Tarnix主页");
    ASSERT_TRUE(wait_until([&] { return (read_accessible(home).state & kChecked) != 0; }, 15000));
    auto sign_in = read_window(w);
    expect_seen(sign_in,
                {{L"Tarnix主页", kCheck, kChecked},
                 {L"edit:账号：", kText, 0},
                 {L"edit:密码：", kText, kProtected},
                 {L"账号：", kStatic, 0},
                 {L"登录", kPush, 0},
                 {L"Tarnix客服", ROLE_SYSTEM_LINK, kLinked},
                 {L"立即注册", kPush, 0},
                 {L"没有Tarnix账号？", kStatic, 0},
                 {L"欢迎使用Tarnix", kStatic, 0}},
                "sign-in");
    EXPECT_EQ(sign_in[L"账号注册"].state & (kChecked | kOff), 0);
    EXPECT_EQ(sign_in[L"edit:账号："].state & kProtected, 0);
    // Where it is comes from the system's standard object.
    RECT button;
    GetWindowRect(testsupport::find_child_by_text(w, L"登录"), &button);
    EXPECT_TRUE(EqualRect(&sign_in[L"登录"].where, &button));

    // The edit boxes of the other pages, in window order (the layout's).
    auto edits_of = [&] {
        std::vector<Seen> edits;
        testsupport::find_child(
            w,
            [&](HWND h) {
                if (IsWindowVisible(h) && class_of(h) == L"Edit") {
                    edits.push_back(read_accessible(h));
                }
                return false;
            },
            true);
        return edits;
    };
    struct Page {
        const wchar_t* nav;
        std::vector<std::wstring> edit_names;
        std::vector<bool> protected_;
        std::vector<Expected> more;
    };
    const Page pages[] = {
        {L"账号注册",
         {L"注册账号：", L"设置密码：", L"绑定邮箱：", L"验证码："},
         {false, true, false, false},
         {{L"获取验证码", kPush, 0}, {L"确认注册", kPush, 0}, {L"账号注册", kCheck, kChecked}}},
        {L"密码更改",
         {L"用户账号：", L"原始密码：", L"新的密码：", L"确认密码："},
         {false, true, true, true},
         {{L"确认更改", kPush, 0}, {L"密码更改", kCheck, kChecked}}},
    };
    for (const Page& page : pages) {
        HWND nav = testsupport::find_child_by_text(w, page.nav);
        PostMessageW(nav, BM_CLICK, 0, 0);
        ASSERT_TRUE(wait_until([&] { return (read_accessible(nav).state & kChecked) != 0; }, 5000));
        expect_seen(read_window(w), page.more, narrow(page.nav).c_str());
        std::vector<Seen> edits = edits_of();
        ASSERT_EQ(edits.size(), page.edit_names.size());
        for (size_t i = 0; i < edits.size(); ++i) {
            EXPECT_EQ(edits[i].role, kText);
            EXPECT_EQ(edits[i].name, page.edit_names[i]);
            EXPECT_EQ((edits[i].state & kProtected) != 0, page.protected_[i]) << i;
        }
        EXPECT_EQ(read_accessible(home).state & kChecked, 0);
    }
    PostMessageW(testsupport::find_child_by_text(w, L"\u00D7"), BM_CLICK, 0, 0);
    EXPECT_EQ(p.wait_exit(testsupport::kProgramExitMs), 0);
    CoUninitialize();
}

// The update window's progress bar reads as a percentage.
TEST(Accessibility, ProgressBarValueIsThePercentage) {
    ASSERT_TRUE(SUCCEEDED(CoInitialize(nullptr)));
    start_program();
    app().status_record = {gbk("Tarnix账号服务"), "1.002", "127.0.0.1/x.exe", "", "", "", "", ""};
    HWND u = open_update_window(end_program);
    ASSERT_NE(u, nullptr);
    ui::set_visible(u, "进度条_更新进度", true);
    ui::set_progress(u, "进度条_更新进度", 457);
    Seen bar = read_accessible(ui::control(u, "进度条_更新进度"));
    EXPECT_EQ(bar.role, ROLE_SYSTEM_PROGRESSBAR);
    EXPECT_EQ(bar.value, L"45%");
    Seen start = read_accessible(ui::control(u, "按钮_开始更新"));
    EXPECT_EQ(start.role, kPush);
    EXPECT_EQ(start.name, L"开始更新");
    DestroyWindow(u);
    CoUninitialize();
}
