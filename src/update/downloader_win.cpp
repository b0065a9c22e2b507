#include "update/downloader_win.h"

#include "app/program_win.h"
#include "ui/gbk_win.h"
#include "ui/ui_thread_win.h"
#include "update/download_plan.h"

#include <wininet.h>

#include <algorithm>
#include <atomic>
#include <limits>
#include <mutex>
#include <string>
#include <vector>

namespace {

constexpr DWORD kReadSize = 64 * 1024; // small reads cost an order of magnitude in speed
constexpr int kRetries = 3;            // further attempts of a part after a failed one
constexpr DWORD kRetryPauseMs = 500;
constexpr int32_t kMaxConnections = 16;
constexpr int64_t kDefaultMinPartSize = 10240;

struct InetHandle {
    HINTERNET h = nullptr;
    InetHandle() = default;
    explicit InetHandle(HINTERNET handle) : h(handle) {}
    InetHandle(const InetHandle&) = delete;
    InetHandle& operator=(const InetHandle&) = delete;
    ~InetHandle() { reset(); }
    void reset(HINTERNET handle = nullptr) {
        if (h) {
            InternetCloseHandle(h);
        }
        h = handle;
    }
};

struct Handle {
    HANDLE h = nullptr;
    Handle() = default;
    explicit Handle(HANDLE handle) : h(handle) {}
    Handle(const Handle&) = delete;
    Handle& operator=(const Handle&) = delete;
    ~Handle() {
        if (h && h != INVALID_HANDLE_VALUE) {
            CloseHandle(h);
        }
    }
};

// How one attempt at a part ended.
enum class Outcome { done, retry, fail, stopped };

} // namespace

struct Task {
    DownloadTaskParams params;
    int32_t id = 0;
    std::string host;
    INTERNET_PORT port = 0;
    bool secure = false;
    std::string object; // path and query
    std::wstring target;
    std::wstring part_path;

    Handle file;        // the ".part" file
    Handle thread;      // the task's own thread
    Handle abort_event; // set on stop or when a part gives up: workers end
    Handle stop_event;  // set on stop only: handler pauses end
    std::atomic<bool> aborting{false};
    std::atomic<bool> stopping{false};
    std::atomic<bool> abandoned{false};
    std::atomic<int64_t> received{0};
    int64_t total = 0;
    HINTERNET connection = nullptr; // owned by the task's thread

    // Whoever first settles the ".part" file (moved into place, or removed)
    // does it under this lock.
    std::mutex settle_mutex;
    bool settled = false;
};

struct Downloader::Core {
    mutable std::mutex mutex;
    std::shared_ptr<Task> task;
    int32_t next_id = 1;
};

