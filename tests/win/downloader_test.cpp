#include "app/program_win.h"
#include "support/responder_win.h"
#include "support/download_check_win.h"
#include "support/files_win.h"
#include "support/process_win.h"
#include "support/update_signing_win.h"
#include "ui/gbk_win.h"
#include "platform/ui_thread_win.h"
#include "update/download_file_win.h"
#include "update/downloader_win.h"

#include <gtest/gtest.h>

#include <windows.h>
#include <wininet.h>

#include <atomic>
#include <fstream>
#include <iterator>
#include <mutex>
#include <string>
#include <vector>

using testsupport::BlobOptions;
using testsupport::file_exists;
using testsupport::read_file;
using testsupport::Responder;
using testsupport::write_file;

namespace {

using testsupport::expect_complete;
using testsupport::expect_failed;
using testsupport::g_seen;
using testsupport::make_program_blob;
using testsupport::Result;
using testsupport::update_params;
using testsupport::wait_end;

// A fresh directory for the test's files.
std::wstring fresh_dir() {
    return testsupport::fresh_temp_dir(L"tarnix-dl-");
}

} // namespace

TEST(Downloader, MultiMegabyteFileOverFiveConnectionsArrivesIntact) {
    std::string blob = make_program_blob(3 * 1024 * 1024 + 12345);
    Responder server(blob);
    expect_complete(server.url(), blob);
    // One request for the size and the first bytes, then five ranged parts,
    // each tied to the first answer's revision.
    std::vector<std::string> asked = server.ranges_asked();
    std::vector<std::string> if_ranges = server.if_ranges_asked();
    ASSERT_EQ(asked.size(), 6u);
    EXPECT_EQ(asked[0], "bytes=0-10239");
    EXPECT_EQ(if_ranges[0], "");
    for (size_t i = 1; i < asked.size(); ++i) {
        EXPECT_EQ(asked[i].rfind("bytes=", 0), 0u) << asked[i];
        EXPECT_EQ(if_ranges[i], "\"rev-0\"");
    }
    EXPECT_EQ(server.signature_requests(), 0) << "no key, no signature fetched";
}

// The server knows an install by its cookie, so every request of a download carries
// the cookies the system keeps for the update's host.
TEST(Downloader, EveryRequestCarriesTheHostsCookies) {
    std::string blob = make_program_blob(3 * 1024 * 1024 + 99);
    Responder server(blob);
    // A session cookie: the process's alone, gone when it ends. Not the server's own
    // name: the real server's install cookie may already be kept for this host (it
    // is HttpOnly, so this call could not replace it).
    ASSERT_TRUE(InternetSetCookieA(server.url().c_str(), nullptr, "dl_probe=install-one"));
    expect_complete(server.url(), blob);
    InternetSetCookieA(server.url().c_str(), nullptr,
                       "dl_probe=; expires=Thu, 01 Jan 1970 00:00:00 GMT");
    const std::vector<testsupport::ReceivedRequest> requests = server.requests();
    ASSERT_EQ(requests.size(), 6u);
    for (const testsupport::ReceivedRequest& r : requests)
        EXPECT_EQ(r.own_cookies(), "dl_probe=install-one") << r.request_line();
}

TEST(Downloader, ServerIgnoringRangesGivesOneCorrectFile) {
    std::string blob = make_program_blob(1024 * 1024 + 7, 2);
    BlobOptions o;
    o.ranges = false;
    Responder server(blob, o);
    expect_complete(server.url(), blob);
    EXPECT_EQ(server.file_requests(), 1);
}

TEST(Downloader, SmallFileOverOneConnection) {
    std::string blob = make_program_blob(300);
    Responder server(blob);
    expect_complete(server.url(), blob);
    EXPECT_EQ(server.file_requests(), 1);
}

TEST(Downloader, PartDroppedMidBodyIsResumedWithoutDuplicates) {
    std::string blob = make_program_blob(2 * 1024 * 1024, 3);
    BlobOptions o;
    o.drop_at = 1500 * 1024; // inside one of the five parts
    o.drop_times = 2;
    Responder server(blob, o);
    expect_complete(server.url(), blob);
    EXPECT_EQ(server.file_requests(), 8);
}

TEST(Downloader, WholeFileDroppedOnceWithoutRangesIsFetchedAgain) {
    std::string blob = make_program_blob(600 * 1024, 4);
    BlobOptions o;
    o.ranges = false;
    o.drop_at = 0;
    o.drop_times = 1;
    Responder server(blob, o);
    expect_complete(server.url(), blob);
    EXPECT_EQ(server.file_requests(), 2);
}

TEST(Downloader, PartThatKeepsDroppingFailsAndKeepsNothing) {
    BlobOptions o;
    o.drop_at = 900 * 1024;
    o.drop_times = -1;
    Responder server(make_program_blob(1024 * 1024, 5), o);
    expect_failed(server.url(), true);
}

TEST(Downloader, ShortBodyFails) {
    BlobOptions o;
    o.short_body = 1000;
    Responder server(make_program_blob(50000, 6), o);
    expect_failed(server.url(), true);
    BlobOptions plain = o;
    plain.ranges = false;
    Responder server2(make_program_blob(50000, 6), plain);
    expect_failed(server2.url(), true);
}

