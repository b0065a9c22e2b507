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

download::Validators validators_of(const platform::InternetRequest& req) {
    return download::Validators{req.query_text(HTTP_QUERY_ETAG),
                                req.query_text(HTTP_QUERY_LAST_MODIFIED)};
}

// Sends a GET for `object` on the task's connection, with a Range header when
// `first` >= 0 ("bytes=first-" or "bytes=first-last") and an If-Range header
// when `if_range` is not empty. False when no answer came.
bool send_get(Task& t, platform::InternetRequest& req, const std::string& object, int64_t first,
              int64_t last, const std::string& if_range) {
    // With the update host's cookies (WinInet's store): the server knows the install by them.
    DWORD flags = INTERNET_FLAG_RELOAD | INTERNET_FLAG_NO_CACHE_WRITE |
                  INTERNET_FLAG_PRAGMA_NOCACHE | INTERNET_FLAG_NO_UI |
                  INTERNET_FLAG_KEEP_CONNECTION;
    if (t.secure) {
        flags |= INTERNET_FLAG_SECURE;
    }
    if (!req.open(*t.connection, "GET", object, flags)) {
        return false;
    }
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
    if (!req.send(headers, nullptr, 0)) {
        req.close();
        return false;
    }
    return true;
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
                  BodyReader& reader) {
    while (done < part.length) {
        if (t.aborting.load()) {
            return Outcome::stopped;
        }
        const DWORD want =
            static_cast<DWORD>(std::min<int64_t>(reader.read_size, part.length - done));
        if (reader.buf.size() < want) {
            reader.buf.resize(want);
        }
        DWORD got = 0;
        const ULONGLONG began = GetTickCount64();
        if (!InternetReadFile(req, reader.buf.data(), want, &got)) {
            return Outcome::retry;
        }
        if (got == 0) {
            return Outcome::retry; // a body cut short reads as a normal end
        }
        got = std::min(got, want);
        const ULONGLONG took = GetTickCount64() - began;
        if (got == want && took < 50) {
            reader.read_size = std::min(reader.read_size * 2, kMaxReadSize);
        } else if (took > 250) {
            reader.read_size = std::max(reader.read_size / 2, kMinReadSize);
        }
        if (!part_file::write_at(t.file.get(), part.start + done, reader.buf.data(), got,
                                 reader.io_event.get())) {
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
                   BodyReader& reader) {
    if (!ranged && done > 0) {
        t.received.fetch_sub(done);
        done = 0;
    }
    int64_t first = part.start + done;
    int64_t last = part.start + part.length - 1;
    platform::InternetRequest req;
    if (!(ranged ? send_get(t, req, t.object, first, last, t.if_range)
                 : send_get(t, req, t.object, -1, -1, std::string()))) {
        return Outcome::retry;
    }
    const DWORD status = req.status();
    Outcome judged = judge_status(status);
    if (judged != Outcome::done) {
        return judged;
    }
    if (ranged) {
        if (status == 200) {
            return Outcome::changed; // the If-Range revision is gone: the whole new file came
        }
        int64_t a = 0, b = 0, total = 0;
        if (status != 206 ||
            !download::parse_content_range(req.query_text(HTTP_QUERY_CONTENT_RANGE), a, b, total)) {
            return Outcome::retry;
        }
        if (total != t.total || !download::same_revision(t.validators, validators_of(req))) {
            return Outcome::changed;
        }
        if (a != first || b != last) {
            return Outcome::retry; // never write bytes we did not ask for
        }
    } else {
        int64_t length = -1;
        if (status != 200 ||
            !download::parse_content_length(req.query_text(HTTP_QUERY_CONTENT_LENGTH), length)) {
            return Outcome::retry;
        }
        if (length != t.total) {
            return Outcome::changed;
        }
    }
    return read_body(t, req.handle(), part, done, reader);
}

// Waits on the abort event for a pause between attempts; false once aborting.
bool pause_unless_aborted(Task& t, DWORD ms) {
    WaitForSingleObject(t.abort_event.get(), ms);
    return !t.aborting.load();
}

// Runs attempts at a part until it is complete, fails for good, finds the
// file changed or the task aborts. `last` is the outcome of the attempts
// already made (retry for none).
Outcome download_part(Task& t, const download::Part& part, int64_t& done, bool ranged,
                      BodyReader& reader, Outcome last, int attempts_made) {
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
        last = fetch_part(t, part, done, ranged, reader);
    }
}

void give_up(Task& t) {
    t.aborting.store(true);
    SetEvent(t.abort_event.get());
}

// The parts after the first bytes, handed out in file order to whichever
// connection is free, so that the file fills up from its start and can be
// hashed while it arrives.
struct Schedule {
    Task* task = nullptr;
    std::vector<download::Part> parts;
    std::vector<std::atomic<bool>> complete;
    std::atomic<size_t> next{0};
    platform::UniqueHandle progress; // set whenever a part is complete
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
        BodyReader reader;
        for (size_t i = s.next++; i < s.parts.size() && r == Outcome::done; i = s.next++) {
            int64_t done = 0;
            r = download_part(*s.task, s.parts[i], done, true, reader, Outcome::retry, 0);
            if (r == Outcome::done) {
                s.complete[i].store(true);
                SetEvent(s.progress.get());
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
bool hash_range(Task& t, sha256::Hasher& h, int64_t at, int64_t length, BodyReader& reader) {
    std::vector<char>& buf = reader.buf;
    for (const int64_t end = at + length; at < end;) {
        const DWORD want = static_cast<DWORD>(std::min<int64_t>(buf.size(), end - at));
        DWORD got = 0;
        if (t.aborting.load() ||
            !part_file::read_at(t.file.get(), at, buf.data(), want, got, reader.io_event.get()) ||
            got == 0) {
            return false;
        }
        h.update(buf.data(), got);
        at += got;
    }
    return true;
}

// Writes what has arrived through to the disk once another kFlushStep bytes
// are in. A failure is left to the flush before the move, which decides.
void flush_arrived(Task& t) {
    const int64_t now = t.received.load();
    if (now - t.flushed >= kFlushStep) {
        FlushFileBuffers(t.file.get());
        t.flushed = now;
    }
}

// Follows the schedule: each part is hashed as soon as it and all before it
// are complete. The digest, or empty when the download did not complete.
std::string hash_while_arriving(Task& t, Schedule& s, int64_t first_length) {
    sha256::Hasher h;
    BodyReader reader;
    reader.buf.resize(kHashReadSize);
    if (!hash_range(t, h, 0, first_length, reader)) {
        return std::string();
    }
    const HANDLE wake[2] = {s.progress.get(), t.abort_event.get()};
    for (size_t i = 0; i < s.parts.size(); ++i) {
        while (!s.complete[i].load()) {
            if (t.aborting.load()) {
                return std::string();
            }
            WaitForMultipleObjects(2, wake, FALSE, 1000);
        }
        if (!hash_range(t, h, s.parts[i].start, s.parts[i].length, reader)) {
            return std::string();
        }
        flush_arrived(t);
    }
    return h.finish();
}

void deliver(Task& t, int32_t kind, int32_t value, int32_t extra) {
    if (t.params.event_handler) {
        t.params.event_handler(kind, 0, value, extra, t.id);
    }
}

// Sends the first request ("bytes=0-last") with a few attempts; false when
// the server cannot be reached or refuses.
bool send_probe(Task& t, platform::InternetRequest& probe, int64_t last, DWORD& status) {
    for (int attempt = 0;; ++attempt) {
        if (attempt > 0 && !pause_unless_aborted(t, kRetryPauseMs)) {
            return false;
        }
        if (send_get(t, probe, t.object, 0, last, std::string())) {
            status = probe.status();
            Outcome judged = judge_status(status);
            if (judged == Outcome::done) {
                return true;
            }
            probe.close();
            if (judged == Outcome::fail) {
                note(t, L"the server refused the file (HTTP " + std::to_wstring(status) + L")");
                return false;
            }
        }
        if (attempt >= kRetries || t.aborting.load()) {
            note(t, L"the server could not be reached");
            return false;
        }
    }
}

// Starts the workers' threads; every started one is waited for by the caller.
void start_workers(Task& t, std::vector<WorkerContext>& workers,
                   std::vector<platform::UniqueHandle>& threads) {
    threads.reserve(workers.size()); // no allocation once a thread uses `workers`
    for (WorkerContext& w : workers) {
        platform::UniqueHandle th(CreateThread(nullptr, 0, worker_main, &w, 0, nullptr));
        if (!th) {
            give_up(t);
            return;
        }
        threads.push_back(std::move(th));
    }
}

// Waits for the workers, flushing what arrives meanwhile.
void wait_workers(Task& t, const std::vector<platform::UniqueHandle>& threads) {
    std::vector<HANDLE> waits;
    for (const platform::UniqueHandle& th : threads) {
        waits.push_back(th.get());
    }
    while (!waits.empty() && WaitForMultipleObjects(static_cast<DWORD>(waits.size()), waits.data(),
                                                    TRUE, 20) == WAIT_TIMEOUT) {
        flush_arrived(t);
    }
}

// One pass over the whole file: done when every byte of one revision is in
// the ".part" file.
Outcome fetch_file(Task& t) {
    const int64_t min_part = t.params.min_part_size > 0
                                 ? static_cast<int64_t>(t.params.min_part_size)
                                 : kDefaultMinPartSize;
    const int32_t connections = std::clamp(t.params.connections, 1, kMaxConnections);
    BodyReader reader;

    // First request: the first `min_part` bytes (a small body: closing a
    // request with a large unread body makes WinInet read it all first). Its
    // answer tells the size, the revision (validators) and whether ranges are
    // honoured (206) or ignored (200, the whole file).
    DWORD status = 0;
    platform::InternetRequest probe;
    if (!send_probe(t, probe, min_part - 1, status)) {
        return Outcome::fail;
    }
    bool ranged = false;
    int64_t total = -1;
    int64_t first_length = 0;
    if (status == 206) {
        int64_t a = 0, b = 0;
        if (!download::parse_content_range(probe.query_text(HTTP_QUERY_CONTENT_RANGE), a, b,
                                           total) ||
            a != 0 || b != std::min(min_part, total) - 1) {
            total = -1;
        }
        ranged = true;
        first_length = b + 1;
    } else if (status == 200) {
        if (!download::parse_content_length(probe.query_text(HTTP_QUERY_CONTENT_LENGTH), total)) {
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
    if (total > t.acceptance.max_bytes) {
        note(t, L"the server announced " + std::to_wstring(total) +
                    L" bytes, more than an update may have (" +
                    std::to_wstring(t.acceptance.max_bytes) + L")");
        return Outcome::fail;
    }
    if (t.total == 0) {
        if (!part_file::set_length(t.file.get(), total)) {
            note(t, L"no room for the file");
            return Outcome::fail;
        }
        t.total = total;
        deliver(t, kDownloadEventSize, static_cast<int32_t>(total), 0);
    } else if (total != t.total) {
        note(t, L"the file changed its size during the download");
        return Outcome::fail; // the size was announced once and stays
    }
    t.validators = validators_of(probe);
    t.if_range = download::if_range_value(t.validators);
    t.digest.clear();
    t.flushed = 0;

    // Without a validator parts could come from two revisions unnoticed: the
    // whole file in one answer instead.
    const bool split = ranged && !t.if_range.empty();
    download::Part first_part{0, split ? first_length : total};
    int64_t done = 0;
    Outcome first = Outcome::retry;
    if (split || !ranged) {
        first = read_body(t, probe.handle(), first_part, done, reader);
    }
    probe.close();
    Outcome r = download_part(t, first_part, done, split, reader, first, split || !ranged ? 1 : 0);
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
    std::vector<platform::UniqueHandle> threads;
    start_workers(t, workers, threads);
    if (hashing && threads.size() == workers.size()) {
        t.digest = hash_while_arriving(t, schedule, first_part.length);
    }
    wait_workers(t, threads);
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
    platform::InternetRequest req;
    if (!send_get(t, req, t.object + ".sig", -1, -1, std::string())) {
        return std::string();
    }
    status = req.status();
    std::string body;
    char chunk[65];
    for (;;) {
        DWORD got = 0;
        if (!InternetReadFile(req.handle(), chunk, sizeof(chunk), &got) || got == 0) {
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