namespace {

thread_local Task* t_current_task = nullptr;

struct ThreadContext {
    std::shared_ptr<Downloader::Core> core;
    std::shared_ptr<Task> task;
};

void raise_connection_limit(int32_t connections) {
    static std::mutex m;
    static DWORD raised = 0;
    std::lock_guard<std::mutex> lock(m);
    DWORD n = static_cast<DWORD>(std::max(connections, 2));
    if (n <= raised) {
        return;
    }
    // Process-wide; Windows otherwise queues parallel parts behind two connections.
    InternetSetOptionA(nullptr, INTERNET_OPTION_MAX_CONNS_PER_SERVER, &n, sizeof(n));
    InternetSetOptionA(nullptr, INTERNET_OPTION_MAX_CONNS_PER_1_0_SERVER, &n, sizeof(n));
    raised = n;
}

void set_timeouts(HINTERNET h, const DownloadTaskParams& p) {
    // Wine honours time-outs only on the handle of the request itself.
    auto set = [h](DWORD option, int32_t ms) {
        if (ms > 0) {
            DWORD v = static_cast<DWORD>(ms);
            InternetSetOptionA(h, option, &v, sizeof(v));
        }
    };
    set(INTERNET_OPTION_CONNECT_TIMEOUT, p.connect_timeout_ms);
    set(INTERNET_OPTION_SEND_TIMEOUT, p.send_timeout_ms);
    set(INTERNET_OPTION_RECEIVE_TIMEOUT, p.receive_timeout_ms);
    set(INTERNET_OPTION_DATA_SEND_TIMEOUT, p.send_timeout_ms);
    set(INTERNET_OPTION_DATA_RECEIVE_TIMEOUT, p.receive_timeout_ms);
}

std::string query_text(HINTERNET req, DWORD what) {
    char buf[256];
    DWORD len = sizeof(buf);
    DWORD index = 0;
    if (!HttpQueryInfoA(req, what, buf, &len, &index)) {
        return std::string();
    }
    return std::string(buf, std::min<DWORD>(len, sizeof(buf)));
}

DWORD query_status(HINTERNET req) {
    DWORD status = 0;
    DWORD len = sizeof(status);
    DWORD index = 0;
    if (!HttpQueryInfoA(req, HTTP_QUERY_STATUS_CODE | HTTP_QUERY_FLAG_NUMBER, &status, &len,
                        &index)) {
        return 0;
    }
    return status;
}

// Sends a GET for the task's object, with a Range header when `first` >= 0
// ("bytes=first-" or "bytes=first-last"). Null on a failed send.
HINTERNET send_get(Task& t, int64_t first, int64_t last) {
    DWORD flags = INTERNET_FLAG_RELOAD | INTERNET_FLAG_NO_CACHE_WRITE |
                  INTERNET_FLAG_PRAGMA_NOCACHE | INTERNET_FLAG_NO_UI | INTERNET_FLAG_NO_COOKIES |
                  INTERNET_FLAG_KEEP_CONNECTION;
    if (t.secure) {
        flags |= INTERNET_FLAG_SECURE;
    }
    HINTERNET req = HttpOpenRequestA(t.connection, "GET", t.object.c_str(), nullptr, nullptr,
                                     nullptr, flags, 0);
    if (!req) {
        return nullptr;
    }
    set_timeouts(req, t.params);
    std::string headers;
    if (first >= 0) {
        headers = "Range: bytes=" + std::to_string(first) + "-";
        if (last >= 0) {
            headers += std::to_string(last);
        }
        headers += "\r\n";
    }
    if (!HttpSendRequestA(req, headers.empty() ? nullptr : headers.c_str(),
                          static_cast<DWORD>(headers.size()), nullptr, 0)) {
        InternetCloseHandle(req);
        return nullptr;
    }
    return req;
}

// Judges a status code: a status outside 100-599 (a connection closed before
// any answer) or a server error may pass, a client error will not.
Outcome judge_status(DWORD status) {
    if (status < 100 || status > 599 || status >= 500) {
        return Outcome::retry;
    }
    if (status >= 400) {
        return Outcome::fail;
    }
    return Outcome::done;
}

bool write_at(HANDLE file, int64_t offset, const char* data, DWORD size) {
    OVERLAPPED ov{};
    ov.Offset = static_cast<DWORD>(static_cast<uint64_t>(offset) & 0xFFFFFFFFu);
    ov.OffsetHigh = static_cast<DWORD>(static_cast<uint64_t>(offset) >> 32);
    DWORD written = 0;
    return WriteFile(file, data, size, &written, &ov) && written == size;
}

// Reads the body of `req` into [part.start + done, part.start + part.length):
// done when the part is complete, retry when the body ended early or broke.
Outcome read_body(Task& t, HINTERNET req, const download::Part& part, int64_t& done,
                  std::vector<char>& buf) {
    while (done < part.length) {
        if (t.aborting.load()) {
            return Outcome::stopped;
        }
        DWORD want = static_cast<DWORD>(std::min<int64_t>(kReadSize, part.length - done));
        DWORD got = 0;
        if (!InternetReadFile(req, buf.data(), want, &got)) {
            return Outcome::retry;
        }
        if (got == 0) {
            return Outcome::retry; // a body cut short reads as a normal end
        }
        got = std::min(got, want);
        if (!write_at(t.file.h, part.start + done, buf.data(), got)) {
            return Outcome::fail;
        }
        done += got;
        t.received.fetch_add(got);
    }
    return Outcome::done;
}

// One attempt at the rest of a part. With `ranged` it asks for exactly the
// missing bytes and accepts only a 206 naming them; without, the server ignores
// ranges, so the attempt starts the whole file again from byte 0.
Outcome fetch_part(Task& t, const download::Part& part, int64_t& done, bool ranged,
                   std::vector<char>& buf) {
    if (!ranged && done > 0) {
        t.received.fetch_sub(done);
        done = 0;
    }
    int64_t first = part.start + done;
    int64_t last = part.start + part.length - 1;
    InetHandle req(ranged ? send_get(t, first, last) : send_get(t, -1, -1));
    if (!req.h) {
        return Outcome::retry;
    }
    DWORD status = query_status(req.h);
    Outcome judged = judge_status(status);
    if (judged != Outcome::done) {
        return judged;
    }
    if (ranged) {
        int64_t a = 0, b = 0, total = 0;
        if (status != 206 ||
            !download::parse_content_range(query_text(req.h, HTTP_QUERY_CONTENT_RANGE), a, b,
                                           total) ||
            a != first || b != last || total != t.total) {
            return Outcome::retry; // never write bytes we did not ask for
        }
    } else {
        int64_t length = -1;
        if (status != 200 ||
            !download::parse_content_length(query_text(req.h, HTTP_QUERY_CONTENT_LENGTH), length) ||
            length != t.total) {
            return Outcome::retry;
        }
    }
    return read_body(t, req.h, part, done, buf);
}

// Waits on the abort event for a pause between attempts; false once aborting.
bool pause_unless_aborted(Task& t, DWORD ms) {
    WaitForSingleObject(t.abort_event.h, ms);
    return !t.aborting.load();
}

// Runs attempts at a part until it is complete, fails for good or the task
// aborts. `last` is the outcome of the attempts already made (retry for none).
bool download_part(Task& t, const download::Part& part, int64_t& done, bool ranged,
                   std::vector<char>& buf, Outcome last, int attempts_made) {
    for (int made = attempts_made;; ++made) {
        if (last == Outcome::done) {
            return true;
        }
        if (last != Outcome::retry || made > kRetries) {
            return false;
        }
        if (made > 0 && !pause_unless_aborted(t, kRetryPauseMs)) {
            return false;
        }
        last = fetch_part(t, part, done, ranged, buf);
    }
}

void give_up(Task& t) {
    t.aborting.store(true);
    SetEvent(t.abort_event.h);
}

struct WorkerContext {
    Task* task;
    download::Part part;
    bool ok = false;
};

DWORD WINAPI worker_main(LPVOID arg) {
    auto* w = static_cast<WorkerContext*>(arg);
    try {
        std::vector<char> buf(kReadSize);
        int64_t done = 0;
        w->ok = download_part(*w->task, w->part, done, true, buf, Outcome::retry, 0);
    } catch (...) {
        w->ok = false;
    }
    if (!w->ok) {
        give_up(*w->task);
    }
    return 0;
}

void deliver(Task& t, int32_t kind, int32_t value, int32_t extra) {
    if (t.params.event_handler && !t.abandoned.load()) {
        t.params.event_handler(kind, 0, value, extra, t.id);
    }
}

// Moves the verified ".part" file into place. An existing target (usually the
// running program, which cannot be overwritten but can be renamed) is first
// renamed aside and put back if the move fails: the old program is never lost.
bool move_into_place(Task& t) {
    if (GetFileAttributesW(t.target.c_str()) == INVALID_FILE_ATTRIBUTES) {
        return MoveFileExW(t.part_path.c_str(), t.target.c_str(), MOVEFILE_WRITE_THROUGH) != 0;
    }
    std::wstring aside = t.target + L".old";
    DeleteFileW(aside.c_str());
    if (MoveFileExW(t.target.c_str(), aside.c_str(), MOVEFILE_REPLACE_EXISTING)) {
        if (MoveFileExW(t.part_path.c_str(), t.target.c_str(), MOVEFILE_WRITE_THROUGH)) {
            DeleteFileW(aside.c_str()); // fails while it runs; removed at a later start
            return true;
        }
        MoveFileExW(aside.c_str(), t.target.c_str(), MOVEFILE_REPLACE_EXISTING);
        return false;
    }
    // Nothing could be renamed aside: replace in one step, or leave all as it was.
    return MoveFileExW(t.part_path.c_str(), t.target.c_str(),
                       MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) != 0;
}

int64_t file_size(const std::wstring& path) {
    WIN32_FILE_ATTRIBUTE_DATA data;
    if (!GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &data)) {
        return -1;
    }
    return (static_cast<int64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
}

// Completes the file: true when every announced byte arrived and the file now
// stands at the target path with the announced size.
bool settle_complete(Task& t) {
    std::lock_guard<std::mutex> lock(t.settle_mutex);
    if (t.settled || t.stopping.load()) {
        return false;
    }
    t.settled = true;
    bool ok = t.received.load() == t.total;
    CloseHandle(t.file.h);
    t.file.h = nullptr;
    ok = ok && file_size(t.part_path) == t.total && move_into_place(t);
    if (!ok) {
        DeleteFileW(t.part_path.c_str());
        return false;
    }
    return file_size(t.target) == t.total;
}

void settle_discard(Task& t, bool close_file) {
    std::lock_guard<std::mutex> lock(t.settle_mutex);
    if (t.settled) {
        return;
    }
    t.settled = true;
    if (close_file && t.file.h) {
        CloseHandle(t.file.h);
        t.file.h = nullptr;
    }
    // Opened with FILE_SHARE_DELETE: an abandoned worker's handle does not stop this.
    DeleteFileW(t.part_path.c_str());
}

bool prepare_file(Task& t) {
    LARGE_INTEGER size;
    size.QuadPart = t.total;
    return SetFilePointerEx(t.file.h, size, nullptr, FILE_BEGIN) && SetEndOfFile(t.file.h);
}

// The whole download on the task's thread; true when the file is complete in place.
bool run_download(Task& t) {
    raise_connection_limit(t.params.connections);
    InetHandle session(InternetOpenA("Tarnix", INTERNET_OPEN_TYPE_PRECONFIG, nullptr, nullptr, 0));
    if (!session.h) {
        return false;
    }
    InetHandle connection(InternetConnectA(session.h, t.host.c_str(), t.port, nullptr, nullptr,
                                           INTERNET_SERVICE_HTTP, 0, 0));
    if (!connection.h) {
        return false;
    }
    set_timeouts(connection.h, t.params);
    t.connection = connection.h;

    const int64_t min_part = t.params.min_part_size > 0
                                 ? static_cast<int64_t>(t.params.min_part_size)
                                 : kDefaultMinPartSize;
    const int32_t connections = std::clamp(t.params.connections, 1, kMaxConnections);
    std::vector<char> buf(kReadSize);

    // First request: the first `min_part` bytes. Its answer tells the size and
    // whether ranges are honoured (206) or ignored (200, the whole file).
    InetHandle probe;
    DWORD status = 0;
    for (int attempt = 0;; ++attempt) {
        if (attempt > 0 && !pause_unless_aborted(t, kRetryPauseMs)) {
            return false;
        }
        probe.reset(send_get(t, 0, min_part - 1));
        if (probe.h) {
            status = query_status(probe.h);
            Outcome judged = judge_status(status);
            if (judged == Outcome::done) {
                break;
            }
            if (judged == Outcome::fail) {
                return false;
            }
        }
        if (attempt >= kRetries || t.aborting.load()) {
            return false;
        }
    }

    bool ranged = false;
    download::Part first_part;
    if (status == 206) {
        int64_t a = 0, b = 0, total = 0;
        if (!download::parse_content_range(query_text(probe.h, HTTP_QUERY_CONTENT_RANGE), a, b,
                                           total) ||
            a != 0 || b != std::min(min_part, total) - 1) {
            return false;
        }
        ranged = true;
        t.total = total;
        first_part = download::Part{0, b + 1};
    } else if (status == 200) {
        int64_t length = -1;
        if (!download::parse_content_length(query_text(probe.h, HTTP_QUERY_CONTENT_LENGTH),
                                            length)) {
            return false; // a size we cannot check is no download we can verify
        }
        t.total = length;
        first_part = download::Part{0, length};
    } else {
        return false;
    }
    if (t.total > std::numeric_limits<int32_t>::max() || !prepare_file(t)) {
        return false;
    }
    deliver(t, kDownloadEventSize, static_cast<int32_t>(t.total), 0);

    int64_t done = 0;
    Outcome first =
        first_part.length > 0 ? read_body(t, probe.h, first_part, done, buf) : Outcome::done;
    probe.reset();
    if (!download_part(t, first_part, done, ranged, buf, first, 1)) {
        return false;
    }

    if (ranged) {
        std::vector<download::Part> parts =
            download::split_parts(first_part.length, t.total, connections, min_part);
        std::vector<WorkerContext> workers(parts.size());
        std::vector<HANDLE> threads;
        for (size_t i = 0; i < parts.size(); ++i) {
            workers[i].task = &t;
            workers[i].part = parts[i];
            HANDLE th = CreateThread(nullptr, 0, worker_main, &workers[i], 0, nullptr);
            if (!th) {
                give_up(t);
                break;
            }
            threads.push_back(th);
        }
        if (!threads.empty()) {
            WaitForMultipleObjects(static_cast<DWORD>(threads.size()), threads.data(), TRUE,
                                   INFINITE);
        }
        for (HANDLE th : threads) {
            CloseHandle(th);
        }
        if (threads.size() != parts.size()) {
            return false;
        }
        for (const WorkerContext& w : workers) {
            if (!w.ok) {
                return false;
            }
        }
    }
    if (t.aborting.load()) {
        return false;
    }
    return settle_complete(t);
}

DWORD WINAPI task_main(LPVOID arg) {
    std::unique_ptr<ThreadContext> ctx(static_cast<ThreadContext*>(arg));
    Task& t = *ctx->task;
    t_current_task = &t;
    bool ok = false;
    try {
        ok = run_download(t);
    } catch (...) {
        ok = false;
    }
    t.connection = nullptr;
    if (!ok) {
        settle_discard(t, true);
    }
    try {
        deliver(t, kDownloadEventEnded,
                static_cast<int32_t>(static_cast<uint32_t>(t.received.load())), ok ? 1 : 0);
    } catch (...) {
    }
    // The task is released only after the handler has returned from the end event.
    {
        std::lock_guard<std::mutex> lock(ctx->core->mutex);
        if (ctx->core->task == ctx->task) {
            ctx->core->task.reset();
        }
    }
    t_current_task = nullptr;
    return 0;
}

// Splits the source URL; false when it cannot be used.
bool split_url(Task& t) {
    const std::string& url = t.params.source_url;
    if (url.empty() || url.size() > 2048) {
        return false;
    }
    for (unsigned char c : url) {
        if (c <= 0x20 || c == 0x7F) {
            return false; // blanks and control bytes are not part of a usable URL
        }
    }
    URL_COMPONENTSA parts{};
    parts.dwStructSize = sizeof(parts);
    parts.dwHostNameLength = 1;
    parts.dwUrlPathLength = 1;
    parts.dwExtraInfoLength = 1;
    parts.dwSchemeLength = 1;
    if (!InternetCrackUrlA(url.c_str(), static_cast<DWORD>(url.size()), 0, &parts)) {
        return false;
    }
    if (parts.nScheme != INTERNET_SCHEME_HTTP && parts.nScheme != INTERNET_SCHEME_HTTPS) {
        return false;
    }
    if (!parts.lpszHostName || parts.dwHostNameLength == 0) {
        return false;
    }
    t.host.assign(parts.lpszHostName, parts.dwHostNameLength);
    t.port = parts.nPort;
    t.secure = parts.nScheme == INTERNET_SCHEME_HTTPS;
    t.object.clear();
    if (parts.lpszUrlPath && parts.dwUrlPathLength > 0) {
        t.object.assign(parts.lpszUrlPath, parts.dwUrlPathLength);
    }
    if (t.object.empty()) {
        t.object = "/";
    }
    if (parts.lpszExtraInfo && parts.dwExtraInfoLength > 0) {
        t.object.append(parts.lpszExtraInfo, parts.dwExtraInfoLength);
    }
    return true;
}

// Waits for a thread; on the UI thread it keeps serving the UI tasks that the
// task's handler hands over, or the two would wait on each other.
bool wait_for_thread(HANDLE thread, DWORD ms) {
    if (ui::on_ui_thread()) {
        return ui::wait_handle_serving_ui_tasks(thread, ms);
    }
    return WaitForSingleObject(thread, ms) == WAIT_OBJECT_0;
}

} // namespace

