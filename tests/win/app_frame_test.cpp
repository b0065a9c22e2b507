#include "app/program_win.h"
#include "support/process_win.h"
#include "platform/dpi_win.h"

#include <gtest/gtest.h>

// Started as a user starts it: the main window appears 420 x 350, centred, and
// closing it ends the process with exit code 0.
TEST(Program, StartsCentredAndClosesWithExitCodeZero) {
    testsupport::Process p;
    ASSERT_TRUE(testsupport::start_process(TARNIX_EXE_PATH, p));
    HWND w = testsupport::wait_for_window(p.id, L"TarnixMainWindow", testsupport::kProgramStartMs);
    ASSERT_NE(w, nullptr);
    RECT r;
    GetWindowRect(w, &r);
    // 420 x 350 at 96 DPI, in proportion at the display's scale (which the test,
    // itself DPI aware, reads from the screen).
    HDC screen = GetDC(nullptr);
    const int dpi = GetDeviceCaps(screen, LOGPIXELSX);
    ReleaseDC(nullptr, screen);
    EXPECT_EQ(ui::window_dpi(w), dpi);
    EXPECT_EQ(r.right - r.left, ui::scale_to(420, dpi));
    EXPECT_EQ(r.bottom - r.top, ui::scale_to(350, dpi));
    RECT work;
    SystemParametersInfoW(SPI_GETWORKAREA, 0, &work, 0);
    EXPECT_NEAR((r.left + r.right) / 2, (work.left + work.right) / 2, 1);
    EXPECT_NEAR((r.top + r.bottom) / 2, (work.top + work.bottom) / 2, 1);
    // The picture waits for the first frame (the title bar is not black): on a busy
    // machine the window is found before it has painted.
    testsupport::wait_until(
        [&] {
            HDC desktop = GetDC(nullptr);
            const COLORREF c = GetPixel(desktop, (r.left + r.right) / 2, r.top + 4);
            ReleaseDC(nullptr, desktop);
            return c != RGB(0, 0, 0) && c != CLR_INVALID;
        },
        testsupport::kProgramStartMs);
    testsupport::save_screenshot("app_start");
    PostMessageW(w, WM_CLOSE, 0, 0);
    EXPECT_EQ(p.wait_exit(testsupport::kProgramExitMs), 0);
}

// A main window that cannot be created leaves nothing for the user to close:
// the program ends at once, with a failure code, rather than waiting forever.
TEST(Program, EndsWhenTheMainWindowCannotBeCreated) {
    testsupport::Process p;
    ASSERT_TRUE(testsupport::start_process(
        std::string(TARNIX_TEST_BIN_DIR) + "/no_main_window_prog.exe", p));
    EXPECT_EQ(p.wait_exit(testsupport::kProgramExitMs), 1);
}
