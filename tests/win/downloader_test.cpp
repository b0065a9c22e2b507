#include "support/blob_server_win.h"
#include "support/files_win.h"
#include "support/process_win.h"
#include "ui/gbk_win.h"
#include "ui/ui_thread_win.h"
#include "update/downloader_win.h"

#include <gtest/gtest.h>

#include <atomic>
#include <fstream>
#include <iterator>
#include <mutex>
#include <string>
#include <vector>

using testsupport::BlobServer;
using testsupport::BlobServerOptions;
using testsupport::file_exists;
using testsupport::make_blob;
using testsupport::read_file;
using testsupport::write_file;

namespace {

// What the task told its handler.
struct Seen {
    std::mutex mutex;
    std::vector<int32_t> kinds;
    int32_t size = -1;
    int32_t end_value = -1;
    int32_t end_extra = -1;
    HANDLE ended = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    std::atomic<bool> call_ui_on_end{false};
    std::atomic<bool> ui_task_ran{false};
};
Seen g_seen;

int32_t record(int32_t kind, int32_t, int32_t value, int32_t extra, int32_t) {
    {
        std::lock_guard<std::mutex> lock(g_seen.mutex);
        g_seen.kinds.push_back(kind);
        if (kind == kDownloadEventSize) {
            g_seen.size = value;
        }
        if (kind == kDownloadEventEnded) {
            g_seen.end_value = value;
            g_seen.end_extra = extra;
        }
    }
    if (kind == kDownloadEventEnded) {
        if (g_seen.call_ui_on_end.load()) {
            // As the update window's handler does: a change made on the UI thread.
            ui::run_on_ui_thread([] { g_seen.ui_task_ran.store(true); });
            download_task_wait(1000);
        }
        SetEvent(g_seen.ended);
    }
    return 0;
}

// A fresh directory for the test's files.
std::wstring fresh_dir() {
    return testsupport::fresh_temp_dir(L"tarnix-dl-");
}

// The settings the update window hands over for a download.
DownloadTaskParams update_params(const std::string& url, const std::wstring& target) {
    DownloadTaskParams p;
    set_update_download_values(p, url, narrow(target), record);
    return p;
}

struct Result {
    std::vector<int32_t> kinds;
    int32_t size, end_value, end_extra;
};

Result wait_end(Downloader& d) {
    EXPECT_EQ(WaitForSingleObject(g_seen.ended, 60000), WAIT_OBJECT_0);
    // The task is released once the handler has returned from the end event.
    EXPECT_TRUE(testsupport::wait_until([&] { return !d.busy(); }, 5000));
    EXPECT_EQ(d.bytes_received(), 0u);
    std::lock_guard<std::mutex> lock(g_seen.mutex);
    return Result{g_seen.kinds, g_seen.size, g_seen.end_value, g_seen.end_extra};
}

// Download of `blob` from `server`; checks the events of a complete download.
void expect_complete(BlobServer& server, const std::string& blob) {
    ASSERT_TRUE(server.ok());
    std::wstring dir = fresh_dir();
    std::wstring target = dir + L"\\Tarnix.exe";
    Downloader d;
    ASSERT_TRUE(d.start_task(update_params(server.url(), target)));
    Result r = wait_end(d);
    EXPECT_EQ(r.kinds, (std::vector<int32_t>{kDownloadEventSize, kDownloadEventEnded}));
    EXPECT_EQ(r.size, static_cast<int32_t>(blob.size()));
    EXPECT_EQ(r.end_value, static_cast<int32_t>(blob.size()));
    EXPECT_EQ(r.end_extra, 1);
    EXPECT_TRUE(read_file(target) == blob) << "file differs from the served blob";
    EXPECT_FALSE(file_exists(target + L".part"));
}

// A download that must fail: the end event says so, no file is left behind,
// and an existing target stays as it was.
void expect_failed(const std::string& url, bool size_announced) {
    std::wstring dir = fresh_dir();
    std::wstring target = dir + L"\\Tarnix.exe";
    write_file(target, "old program");
    Downloader d;
    ASSERT_TRUE(d.start_task(update_params(url, target)));
    Result r = wait_end(d);
    ASSERT_FALSE(r.kinds.empty());
    EXPECT_EQ(r.kinds.back(), kDownloadEventEnded);
    EXPECT_EQ(r.kinds.size(), size_announced ? 2u : 1u);
    EXPECT_EQ(r.end_extra, 0);
    EXPECT_TRUE(read_file(target) == "old program") << "the existing file was changed";
    EXPECT_FALSE(file_exists(target + L".part"));
    EXPECT_FALSE(file_exists(target + L".old"));
}

} // namespace

TEST(Downloader, MultiMegabyteFileOverFiveConnectionsArrivesIntact) {
    std::string blob = make_blob(3 * 1024 * 1024 + 12345);
    BlobServer server(blob);
    expect_complete(server, blob);
    // One request for the size and the first bytes, then five ranged parts.
    std::vector<std::string> asked = server.ranges_asked();
    ASSERT_EQ(asked.size(), 6u);
    EXPECT_EQ(asked[0], "bytes=0-10239");
    for (size_t i = 1; i < asked.size(); ++i) {
        EXPECT_EQ(asked[i].rfind("bytes=", 0), 0u) << asked[i];
    }
}

TEST(Downloader, ServerIgnoringRangesGivesOneCorrectFile) {
    std::string blob = make_blob(1024 * 1024 + 7, 2);
    BlobServerOptions o;
    o.ranges = false;
    BlobServer server(blob, o);
    expect_complete(server, blob);
    EXPECT_EQ(server.requests(), 1);
}

TEST(Downloader, TenByteFileOverOneConnection) {
    std::string blob = "0123456789";
    BlobServer server(blob);
    expect_complete(server, blob);
    EXPECT_EQ(server.requests(), 1);
}

