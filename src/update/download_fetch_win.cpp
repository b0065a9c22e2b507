#include "update/download_fetch_win.h"

#include "update/download_file_win.h"
#include "update/sha256.h"
#include "update/update_trust.h"

#include <algorithm>
#include <limits>
#include <vector>

namespace download_detail {

void note(Task& t, const std::wstring& why) {
    std::lock_guard<std::mutex> lock(t.why_mutex);
    if (t.why.empty()) {
        t.why = why;
    }
}

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

platform::InternetTimeouts timeouts_of(const DownloadTaskParams& p) {
    auto ms = [](int32_t v) { return v > 0 ? static_cast<DWORD>(v) : 0; };
    return {ms(p.connect_timeout_ms), ms(p.send_timeout_ms), ms(p.receive_timeout_ms)};
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

download::Validators validators_of(HINTERNET req) {
    return download::Validators{query_text(req, HTTP_QUERY_ETAG),
                                query_text(req, HTTP_QUERY_LAST_MODIFIED)};
}

// Sends a GET for `object`, with a Range header when `first` >= 0
// ("bytes=first-" or "bytes=first-last") and an If-Range header when
// `if_range` is not empty. Null on a failed send.
HINTERNET send_get(Task& t, const std::string& object, int64_t first, int64_t last,
                   const std::string& if_range) {
    DWORD flags = INTERNET_FLAG_RELOAD | INTERNET_FLAG_NO_CACHE_WRITE |
                  INTERNET_FLAG_PRAGMA_NOCACHE | INTERNET_FLAG_NO_UI | INTERNET_FLAG_NO_COOKIES |
                  INTERNET_FLAG_KEEP_CONNECTION;
    if (t.secure) {
        flags |= INTERNET_FLAG_SECURE;
    }
    HINTERNET req =
        HttpOpenRequestA(t.connection, "GET", object.c_str(), nullptr, nullptr, nullptr, flags, 0);
    if (!req) {
        return nullptr;
    }
    platform::set_timeouts(req, timeouts_of(t.params));
    std::string headers;
    if (first >= 0) {
        headers = "Range: bytes=" + std::to_string(first) + "-";
        if (last >= 0) {
            headers += std::to_string(last);
        }
        headers += "\r\n";
        if (!if_range.empty()) {
            headers += "If-Range: " + if_range + "\r\n";
        }
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
        if (!part_file::write_at(t.file.h, part.start + done, buf.data(), got)) {
            return Outcome::fail;
        }
        done += got;
        t.received.fetch_add(got);
    }
    return Outcome::done;
}

// One attempt at the rest of a part. With `ranged` it asks for exactly the
// missing bytes of the first answer's revision and accepts only a 206 naming
// them; without, the server ignores ranges or gave no validator, so the
// attempt starts the whole file again from byte 0 in one answer.
Outcome fetch_part(Task& t, const download::Part& part, int64_t& done, bool ranged,
                   std::vector<char>& buf) {
    if (!ranged && done > 0) {
        t.received.fetch_sub(done);
        done = 0;
    }
    int64_t first = part.start + done;
    int64_t last = part.start + part.length - 1;
    platform::InternetHandle req(ranged ? send_get(t, t.object, first, last, t.if_range)
                                        : send_get(t, t.object, -1, -1, std::string()));
    if (!req.get()) {
        return Outcome::retry;
    }
    DWORD status = query_status(req.get());
    Outcome judged = judge_status(status);
    if (judged != Outcome::done) {
        return judged;
    }
    if (ranged) {
        if (status == 200) {
            return Outcome::changed; // the If-Range revision is gone: the whole new file came
        }
        int64_t a = 0, b = 0, total = 0;
        if (status != 206 || !download::parse_content_range(
                                 query_text(req.get(), HTTP_QUERY_CONTENT_RANGE), a, b, total)) {
            return Outcome::retry;
        }
        if (total != t.total || !download::same_revision(t.validators, validators_of(req.get()))) {
            return Outcome::changed;
        }
        if (a != first || b != last) {
            return Outcome::retry; // never write bytes we did not ask for
        }
    } else {
        int64_t length = -1;
        if (status != 200 || !download::parse_content_length(
                                 query_text(req.get(), HTTP_QUERY_CONTENT_LENGTH), length)) {
            return Outcome::retry;
        }
        if (length != t.total) {
            return Outcome::changed;
        }
    }
    return read_body(t, req.get(), part, done, buf);
}

// Waits on the abort event for a pause between attempts; false once aborting.
bool pause_unless_aborted(Task& t, DWORD ms) {
    WaitForSingleObject(t.abort_event.h, ms);
    return !t.aborting.load();
}

// Runs attempts at a part until it is complete, fails for good, finds the
// file changed or the task aborts. `last` is the outcome of the attempts
// already made (retry for none).
Outcome download_part(Task& t, const download::Part& part, int64_t& done, bool ranged,
                      std::vector<char>& buf, Outcome last, int attempts_made) {
    for (int made = attempts_made;; ++made) {
        if (last != Outcome::retry) {
            return last;
        }
        if (made > kRetries) {
            return Outcome::fail;
        }
        if (made > 0 && !pause_unless_aborted(t, kRetryPauseMs)) {
            return Outcome::stopped;
        }
        last = fetch_part(t, part, done, ranged, buf);
    }
}

void give_up(Task& t) {
    t.aborting.store(true);
    SetEvent(t.abort_event.h);
}

// The parts after the first bytes, handed out in file order to whichever
// connection is free, so that the file fills up from its start and can be
// hashed while it arrives.
struct Schedule {
    Task* task = nullptr;
    std::vector<download::Part> parts;
    std::vector<std::atomic<bool>> complete;
    std::atomic<size_t> next{0};
    Handle progress; // set whenever a part is complete
    explicit Schedule(std::vector<download::Part> p)
        : parts(std::move(p)), complete(parts.size()),
          progress(CreateEventW(nullptr, FALSE, FALSE, nullptr)) {}
};

struct WorkerContext {
    Schedule* schedule = nullptr;
    bool ok = false;
};

DWORD WINAPI worker_main(LPVOID arg) {
    auto* w = static_cast<WorkerContext*>(arg);
    Schedule& s = *w->schedule;
    Outcome r = Outcome::done;
    try {
        std::vector<char> buf(kReadSize);
        for (size_t i = s.next++; i < s.parts.size() && r == Outcome::done; i = s.next++) {
            int64_t done = 0;
            r = download_part(*s.task, s.parts[i], done, true, buf, Outcome::retry, 0);
            if (r == Outcome::done) {
                s.complete[i].store(true);
                SetEvent(s.progress.h);
            }
        }
    } catch (...) {
        r = Outcome::fail;
    }
    w->ok = r == Outcome::done;
    if (r == Outcome::changed) {
        s.task->changed.store(true);
    }
    if (!w->ok) {
        give_up(*s.task);
    }
    return 0;
}

// Hashes [at, at + length) of the file into `h`; false on a read error or an abort.
bool hash_range(Task& t, sha256::Hasher& h, int64_t at, int64_t length, std::vector<char>& buf) {
    for (const int64_t end = at + length; at < end;) {
        const DWORD want = static_cast<DWORD>(std::min<int64_t>(buf.size(), end - at));
        DWORD got = 0;
        if (t.aborting.load() || !part_file::read_at(t.file.h, at, buf.data(), want, got) ||
            got == 0) {
            return false;
        }
        h.update(buf.data(), got);
        at += got;
    }
    return true;
}

// Follows the schedule: each part is hashed as soon as it and all before it
// are complete. The digest, or empty when the download did not complete.
std::string hash_while_arriving(Task& t, Schedule& s, int64_t first_length) {
    sha256::Hasher h;
    std::vector<char> buf(kHashReadSize);
    if (!hash_range(t, h, 0, first_length, buf)) {
        return std::string();
    }
    const HANDLE wake[2] = {s.progress.h, t.abort_event.h};
    for (size_t i = 0; i < s.parts.size(); ++i) {
        while (!s.complete[i].load()) {
            if (t.aborting.load()) {
                return std::string();
            }
            WaitForMultipleObjects(2, wake, FALSE, 1000);
        }
        if (!hash_range(t, h, s.parts[i].start, s.parts[i].length, buf)) {
            return std::string();
        }
    }
    return h.finish();
}

void deliver(Task& t, int32_t kind, int32_t value, int32_t extra) {
    if (t.params.event_handler && !t.abandoned.load()) {
        t.params.event_handler(kind, 0, value, extra, t.id);
    }
}

// Sends the first request ("bytes=0-last") with a few attempts; null when the
// server cannot be reached or refuses.
HINTERNET send_probe(Task& t, int64_t last, DWORD& status) {
    for (int attempt = 0;; ++attempt) {
        if (attempt > 0 && !pause_unless_aborted(t, kRetryPauseMs)) {
            return nullptr;
        }
        HINTERNET probe = send_get(t, t.object, 0, last, std::string());
        if (probe) {
            status = query_status(probe);
            Outcome judged = judge_status(status);
            if (judged == Outcome::done) {
                return probe;
            }
            InternetCloseHandle(probe);
            if (judged == Outcome::fail) {
                note(t, L"the server refused the file (HTTP " + std::to_wstring(status) + L")");
                return nullptr;
            }
        }
        if (attempt >= kRetries || t.aborting.load()) {
            note(t, L"the server could not be reached");
            return nullptr;
        }
    }
}

// Starts the workers' threads; every started one is waited for by the caller.
void start_workers(Task& t, std::vector<WorkerContext>& workers, std::vector<HANDLE>& threads) {
    threads.reserve(workers.size()); // no allocation once a thread uses `workers`
    for (WorkerContext& w : workers) {
        HANDLE th = CreateThread(nullptr, 0, worker_main, &w, 0, nullptr);
        if (!th) {
            give_up(t);
            return;
        }
        threads.push_back(th);
    }
}

void wait_workers(std::vector<HANDLE>& threads) {
    if (!threads.empty()) {
        WaitForMultipleObjects(static_cast<DWORD>(threads.size()), threads.data(), TRUE, INFINITE);
    }
    for (HANDLE th : threads) {
        CloseHandle(th);
    }
}

// One pass over the whole file: done when every byte of one revision is in
// the ".part" file.
Outcome fetch_file(Task& t) {
    const int64_t min_part = t.params.min_part_size > 0
                                 ? static_cast<int64_t>(t.params.min_part_size)
                                 : kDefaultMinPartSize;
    const int32_t connections = std::clamp(t.params.connections, 1, kMaxConnections);
    std::vector<char> buf(kReadSize);

    // First request: the first `min_part` bytes (a small body: closing a
    // request with a large unread body makes WinInet read it all first). Its
    // answer tells the size, the revision (validators) and whether ranges are
    // honoured (206) or ignored (200, the whole file).
    DWORD status = 0;
    platform::InternetHandle probe(send_probe(t, min_part - 1, status));
    if (!probe.get()) {
        return Outcome::fail;
    }
    bool ranged = false;
    int64_t total = -1;
    int64_t first_length = 0;
    if (status == 206) {
        int64_t a = 0, b = 0;
        if (!download::parse_content_range(query_text(probe.get(), HTTP_QUERY_CONTENT_RANGE), a, b,
                                           total) ||
            a != 0 || b != std::min(min_part, total) - 1) {
            total = -1;
        }
        ranged = true;
        first_length = b + 1;
    } else if (status == 200) {
        if (!download::parse_content_length(query_text(probe.get(), HTTP_QUERY_CONTENT_LENGTH),
                                            total)) {
            total = -1; // a size we cannot check is no download we can verify
        }
        first_length = total;
    }
    if (total <= 0 || total > std::numeric_limits<int32_t>::max()) {
        note(t, total == 0 ? L"the server announced an empty file"
                           : L"the server announced no usable size (HTTP " +
                                 std::to_wstring(status) + L")");
        return Outcome::fail;
    }
    if (t.total == 0) {
        if (!part_file::set_length(t.file.h, total)) {
            note(t, L"no room for the file");
            return Outcome::fail;
        }
        t.total = total;
        deliver(t, kDownloadEventSize, static_cast<int32_t>(total), 0);
    } else if (total != t.total) {
        note(t, L"the file changed its size during the download");
        return Outcome::fail; // the size was announced once and stays
    }
    t.validators = validators_of(probe.get());
    t.if_range = download::if_range_value(t.validators);
    t.digest.clear();

    // Without a validator parts could come from two revisions unnoticed: the
    // whole file in one answer instead.
    const bool split = ranged && !t.if_range.empty();
    download::Part first_part{0, split ? first_length : total};
    int64_t done = 0;
    Outcome first = Outcome::retry;
    if (split || !ranged) {
        first = read_body(t, probe.get(), first_part, done, buf);
    }
    probe.reset();
    Outcome r = download_part(t, first_part, done, split, buf, first, split || !ranged ? 1 : 0);
    if (r != Outcome::done || !split) {
        return r == Outcome::done || r == Outcome::changed ? r : Outcome::fail;
    }

    // With a digest to make, parts of a few MiB in file order (hashed as they
    // complete); otherwise one part per connection.
    const int64_t rest = total - first_part.length;
    const bool hashing = !t.acceptance.public_key.empty();
    const int64_t chunks = hashing ? (rest + kHashChunk - 1) / kHashChunk : 0;
    Schedule schedule(download::split_parts(
        first_part.length, total,
        static_cast<int32_t>(std::max<int64_t>(connections, std::min<int64_t>(chunks, 4096))),
        min_part));
    schedule.task = &t;
    std::vector<WorkerContext> workers(std::min<size_t>(connections, schedule.parts.size()));
    for (WorkerContext& w : workers) {
        w.schedule = &schedule;
    }
    std::vector<HANDLE> threads;
    start_workers(t, workers, threads);
    if (hashing && threads.size() == workers.size()) {
        t.digest = hash_while_arriving(t, schedule, first_part.length);
    }
    wait_workers(threads);
    if (t.changed.load()) {
        return Outcome::changed;
    }
    if (threads.size() != workers.size()) {
        return Outcome::fail;
    }
    for (const WorkerContext& w : workers) {
        if (!w.ok) {
            return Outcome::fail;
        }
    }
    return t.aborting.load() ? Outcome::fail : Outcome::done;
}

// The signature published beside the file: its body, at most 65 bytes (a
// longer one is wrong anyway); `status` is the answer's HTTP status.
std::string fetch_signature(Task& t, DWORD& status) {
    status = 0;
    platform::InternetHandle req(send_get(t, t.object + ".sig", -1, -1, std::string()));
    if (!req.get()) {
        return std::string();
    }
    status = query_status(req.get());
    std::string body;
    char chunk[65];
    for (;;) {
        DWORD got = 0;
        if (!InternetReadFile(req.get(), chunk, sizeof(chunk), &got) || got == 0) {
            break;
        }
        body.append(chunk, got);
        if (body.size() > update_trust::kSignatureSize) {
            break;
        }
    }
    return body;
}

} // namespace download_detail
