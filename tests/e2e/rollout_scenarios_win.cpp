// Whole-program scenario of a staged rollout: the real Tarnix.exe, which the
// server's rollout does not offer the candidate (its share at 0 %, or pulled),
// connects as on a match and fetches nothing. The offer at 100 % is EndToEnd.Update,
// run by the same scenario against the rollout.
#include "e2e/driver_win.h"
#include "support/files_win.h"
#include "support/process_win.h"

#include <gtest/gtest.h>

using namespace e2e;
using testsupport::Process;
using testsupport::windows_path;

TEST(EndToEnd, RolloutOffersNothing) {
    const std::string install = windows_path(option("install"));
    const std::string exe = install + "\\Tarnix.exe";
    const std::string original = read_file(option("original"));
    ASSERT_EQ(read_file(option("install") + "/Tarnix.exe"), original);

    Process p;
    ASSERT_TRUE(testsupport::start_process(exe, p, install));
    HWND w = wait_top_level(p.id, kMainClass, nullptr, kStartMs);
    ASSERT_NE(w, nullptr) << "the main window did not show";
    ASSERT_NE(wait_child_with_text(w, ws("登录"), kRequestMs * 2), nullptr)
        << "the sign-in page did not open";
    EXPECT_NE(wait_child_with_text(w, L"1.001", 3000), nullptr) << "the own version is not shown";
    EXPECT_EQ(child_with_text(w, L"1.002", false), nullptr) << "the candidate is named";
    // Long enough for a prompt or a download to have begun.
    pause_ms(1500);
    EXPECT_EQ(any_box(p.id), nullptr) << "an update prompt was shown";
    EXPECT_EQ(wait_top_level(p.id, L"TarnixUpdateWindow", nullptr, 0), nullptr);
    screenshot("rollout_" + option("phase") + "_sign_in_page");

    // Nothing fetched since the phase began.
    const std::string log = read_file(option("server-log"));
    size_t downloads = 0;
    for (size_t at = log.find("GET /download/"); at != std::string::npos;
         at = log.find("GET /download/", at + 1))
        ++downloads;
    EXPECT_EQ(std::to_string(downloads), option("downloads-before")) << "the candidate was fetched";

    click(control(w, "×"));
    EXPECT_EQ(p.wait_exit(testsupport::kProgramExitMs), 0);
    EXPECT_EQ(read_file(option("install") + "/Tarnix.exe"), original) << "the program changed";
}
