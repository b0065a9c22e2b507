#pragma once

#include <atomic>
#include <cstdint>
#include <string>
#include <vector>

#include "update/download_task.h"

class Downloader;

// Everything the program keeps for the whole run. Created at start-up with these
// initial values, released only by the exit routine.
struct AppState {
    std::string endpoint_url;               // set by the handshake start
    std::vector<std::string> status_record; // the server's status fields (GBK)
    // The handshake worker publishes its results through `handshake_done`
    // (release store, read with acquire loads); only bit 0 is tested.
    std::atomic<int32_t> handshake_done{0};
    std::atomic<int32_t> handshake_failed{0};
    uintptr_t gdiplus_token = 0;
    std::string stored_verification_code;
    std::string update_download_url;
    std::string local_update_file_path;
    // The update download: the download object (created at start-up, released
    // by the exit routine), the settings of its tasks, and the size the running
    // task announced (0 = none yet), written by the task's event handler.
    Downloader* download = nullptr;
    DownloadTaskParams download_params;
    std::atomic<int64_t> update_expected_size{0};
};

// The one instance, created on first use. Every feature may read and write its
// own items here; no feature reaches anything else of the application.
AppState& app();
bool app_state_created();