TEST(Downloader, NotFoundWithHtmlBodyKeepsNoFile) {
    BlobOptions o;
    o.error_status = 404;
    Responder server("", o);
    expect_failed(server.url(), false);
    EXPECT_EQ(server.file_requests(), 1); // a client error is not retried
}

TEST(Downloader, UnreachableServerFails) {
    expect_failed("http://127.0.0.1:" + std::to_string(testsupport::refused_port()) + "/new.exe",
                  false);
}

TEST(Downloader, RefusedStartsGiveNoTaskAndNoEvent) {
    std::wstring dir = fresh_dir();
    std::wstring target = dir + L"\\Tarnix.exe";
    Downloader d;
    for (const char* url :
         {"", "http:// 127.0.0.1/new.exe", "ftp://127.0.0.1/new.exe", "new.exe", "http://"}) {
        EXPECT_FALSE(d.start_task(update_params(url, target))) << url;
    }
    DownloadTaskParams not_download = update_params("http://127.0.0.1:1/new.exe", target);
    not_download.transfer_mode = 1;
    EXPECT_FALSE(d.start_task(not_download));
    EXPECT_FALSE(d.start_task(
        update_params("http://127.0.0.1:1/new.exe", dir + L"\\no-such-dir\\Tarnix.exe")));
    EXPECT_FALSE(d.busy());

    // A second start while a task runs.
    BlobOptions slow;
    slow.chunk_delay_ms = 50;
    Responder server(make_program_blob(2 * 1024 * 1024, 7), slow);
    ASSERT_TRUE(d.start_task(update_params(server.url(), target)));
    EXPECT_FALSE(d.start_task(update_params(server.url(), target)));
    // Nor can another download object (of this process or another) take over
    // the same target's ".part" file meanwhile.
    Downloader second;
    EXPECT_FALSE(second.start_task(update_params(server.url(), target)));
    EXPECT_FALSE(second.busy());
    d.stop_task();
    EXPECT_FALSE(d.busy());
    EXPECT_EQ(WaitForSingleObject(g_seen.ended, 20000), WAIT_OBJECT_0);
    std::lock_guard<std::mutex> lock(g_seen.mutex);
    // Only the one started task spoke, and it ended.
    ASSERT_FALSE(g_seen.kinds.empty());
    EXPECT_EQ(g_seen.kinds.back(), kDownloadEventEnded);
    EXPECT_LE(g_seen.kinds.size(), 2u);
}

// The exit routine stops the download on the UI thread while the task's
// handler may be waiting for that thread: the stop returns at once, the
// thread's own loop serves the handler, and no file is left.
TEST(Downloader, StopOnUiThreadWhileHandlerUsesUiThread) {
    BlobOptions slow;
    slow.chunk_delay_ms = 30;
    std::string blob = make_program_blob(4 * 1024 * 1024, 8);
    Responder server(blob, slow);
    std::wstring dir = fresh_dir();
    std::wstring target = dir + L"\\Tarnix.exe";
    g_seen.call_ui_on_end.store(true);
    Downloader d;
    ASSERT_TRUE(d.start_task(update_params(server.url(), target)));
    ASSERT_TRUE(testsupport::wait_until([&] { return d.bytes_received() > 100000; }, 10000));
    DWORD start = GetTickCount();
    d.stop_task();
    EXPECT_LT(GetTickCount() - start, 500u);
    EXPECT_FALSE(d.busy());
    EXPECT_EQ(d.bytes_received(), 0u);
    ASSERT_TRUE(testsupport::wait_until(
        [&] { return WaitForSingleObject(g_seen.ended, 0) == WAIT_OBJECT_0; }, 20000));
    EXPECT_TRUE(g_seen.ui_task_ran.load());
    EXPECT_EQ(g_seen.end_extra, 0);
    EXPECT_FALSE(file_exists(target));
    EXPECT_TRUE(testsupport::wait_until([&] { return !file_exists(target + L".part"); }, 5000));
    // A new task can start after the stop.
    ResetEvent(g_seen.ended);
    g_seen.call_ui_on_end.store(false);
    const std::string fresh = make_program_blob(2000, 80);
    Responder quick(fresh);
    ASSERT_TRUE(d.start_task(update_params(quick.url(), target)));
    EXPECT_EQ(WaitForSingleObject(g_seen.ended, 20000), WAIT_OBJECT_0);
    EXPECT_TRUE(testsupport::wait_until([&] { return !d.busy(); }, 5000));
    EXPECT_TRUE(read_file(target) == fresh);
}

