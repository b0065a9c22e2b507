#include "support/download_check_win.h"

#include "support/files_win.h"
#include "support/process_win.h"
#include "support/update_signing_win.h"
#include "ui/gbk_win.h"
#include "platform/ui_thread_win.h"

#include <gtest/gtest.h>

namespace testsupport {

Seen g_seen;

void Seen::reset() {
    std::lock_guard<std::mutex> lock(mutex);
    kinds.clear();
    size = end_value = end_extra = -1;
    ResetEvent(ended);
}

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
            // As the update window's handler does: a change made on the UI
            // thread, waiting for it.
            ui::run_on_ui_thread([] { g_seen.ui_task_ran.store(true); });
        }
        SetEvent(g_seen.ended);
    }
    return 0;
}

DownloadTaskParams update_params(const std::string& url, const std::wstring& target) {
    DownloadTaskParams p;
    set_update_download_values(p, url, narrow(target), record);
    return p;
}

Result wait_end(Downloader& d) {
    EXPECT_EQ(WaitForSingleObject(g_seen.ended, 60000), WAIT_OBJECT_0);
    // The task is released once the handler has returned from the end event.
    EXPECT_TRUE(wait_until([&] { return !d.busy(); }, 5000));
    EXPECT_EQ(d.bytes_received(), 0u);
    std::lock_guard<std::mutex> lock(g_seen.mutex);
    return Result{g_seen.kinds, g_seen.size, g_seen.end_value, g_seen.end_extra};
}

void expect_complete(const std::string& url, const std::string& blob,
                     const FileAcceptance& acceptance) {
    g_seen.reset();
    std::wstring target = fresh_temp_dir(L"tarnix-dl-") + L"\\Tarnix.exe";
    Downloader d;
    ASSERT_TRUE(d.start_task(update_params(url, target), acceptance));
    Result r = wait_end(d);
    EXPECT_EQ(r.kinds, (std::vector<int32_t>{kDownloadEventSize, kDownloadEventEnded}));
    EXPECT_EQ(r.size, static_cast<int32_t>(blob.size()));
    EXPECT_EQ(r.end_value, static_cast<int32_t>(blob.size()));
    EXPECT_EQ(r.end_extra, 1);
    EXPECT_TRUE(read_file(target) == blob) << "file differs from the served blob";
    EXPECT_FALSE(file_exists(target + L".part"));
}

void expect_failed(const std::string& url, bool size_announced, const FileAcceptance& acceptance) {
    g_seen.reset();
    std::wstring target = fresh_temp_dir(L"tarnix-dl-") + L"\\Tarnix.exe";
    const std::string old_program = make_program_blob(70000, 99);
    write_file(target, old_program);
    Downloader d;
    ASSERT_TRUE(d.start_task(update_params(url, target), acceptance));
    Result r = wait_end(d);
    ASSERT_FALSE(r.kinds.empty());
    EXPECT_EQ(r.kinds.back(), kDownloadEventEnded);
    EXPECT_EQ(r.kinds.size(), size_announced ? 2u : 1u);
    EXPECT_EQ(r.end_extra, 0);
    EXPECT_TRUE(read_file(target) == old_program) << "the existing program was changed";
    EXPECT_FALSE(file_exists(target + L".part"));
    EXPECT_FALSE(file_exists(target + L".old"));
}

} // namespace testsupport