Downloader::Downloader() : core_(std::make_shared<Core>()) {}

Downloader::~Downloader() {
    stop_task();
}

bool Downloader::start_task(const DownloadTaskParams& params) {
    std::lock_guard<std::mutex> lock(core_->mutex);
    if (core_->task) {
        return false;
    }
    if ((params.transfer_mode & kTransferModeDownload) == 0 || params.target_file.empty()) {
        return false;
    }
    auto task = std::make_shared<Task>();
    task->params = params;
    if (!split_url(*task)) {
        return false;
    }
    task->target = widen(params.target_file);
    task->part_path = task->target + L".part";
    task->file.h = CreateFileW(task->part_path.c_str(), GENERIC_WRITE,
                               FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                               CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (task->file.h == INVALID_HANDLE_VALUE) {
        task->file.h = nullptr;
        return false;
    }
    task->abort_event.h = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    task->stop_event.h = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    task->id = core_->next_id++;
    auto* ctx = new ThreadContext{core_, task};
    task->thread.h = task->abort_event.h && task->stop_event.h
                         ? CreateThread(nullptr, 0, task_main, ctx, CREATE_SUSPENDED, nullptr)
                         : nullptr;
    if (!task->thread.h) {
        delete ctx;
        CloseHandle(task->file.h);
        task->file.h = nullptr;
        DeleteFileW(task->part_path.c_str());
        return false;
    }
    core_->task = task;
    ResumeThread(task->thread.h);
    return true;
}

uint32_t Downloader::bytes_received() const {
    std::lock_guard<std::mutex> lock(core_->mutex);
    return core_->task ? static_cast<uint32_t>(core_->task->received.load()) : 0;
}

bool Downloader::busy() const {
    std::lock_guard<std::mutex> lock(core_->mutex);
    return core_->task != nullptr;
}

void Downloader::stop_task() {
    std::shared_ptr<Task> task;
    {
        std::lock_guard<std::mutex> lock(core_->mutex);
        task = core_->task;
    }
    if (!task) {
        return;
    }
    task->stopping.store(true);
    SetEvent(task->stop_event.h);
    give_up(*task);
    DWORD wait = task->params.stop_wait_ms > 0 ? static_cast<DWORD>(task->params.stop_wait_ms) : 0;
    if (!wait_for_thread(task->thread.h, wait)) {
        // A connection blocked in the network cannot be interrupted: leave it,
        // silenced, to end with the process. It holds its own reference.
        task->abandoned.store(true);
        settle_discard(*task, false);
    }
    std::lock_guard<std::mutex> lock(core_->mutex);
    if (core_->task == task) {
        core_->task.reset();
    }
}

void download_task_wait(DWORD ms) {
    HANDLE stop = t_current_task ? t_current_task->stop_event.h : nullptr;
    const DWORD start = GetTickCount();
    for (;;) {
        DWORD elapsed = GetTickCount() - start;
        if (elapsed >= ms) {
            return;
        }
        DWORD r = MsgWaitForMultipleObjects(stop ? 1 : 0, stop ? &stop : nullptr, FALSE,
                                            ms - elapsed, QS_ALLINPUT);
        if (stop && r == WAIT_OBJECT_0) {
            return;
        }
        if (r == WAIT_FAILED) {
            return;
        }
        if (!process_pending_messages()) {
            return; // the program is ending
        }
    }
}

void remove_replaced_program() {
    std::vector<wchar_t> path(32768);
    DWORD n = GetModuleFileNameW(nullptr, path.data(), static_cast<DWORD>(path.size()));
    if (n == 0 || n >= path.size()) {
        return;
    }
    std::wstring old(path.data(), n);
    old += L".old";
    DeleteFileW(old.c_str());
}