TEST(Downloader, BytesReceivedGrowsWhileRunning) {
    BlobOptions slow;
    slow.chunk_delay_ms = 20;
    std::string blob = make_program_blob(1024 * 1024, 9);
    Responder server(blob, slow);
    std::wstring target = fresh_dir() + L"\\Tarnix.exe";
    Downloader d;
    ASSERT_TRUE(d.start_task(update_params(server.url(), target)));
    uint32_t last = 0;
    bool grew = false;
    while (WaitForSingleObject(g_seen.ended, 20) == WAIT_TIMEOUT) {
        uint32_t now = d.bytes_received();
        if (now < last) {
            // The count falls back to 0 only once the task has ended (its end
            // event came first) and been released.
            EXPECT_EQ(now, 0u);
            EXPECT_EQ(WaitForSingleObject(g_seen.ended, 0), WAIT_OBJECT_0);
            break;
        }
        EXPECT_LE(now, blob.size());
        grew = grew || (now > 0 && now < blob.size());
        last = now;
    }
    EXPECT_TRUE(grew);
    Result r = wait_end(d);
    EXPECT_EQ(r.end_extra, 1);
    EXPECT_TRUE(read_file(target) == blob);
}

// The running program is the target: it is renamed aside, the new file takes
// its place, and the running process goes on undisturbed.
TEST(Downloader, ReplacesTheRunningProgram) {
    std::wstring dir = fresh_dir();
    std::wstring target = dir + L"\\Tarnix.exe";
    std::wstring prog =
        widen(testsupport::windows_path(std::string(TARNIX_TEST_BIN_DIR) + "/marker_prog.exe"));
    ASSERT_TRUE(CopyFileW(prog.c_str(), target.c_str(), FALSE));
    std::string old_program = read_file(target);
    // Started with an argument: it stays alive for 20 s.
    std::wstring cmd = L"\"" + target + L"\" 20000";
    STARTUPINFOW si{};
    si.cb = sizeof(si);
    PROCESS_INFORMATION pi{};
    ASSERT_TRUE(CreateProcessW(nullptr, &cmd[0], nullptr, nullptr, FALSE, 0, nullptr, dir.c_str(),
                               &si, &pi));
    CloseHandle(pi.hThread);
    testsupport::Process running;
    running.handle = pi.hProcess;
    running.id = pi.dwProcessId;
    ASSERT_TRUE(testsupport::wait_until([&] { return file_exists(target + L".ran"); }, 10000));

    // A failed download leaves the running program where it is.
    {
        BlobOptions o;
        o.error_status = 500;
        Responder broken("", o);
        Downloader d;
        ASSERT_TRUE(d.start_task(update_params(broken.url(), target)));
        Result r = wait_end(d);
        EXPECT_EQ(r.end_extra, 0);
        EXPECT_TRUE(read_file(target) == old_program);
    }
    g_seen.reset();

    std::string blob = make_program_blob(300 * 1024, 10);
    Responder server(blob);
    Downloader d;
    ASSERT_TRUE(d.start_task(update_params(server.url(), target)));
    Result r = wait_end(d);
    EXPECT_EQ(r.end_extra, 1);
    EXPECT_TRUE(read_file(target) == blob);
    EXPECT_FALSE(file_exists(target + L".part"));
    // The old program either is gone or waits aside for a later start to remove it.
    if (file_exists(target + L".old")) {
        EXPECT_TRUE(read_file(target + L".old") == old_program);
    }
    EXPECT_EQ(running.wait_exit(0), -1); // still running
}

// A crash leaves the old program aside or a partial download beside the
// program: the next start removes both.
TEST(Downloader, StartUpRemovesWhatAnUpdateLeftBehind) {
    wchar_t self[MAX_PATH];
    GetModuleFileNameW(nullptr, self, MAX_PATH);
    std::wstring old = std::wstring(self) + L".old";
    std::wstring part = std::wstring(self) + L".part";
    write_file(old, "replaced program");
    write_file(part, std::string(100000, '\0')); // preallocated, never filled
    ASSERT_TRUE(file_exists(old));
    ASSERT_TRUE(file_exists(part));
    remove_replaced_program();
    EXPECT_FALSE(file_exists(old));
    EXPECT_FALSE(file_exists(part));
}

// The old program renamed aside cannot be put back (something took its name
// meanwhile): the complete new file is kept, never deleted, and so is the old.
TEST(Downloader, FailedPutBackKeepsTheNewFile) {
    std::wstring dir = fresh_dir();
    std::wstring target = dir + L"\\Tarnix.exe";
    const std::string old_program = make_program_blob(5000, 1);
    const std::string new_program = make_program_blob(6000, 2);
    write_file(target, old_program);
    HANDLE part = part_file::open_exclusive(target + L".part");
    ASSERT_NE(part, INVALID_HANDLE_VALUE);
    ASSERT_TRUE(
        part_file::write_at(part, 0, new_program.data(), static_cast<DWORD>(new_program.size())));
    std::wstring why;
    part_file::Commit c = part_file::move_into_place(
        part, target, why, [&] { CreateDirectoryW(target.c_str(), nullptr); });
    CloseHandle(part);
    EXPECT_EQ(c, part_file::Commit::kept) << narrow(why);
    EXPECT_TRUE(read_file(target + L".part") == new_program) << "the new program was lost";
    EXPECT_TRUE(read_file(target + L".old") == old_program) << "the old program was lost";
    RemoveDirectoryW(target.c_str());
}
