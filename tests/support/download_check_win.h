#pragma once

#include "update/downloader_win.h"

#include <windows.h>

#include <atomic>
#include <mutex>
#include <string>
#include <vector>

// What a download task tells its handler, and checks of how a download ended,
// for the tests of the download component.
namespace testsupport {

struct Seen {
    std::mutex mutex;
    std::vector<int32_t> kinds;
    int32_t size = -1;
    int32_t end_value = -1;
    int32_t end_extra = -1;
    HANDLE ended = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    std::atomic<bool> call_ui_on_end{false};
    std::atomic<bool> ui_task_ran{false};
    void reset(); // for the next task
};
extern Seen g_seen;

// The handler that records into g_seen.
int32_t record(int32_t kind, int32_t item, int32_t value, int32_t extra, int32_t task);

// The settings the update window hands over for a download.
DownloadTaskParams update_params(const std::string& url, const std::wstring& target);

struct Result {
    std::vector<int32_t> kinds;
    int32_t size, end_value, end_extra;
};

// Waits for the end event and the task's release.
Result wait_end(Downloader& d);

// Downloads `blob` from `url` into a fresh folder; checks the events of a
// complete download and the file's bytes.
void expect_complete(const std::string& url, const std::string& blob,
                     const FileAcceptance& acceptance = FileAcceptance());

// A download that must fail over an existing program: the end event says
// so, the program's bytes are as they were, nothing is left beside it.
void expect_failed(const std::string& url, bool size_announced,
                   const FileAcceptance& acceptance = FileAcceptance());

} // namespace testsupport
