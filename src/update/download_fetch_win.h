#pragma once
// Inside the download component: the state of one task and the network side
// of fetching its file (download_fetch_win.cpp). Only downloader_win.cpp and
// download_fetch_win.cpp include this.

#include "platform/handles_win.h"
#include "platform/internet_request_win.h"
#include "update/download_plan.h"
#include "update/download_task.h"

#include <windows.h>
#include <wininet.h>

#include <atomic>
#include <mutex>
#include <string>
#include <vector>

namespace download_detail {

// Reads grow from the smallest to the largest size while the data is there
// at once (under Wine each read and write has a fixed cost several times that
// of copying 64 KiB), and shrink again when a read waits, so that on a slow
// link the progress still moves and a stop is noticed between reads.
constexpr DWORD kMinReadSize = 64 * 1024;
constexpr DWORD kMaxReadSize = 1024 * 1024;
constexpr int kRetries = 3; // further attempts of a part after a failed one
constexpr DWORD kRetryPauseMs = 500;
constexpr int32_t kMaxConnections = 16;
constexpr int64_t kDefaultMinPartSize = 10240;
// With a signature to check, parts of this size in file order, hashed as they
// complete: only the last few remain to hash once the download ends.
constexpr int64_t kHashChunk = 8 * 1024 * 1024;
constexpr DWORD kHashReadSize = 1024 * 1024;
// While the parts arrive, what has arrived is written through to the disk in
// steps of this size, so that the flush before the move into place (which a
// crash-safe replacement needs) finds little left to write.
constexpr int64_t kFlushStep = 32 * 1024 * 1024;

// One thread's means of moving a body into the file: the buffer the reads
// land in (as large as the largest read so far), the size of its next read
// and the event its writes wait on.
struct BodyReader {
    std::vector<char> buf;
    DWORD read_size = kMinReadSize;
    platform::UniqueHandle io_event{CreateEventW(nullptr, TRUE, FALSE, nullptr)};
};

// How one attempt at a part (or at the whole file) ended. `changed`: the
// server now has another revision of the file.
enum class Outcome { done, retry, fail, changed, stopped };

struct Task {
    DownloadTaskParams params;
    FileAcceptance acceptance;
    int32_t id = 0;
    std::string host;
    INTERNET_PORT port = 0;
    bool secure = false;
    std::string object; // path and query
    std::wstring target;
    std::wstring part_path;

    platform::UniqueFile file;          // the ".part" file
    platform::UniqueHandle thread;      // the task's own thread
    platform::UniqueHandle abort_event; // set on stop or when a part gives up: workers end
    std::atomic<bool> aborting{false};
    std::atomic<bool> stopping{false};
    std::atomic<bool> changed{false};
    std::atomic<int64_t> received{0};
    int64_t flushed = 0; // bytes received at the last flush; the task's thread only
    int64_t total = 0;   // the size announced to the handler; 0 until then
    // The first answer's validators; later parts must name the same revision.
    download::Validators validators;
    std::string if_range;
    // The file's SHA-256 when it was made while the parts arrived.
    std::string digest;
    // The connection all the task's requests share; owned by the task's thread.
    const platform::InternetConnection* connection = nullptr;

    // Whoever first settles the ".part" file (moved into place, or removed)
    // does it under this lock.
    std::mutex settle_mutex;
    bool settled = false;

    std::mutex why_mutex;
    std::wstring why; // the first reason the download was refused
};

// Keeps the first reason for a refusal; the user sees only "try again later".
void note(Task& t, const std::wstring& why);

// Ends every part of the task: workers stop at their next read.
void give_up(Task& t);

// Calls the task's handler.
void deliver(Task& t, int32_t kind, int32_t value, int32_t extra);

// Raises WinInet's process-wide limit of connections per server.
void raise_connection_limit(int32_t connections);

// The task's time-outs as the platform sets them (a value below 1 keeps WinInet's).
platform::InternetTimeouts timeouts_of(const DownloadTaskParams& p);

// One pass over the whole file: done when every byte of one revision is in
// the ".part" file; changed when the server's file changed meanwhile.
Outcome fetch_file(Task& t);

// The signature published at the source URL + ".sig": its body (at most 65
// bytes; a longer one is wrong anyway); `status` is the answer's HTTP status.
std::string fetch_signature(Task& t, DWORD& status);

} // namespace download_detail