TEST(Downloader, PartDroppedMidBodyIsResumedWithoutDuplicates) {
    std::string blob = make_blob(2 * 1024 * 1024, 3);
    BlobServerOptions o;
    o.drop_at = 1500 * 1024; // inside one of the five parts
    o.drop_times = 2;
    BlobServer server(blob, o);
    expect_complete(server, blob);
    EXPECT_EQ(server.requests(), 8);
}

TEST(Downloader, WholeFileDroppedOnceWithoutRangesIsFetchedAgain) {
    std::string blob = make_blob(600 * 1024, 4);
    BlobServerOptions o;
    o.ranges = false;
    o.drop_at = 0;
    o.drop_times = 1;
    BlobServer server(blob, o);
    expect_complete(server, blob);
    EXPECT_EQ(server.requests(), 2);
}

TEST(Downloader, PartThatKeepsDroppingFailsAndKeepsNothing) {
    BlobServerOptions o;
    o.drop_at = 900 * 1024;
    o.drop_times = -1;
    BlobServer server(make_blob(1024 * 1024, 5), o);
    expect_failed(server.url(), true);
}

TEST(Downloader, ShortBodyFails) {
    BlobServerOptions o;
    o.short_body = 1000;
    BlobServer server(make_blob(50000, 6), o);
    expect_failed(server.url(), true);
    BlobServerOptions plain = o;
    plain.ranges = false;
    BlobServer server2(make_blob(50000, 6), plain);
    ResetEvent(g_seen.ended);
    g_seen.kinds.clear();
    expect_failed(server2.url(), true);
}

TEST(Downloader, NotFoundWithHtmlBodyKeepsNoFile) {
    BlobServerOptions o;
    o.error_status = 404;
    BlobServer server("", o);
    expect_failed(server.url(), false);
    EXPECT_EQ(server.requests(), 1); // a client error is not retried
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
    BlobServerOptions slow;
    slow.chunk_delay_ms = 50;
    BlobServer server(make_blob(2 * 1024 * 1024, 7), slow);
    ASSERT_TRUE(d.start_task(update_params(server.url(), target)));
    EXPECT_FALSE(d.start_task(update_params(server.url(), target)));
    d.stop_task();
    Sleep(200);
    std::lock_guard<std::mutex> lock(g_seen.mutex);
    // Only the one started task spoke, and it ended.
    ASSERT_FALSE(g_seen.kinds.empty());
    EXPECT_EQ(g_seen.kinds.back(), kDownloadEventEnded);
    EXPECT_LE(g_seen.kinds.size(), 2u);
}

// The stop of the exit routine runs on the UI thread while the task's handler
// hands work to that thread: it must neither deadlock nor leave a file.
TEST(Downloader, StopOnUiThreadWhileHandlerUsesUiThread) {
    BlobServerOptions slow;
    slow.chunk_delay_ms = 30;
    std::string blob = make_blob(4 * 1024 * 1024, 8);
    BlobServer server(blob, slow);
    std::wstring dir = fresh_dir();
    std::wstring target = dir + L"\\Tarnix.exe";
    g_seen.call_ui_on_end.store(true);
    Downloader d;
    ASSERT_TRUE(d.start_task(update_params(server.url(), target)));
    ASSERT_TRUE(testsupport::wait_until([&] { return d.bytes_received() > 100000; }, 10000));
    DWORD start = GetTickCount();
    d.stop_task();
    DWORD took = GetTickCount() - start;
    EXPECT_LT(took, 1500u);
    EXPECT_EQ(WaitForSingleObject(g_seen.ended, 0),
              WAIT_OBJECT_0); // the end event came before stop returned
    EXPECT_TRUE(g_seen.ui_task_ran.load());
    EXPECT_FALSE(d.busy());
    EXPECT_EQ(d.bytes_received(), 0u);
    EXPECT_EQ(g_seen.end_extra, 0);
    EXPECT_FALSE(file_exists(target));
    EXPECT_FALSE(file_exists(target + L".part"));
    // A new task can start after the stop.
    ResetEvent(g_seen.ended);
    g_seen.call_ui_on_end.store(false);
    BlobServer quick("fresh");
    ASSERT_TRUE(d.start_task(update_params(quick.url(), target)));
    EXPECT_EQ(WaitForSingleObject(g_seen.ended, 20000), WAIT_OBJECT_0);
    EXPECT_TRUE(testsupport::wait_until([&] { return !d.busy(); }, 5000));
    EXPECT_TRUE(read_file(target) == "fresh");
}

TEST(Downloader, BytesReceivedGrowsWhileRunning) {
    BlobServerOptions slow;
    slow.chunk_delay_ms = 20;
    std::string blob = make_blob(1024 * 1024, 9);
    BlobServer server(blob, slow);
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
        BlobServerOptions o;
        o.error_status = 500;
        BlobServer broken("", o);
        Downloader d;
        ASSERT_TRUE(d.start_task(update_params(broken.url(), target)));
        Result r = wait_end(d);
        EXPECT_EQ(r.end_extra, 0);
        EXPECT_TRUE(read_file(target) == old_program);
    }
    ResetEvent(g_seen.ended);
    g_seen.kinds.clear();

    std::string blob = make_blob(300 * 1024, 10);
    BlobServer server(blob);
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

TEST(Downloader, StartUpRemovesTheProgramRenamedAside) {
    wchar_t self[MAX_PATH];
    GetModuleFileNameW(nullptr, self, MAX_PATH);
    std::wstring old = std::wstring(self) + L".old";
    write_file(old, "replaced program");
    ASSERT_TRUE(file_exists(old));
    remove_replaced_program();
    EXPECT_FALSE(file_exists(old));
}
