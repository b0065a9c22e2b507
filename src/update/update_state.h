#pragma once

#include "update/download_task.h"

#include <atomic>
#include <cstdint>
#include <string>

class Downloader;

// What the update keeps for the whole run: the download object (created at
// start-up, released by the exit routine), the settings of its tasks, where the
// new program comes from and where it goes, and the size the running task
// announced (0 = none yet), written by the task's event handler.
struct UpdateState {
    std::string update_download_url;
    std::string local_update_file_path;
    Downloader* download = nullptr;
    DownloadTaskParams download_params;
    std::atomic<int64_t> update_expected_size{0};
};

// The one instance, created on first use and never destroyed: the exit routine
// releases what it holds, in its own order.
UpdateState& update_state();
