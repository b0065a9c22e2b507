#include "update/downloader_win.h"

#include "ui/gbk_win.h"
#include "update/download_fetch_win.h"
#include "update/download_file_win.h"
#include "update/update_signature_win.h"
#include "update/update_trust.h"

#include <wininet.h>

#include <algorithm>
#include <atomic>
#include <limits>
#include <mutex>
#include <string>
#include <vector>

namespace {
constexpr int kRestarts = 1; // a file that changed mid-download is fetched once more
} // namespace

using namespace download_detail;

struct Downloader::Core {
    mutable std::mutex mutex;
    std::shared_ptr<Task> task;
    int32_t next_id = 1;
};

namespace {

struct ThreadContext {
    std::shared_ptr<Downloader::Core> core;
    std::shared_ptr<Task> task;
};

// Checks the whole file before it may take the target's place: a Windows x64
// program and, with a key built in, signed by the publisher for the
// announced version.
bool acceptable(Task& t) {
    if (part_file::length_of(t.file.get()) != t.total || t.received.load() != t.total) {
        note(t, L"the file is incomplete");
        return false;
    }
    if (t.acceptance.windows_x64_program) {
        std::vector<char> head(
            static_cast<size_t>(std::min<int64_t>(t.total, update_trust::kProgramHeaderBytes)));
        DWORD got = 0;
        if (!part_file::read_at(t.file.get(), 0, head.data(), static_cast<DWORD>(head.size()),
                                got) ||
            !update_trust::is_windows_x64_program(reinterpret_cast<unsigned char*>(head.data()),
                                                  got)) {
            note(t, L"the file is not a Windows x64 program");
            return false;
        }
    }
    if (t.acceptance.public_key.empty()) {
        return true;
    }
    DWORD status = 0;
    std::string signature = fetch_signature(t, status);
    if (status != 200) {
        note(t, L"no signature (HTTP " + std::to_wstring(status) + L")");
        return false;
    }
    // Made while the parts arrived, or now for a file that came in one answer.
    std::string digest = t.digest.empty()
                             ? update_signature::file_digest(t.file.get(), t.total, t.aborting)
                             : t.digest;
    if (digest.empty()) {
        note(t, L"the file could not be read back");
        return false;
    }
    std::wstring why;
    if (!update_signature::verify(t.acceptance.public_key,
                                  update_trust::signed_message(t.acceptance.version, digest),
                                  signature, why)) {
        note(t, L"bad signature: " + why);
        return false;
    }
    return true;
}

// Moves the accepted file into place: true when it stands at the target path
// with the announced size.
bool settle_complete(Task& t) {
    std::lock_guard<std::mutex> lock(t.settle_mutex);
    if (t.settled || t.stopping.load()) {
        return false;
    }
    t.settled = true;
    std::wstring why;
    part_file::Commit c = part_file::move_into_place(t.file.get(), t.target, why);
    if (c == part_file::Commit::not_placed) {
        part_file::remove_when_closed(t.file.get());
    }
    t.file.reset();
    if (c != part_file::Commit::placed) {
        note(t, why);
        return false;
    }
    return part_file::size_at(t.target) == t.total;
}

void settle_discard(Task& t, bool close_file) {
    std::lock_guard<std::mutex> lock(t.settle_mutex);
    if (t.settled) {
        return;
    }
    t.settled = true;
    if (!t.file) {
        return;
    }
    // Gone once the last handle closes: a worker still ending after a stop may hold it.
    part_file::remove_when_closed(t.file.get());
    if (close_file) {
        t.file.reset();
    }
}

// The whole download on the task's thread; true when the file is complete,
// accepted and in place.
bool run_download(Task& t) {
    raise_connection_limit(t.params.connections);
    platform::InternetConnection connection; // the system's proxy settings
    if (!connection.open("Tarnix", std::nullopt, t.host, t.port, timeouts_of(t.params))) {
        return false;
    }
    t.connection = &connection;

    for (int restarts = 0;; ++restarts) {
        Outcome r = fetch_file(t);
        if (r == Outcome::done) {
            break;
        }
        if (r != Outcome::changed || restarts >= kRestarts || t.stopping.load()) {
            if (r == Outcome::changed) {
                note(t, L"the file changed during the download, again after a new start");
            }
            return false;
        }
        // A new revision was published meanwhile: everything again, once.
        t.changed.store(false);
        t.aborting.store(false);
        ResetEvent(t.abort_event.get());
        if (t.stopping.load()) {
            give_up(t);
            return false;
        }
        t.received.store(0);
    }
    if (t.aborting.load() || !acceptable(t)) {
        return false;
    }
    return settle_complete(t);
}

DWORD WINAPI task_main(LPVOID arg) {
    std::unique_ptr<ThreadContext> ctx(static_cast<ThreadContext*>(arg));
    Task& t = *ctx->task;
    bool ok = false;
    try {
        ok = run_download(t);
    } catch (...) {
        ok = false;
    }
    t.connection = nullptr;
    if (!ok) {
        settle_discard(t, true);
        if (!t.stopping.load()) {
            std::lock_guard<std::mutex> lock(t.why_mutex);
            OutputDebugStringW((L"Tarnix: update refused: " +
                                (t.why.empty() ? std::wstring(L"download failed") : t.why) + L"\n")
                                   .c_str());
        }
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

} // namespace

Downloader::Downloader() : core_(std::make_shared<Core>()) {}

Downloader::~Downloader() {
    stop_task();
}

bool Downloader::start_task(const DownloadTaskParams& params, const FileAcceptance& acceptance) {
    std::lock_guard<std::mutex> lock(core_->mutex);
    if (core_->task) {
        return false;
    }
    if ((params.transfer_mode & kTransferModeDownload) == 0 || params.target_file.empty()) {
        return false;
    }
    auto task = std::make_shared<Task>();
    task->params = params;
    task->acceptance = acceptance;
    if (!split_url(*task)) {
        return false;
    }
    task->target = widen(params.target_file);
    task->part_path = task->target + L".part";
    // Refused while another download (of this process or another) holds it.
    task->file.reset(part_file::open_exclusive(task->part_path));
    if (!task->file) {
        return false;
    }
    task->abort_event.reset(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    task->id = core_->next_id++;
    auto* ctx = new ThreadContext{core_, task};
    task->thread.reset(task->abort_event
                           ? CreateThread(nullptr, 0, task_main, ctx, CREATE_SUSPENDED, nullptr)
                           : nullptr);
    if (!task->thread) {
        delete ctx;
        part_file::remove_when_closed(task->file.get());
        task->file.reset();
        return false;
    }
    core_->task = task;
    ResumeThread(task->thread.get());
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
        task = std::move(core_->task);
    }
    if (!task) {
        return;
    }
    // Not waited for: its handler may be waiting for the UI thread, which is
    // where the exit routine stops it. From here on it cannot place its file,
    // and the ".part" file goes when its threads let go of it.
    task->stopping.store(true);
    give_up(*task);
    settle_discard(*task, false);
}
