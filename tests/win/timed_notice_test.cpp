#include "ui/timed_notice_win.h"
#include "support/box_watcher_win.h"
#include "ui/gbk_win.h"
#include "app/composition_win.h"
#include "ui/main_window_win.h"

#include <gtest/gtest.h>

namespace {

bool is_visible_top_level_of_this_process(HWND w) {
    DWORD pid = 0;
    return w && IsWindowVisible(w) && GetAncestor(w, GA_ROOT) == w &&
           GetWindowThreadProcessId(w, &pid) != 0 && pid == GetCurrentProcessId();
}

// What reached the platform routine.
struct PlatformCall {
    HWND owner = nullptr;
    std::wstring text, caption;
    UINT type = 0xDEADBEEF;
    WORD language = 0xFFFF;
    DWORD timeout = 0xDEADBEEF;
};
PlatformCall g_call;
int g_platform_result = IDOK;

int WINAPI recording_platform(HWND owner, LPCWSTR text, LPCWSTR caption, UINT type, WORD language,
                              DWORD timeout) {
    g_call = {owner, text, caption, type, language, timeout};
    return g_platform_result;
}

} // namespace

// As both account pages use it: the main window is showing, the box gets the
// default caption, one OK button, no icon, and a visible window of this very
// process as its owner. An empty answer still gets its box.
TEST(TimedNotice, DefaultBoxIsOwnedByAWindowOfThisProcess) {
    ASSERT_NE(create_main_window(), nullptr);
    testsupport::BoxWatcher watcher;
    watcher.screenshot_next("timed_notice_default");
    EXPECT_EQ(show_timed_notice(gbk("密码修改成功"), 0u), 0);
    EXPECT_EQ(show_timed_notice(""), 0);
    const auto boxes = watcher.boxes();
    ASSERT_EQ(boxes.size(), 2u);
    for (const auto& box : boxes) {
        EXPECT_EQ(box.caption, gbk("友情提醒"));
        EXPECT_FALSE(box.has_icon);
        EXPECT_EQ(box.buttons, std::vector<int>{IDOK});
        EXPECT_TRUE(is_visible_top_level_of_this_process(box.owner));
    }
    EXPECT_EQ(boxes[0].text, gbk("密码修改成功"));
    EXPECT_EQ(boxes[1].text, "");
}

// A caller's caption, type, owner and time-out reach the platform exactly as
// given (no modality flag added), and the result comes back minus one.
TEST(TimedNotice, GivenArgumentsReachThePlatformUnchanged) {
    ASSERT_NE(create_main_window(), nullptr);
    g_platform_result = 32000; // the platform's "timed out"
    EXPECT_EQ(show_timed_notice_with(recording_platform, gbk("文本"), MB_YESNO | MB_ICONWARNING,
                                     gbk("标题"), HWND(nullptr), 1234),
              31999);
    EXPECT_EQ(g_call.owner, nullptr);
    EXPECT_EQ(g_call.text, L"文本");
    EXPECT_EQ(g_call.caption, L"标题");
    EXPECT_EQ(g_call.type, UINT(MB_YESNO | MB_ICONWARNING));
    EXPECT_EQ(g_call.language, 0);
    EXPECT_EQ(g_call.timeout, 1234u);

    // Left out: type 0, the default caption, time-out 0, an owner found by the search.
    g_platform_result = IDOK;
    EXPECT_EQ(show_timed_notice_with(recording_platform, gbk("文本")), 0);
    EXPECT_EQ(g_call.type, 0u);
    EXPECT_EQ(g_call.caption, L"友情提醒");
    EXPECT_EQ(g_call.timeout, 0u);
    EXPECT_TRUE(is_visible_top_level_of_this_process(g_call.owner));

    // A given empty caption is not a left-out one.
    show_timed_notice_with(recording_platform, gbk("文本"), std::nullopt, std::string());
    EXPECT_EQ(g_call.caption, L"");
}

// The same through the real box: the caller's buttons and icon are shown, and
// the button pressed comes back as its 0-based index (No: 7 - 1).
TEST(TimedNotice, RealBoxShowsTheCallersButtonsAndCaption) {
    ASSERT_NE(create_main_window(), nullptr);
    testsupport::BoxWatcher watcher(IDNO);
    watcher.screenshot_next("timed_notice_yes_no");
    EXPECT_EQ(show_timed_notice(gbk("继续吗？"), MB_YESNO | MB_ICONWARNING, gbk("自定标题"),
                                HWND(nullptr)),
              IDNO - 1);
    const auto boxes = watcher.boxes();
    ASSERT_EQ(boxes.size(), 1u);
    EXPECT_EQ(boxes[0].caption, gbk("自定标题"));
    EXPECT_EQ(boxes[0].text, gbk("继续吗？"));
    EXPECT_TRUE(boxes[0].has_icon);
    EXPECT_EQ(boxes[0].buttons, (std::vector<int>{IDYES, IDNO}));
    EXPECT_EQ(boxes[0].owner, nullptr);
}

namespace {
constexpr UINT kProbe = WM_APP + 3;
int g_probes = 0;
LRESULT CALLBACK probe_proc(HWND w, UINT msg, WPARAM wp, LPARAM lp) {
    if (msg == kProbe) {
        ++g_probes;
        return 0;
    }
    return DefWindowProcW(w, msg, wp, lp);
}
HWND make_probe_window() {
    WNDCLASSW wc{};
    wc.lpfnWndProc = probe_proc;
    wc.hInstance = GetModuleHandleW(nullptr);
    wc.lpszClassName = L"TimedNoticeProbe";
    RegisterClassW(&wc);
    return CreateWindowExW(0, wc.lpszClassName, L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr,
                           wc.hInstance, nullptr);
}
} // namespace

// The window search: finds the visible main window at once; a limit of 0 gives
// up before a single pass (no message is processed); a search that finds
// nothing keeps the thread's messages flowing and ends at its limit.
TEST(FindProcessWindow, LimitsAndMessageProcessing) {
    HWND main = create_main_window();
    ASSERT_NE(main, nullptr);
    HWND probe = make_probe_window();
    ASSERT_NE(probe, nullptr);

    EXPECT_TRUE(is_visible_top_level_of_this_process(find_process_window(GetCurrentProcessId())));
    EXPECT_TRUE(
        is_visible_top_level_of_this_process(find_process_window(GetCurrentProcessId(), -1)));

    PostMessageW(probe, kProbe, 0, 0);
    EXPECT_EQ(find_process_window(GetCurrentProcessId(), 0), nullptr);
    EXPECT_EQ(g_probes, 0);

    // No process has this id: nothing qualifies until the limit is reached.
    const DWORD no_such_process = 0xFFFFFFF0;
    const DWORD start = GetTickCount();
    EXPECT_EQ(find_process_window(no_such_process, 300), nullptr);
    const DWORD elapsed = GetTickCount() - start;
    EXPECT_GE(elapsed, 300u);
    EXPECT_LT(elapsed, 5000u);
    EXPECT_EQ(g_probes, 1);
    DestroyWindow(probe);
}
