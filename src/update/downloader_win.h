#pragma once

#include "update/download_task.h"

#include <windows.h>

#include <cstdint>
#include <memory>

// Background HTTP download of one file over up to `connections` byte-range
// connections (WinInet). The file is written beside its target as
// target + ".part", held by the task alone, and moved into place only when
// every byte of the announced size has arrived from one revision of the file
// and the whole file passes the task's FileAcceptance (a Windows x64 program;
// signed by the publisher when a key is given). A target that already exists
// (the running program, as a rule) is first renamed aside to target + ".old"
// and put back if the move fails. An announced size above the acceptance's
// limit fails before the ".part" file is given any length or byte. Reasons
// for a refusal go to OutputDebugString. Events go to the task's handler on
// the component's own threads.
class Downloader {
public:
    Downloader();
    ~Downloader(); // stops a running task
    Downloader(const Downloader&) = delete;
    Downloader& operator=(const Downloader&) = delete;

    // Starts one download in the background and returns at once. Refused
    // (false, no task, no event) while a task is held, for a mode other than
    // download, an unusable source URL or a target whose ".part" file cannot be
    // created or is held by another download.
    bool start_task(const DownloadTaskParams& params,
                    const FileAcceptance& acceptance = FileAcceptance());

    // Bytes the held task has received so far; 0 when no task is held (also
    // once a task has ended and its handler has returned from the end event).
    uint32_t bytes_received() const;

    // True while a task is held.
    bool busy() const;

    // Stops the held task, if any, and returns at once (safe from any thread
    // and without a task): the task can no longer write the target, its end
    // event still comes on its own thread, and its ".part" file is removed once
    // its threads let go of it. The object is free for another task at once.
    // Because nothing waits for the task's threads, its handler may wait for
    // the UI thread.
    void stop_task();

    struct Core;

private:
    std::shared_ptr<Core> core_;
};
