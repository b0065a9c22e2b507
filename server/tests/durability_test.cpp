// A commit answered as done is on the disk: with the database's fsync failing (a
// preloaded shim standing for a disk that lost the write), no sign-up is answered
// "注册成功". With SQLite's synchronous=NORMAL the WAL is not synced at commit, and the
// same sign-up is answered as a success.
#include "answers.h"
#include "server_process.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <string>

using namespace server_test;

namespace {

const std::string kServerError =
    "\xB7\xFE\xCE\xF1\xC6\xF7\xC4\xDA\xB2\xBF\xB4\xED\xCE\xF3\xA3\xAC\xC7\xEB\xC9\xD4\xBA\xF3\xD4"
    "\xD9\xCA\xD4"; // 服务器内部错误，请稍后再试

} // namespace

TEST(DurabilityTest, NoSignUpIsAnsweredForACommitThatDidNotReachTheDisk) {
    if (test_postgres())
        GTEST_SKIP() << "SQLite's commit; PostgreSQL's is its own server's";
    const char* asan = std::getenv("ASAN_OPTIONS");
    const std::string asan_before = asan ? asan : "";
    std::string fence;
    // The sanitized server would refuse a library loaded ahead of its runtime.
    ServerProcess server({}, [&](const std::string& dir) {
        fence = dir + "/fsync-fails";
        setenv("LD_PRELOAD", TARNIX_FSYNC_FAULT_LIB, 1);
        setenv("TARNIX_FSYNC_FAIL_UNDER", (dir + "/accounts.db").c_str(), 1);
        setenv("TARNIX_FSYNC_FAIL_SWITCH", fence.c_str(), 1);
        setenv("ASAN_OPTIONS", (asan_before + ":verify_asan_link_order=0").c_str(), 1);
    });
    unsetenv("LD_PRELOAD");
    unsetenv("TARNIX_FSYNC_FAIL_UNDER");
    unsetenv("TARNIX_FSYNC_FAIL_SWITCH");
    if (asan)
        setenv("ASAN_OPTIONS", asan_before.c_str(), 1);
    else
        unsetenv("ASAN_OPTIONS");
    ASSERT_GT(server.port(), 0);

    ASSERT_EQ(server.ask("cmd=9&emily=lost@example.com").size(), 6u);
    std::ofstream(fence) << "on";
    EXPECT_EQ(server.ask("cmd=2&u=lostuser&p=secret1&q=lost@example.com"), kServerError);
    EXPECT_EQ(server.ask("cmd=9&emily=also@example.com"), kServerError);
    std::remove(fence.c_str());

    // The disk back: the server goes on.
    ASSERT_EQ(server.ask("cmd=9&emily=kept@example.com").size(), 6u);
    EXPECT_EQ(server.ask("cmd=2&u=keptuser&p=secret1&q=kept@example.com"), kSignUpOk);
    EXPECT_EQ(server.stop(), 0);
}
