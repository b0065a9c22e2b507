#pragma once

#include "build_config.h"

#include <cstdint>
#include <string>
#include <utility>

// Event handler of a download task: (event kind, item, value, extra, task id).
// Kinds delivered by the download component:
//   3  the total size has become known (value = size in bytes); at most once per task;
//   4  the task has ended (value = bytes received, extra = 1 when the whole file
//      arrived, was verified and stands at the target path, 0 otherwise); always
//      the last event of a task.
// Called on the component's own threads.
using DownloadEventHandler = int32_t (*)(int32_t kind, int32_t item, int32_t value, int32_t extra,
                                         int32_t task);

inline constexpr int32_t kDownloadEventSize = 3;
inline constexpr int32_t kDownloadEventEnded = 4;

// A download task's settings, with the values they hold when the program
// starts. The "reserved" members are written by callers and kept, but the
// downloader does not read them.
struct DownloadTaskParams {
    int32_t transfer_mode = 1;                      // 4096 (0x1000) = download
    std::string source_url;                         // http URL (GBK bytes)
    std::string target_file;                        // local path (GBK)
    std::string user_name = "anonymous";            // for servers that ask for one
    std::string password = "anonymous@example.com"; // for servers that ask for one
    int32_t connections = 1;                        // parallel connections for one file
    int32_t reserved7 = 0;
    int32_t connect_timeout_ms = 20000;
    int32_t send_timeout_ms = 20000;
    int32_t receive_timeout_ms = 20000;
    int32_t stop_wait_ms = 1000;   // kept; a stop does not wait for the task
    int32_t min_part_size = 20480; // smallest part given its own connection
    int32_t reserved13 = 1024;
    int32_t reserved14 = 0;
    DownloadEventHandler event_handler = nullptr;
    std::string reserved16;
    int32_t reserved17 = 1;
    std::string file_types = ".exe|.rar|.zip|.gif|.jpg|.mp3|.rm"; // separated by "|"
    std::string reserved19;
    std::string reserved20;
};

inline constexpr int32_t kTransferModeDownload = 0x1000;

// The largest update file taken (TARNIX_UPDATE_MAX_BYTES).
inline constexpr int64_t kUpdateMaxBytes = TARNIX_UPDATE_MAX_BYTES;

// What a whole file must be before it may take the target's place.
struct FileAcceptance {
    // The largest size a server may announce: a larger one fails before the
    // ".part" file is given any length or byte, and before the size event.
    int64_t max_bytes = kUpdateMaxBytes;
    // A Windows x64 program: "MZ", the PE signature, machine AMD64.
    bool windows_x64_program = true;
    // The publisher's key (64 bytes, X then Y). When set, the signature at the
    // source URL + ".sig" must sign the file for `version`; when empty, no
    // signature is fetched.
    std::string public_key;
    // The announced version text (GBK bytes) that the signature must name.
    std::string version;
};

// Writes the values the update window uses for every download (the other
// members keep theirs).
inline void set_update_download_values(DownloadTaskParams& p, std::string url, std::string target,
                                       DownloadEventHandler handler) {
    p.transfer_mode = kTransferModeDownload;
    p.source_url = std::move(url);
    p.target_file = std::move(target);
    p.connections = 5;
    p.reserved7 = 9999999;
    p.connect_timeout_ms = 5000;
    p.send_timeout_ms = 5000;
    p.receive_timeout_ms = 10000;
    p.stop_wait_ms = 1000;
    p.min_part_size = 10240;
    p.event_handler = handler;
}
