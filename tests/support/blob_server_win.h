#pragma once

#include <windows.h>

#include <atomic>
#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

// A loopback HTTP server that serves one blob at any path, for download tests.
// It honours "Range: bytes=a-b" / "bytes=a-" (206 with Content-Range) unless
// ranges are off, names the blob's revision with an ETag (or Last-Modified),
// honours If-Range, serves a signature at any path ending in ".sig", and can
// misbehave on purpose. Each answer closes its connection.
namespace testsupport {

struct BlobServerOptions {
    bool ranges = true;
    // Answers that cover byte `drop_at` (>= 0) are cut (connection reset) right
    // before that byte, `drop_times` times in all (-1 = every time).
    int64_t drop_at = -1;
    int drop_times = 0;
    // Every answer sends only this many body bytes of what it announces (-1 = all).
    int64_t short_body = -1;
    // Every answer is this status with an HTML body (0 = serve the blob).
    int error_status = 0;
    // Pause after every 64 KiB of body sent, to keep a download running.
    DWORD chunk_delay_ms = 0;
    // How answers name the blob's revision.
    enum class Validator { etag, last_modified, none };
    Validator validator = Validator::etag;
    // Another revision of the same file: served from the `revise_at`-th request
    // of the file on (counted from 0; -1 never); with `keep_revising`, every
    // request from then on serves the revision the previous one did not.
    std::string revised_blob;
    int revise_at = -1;
    bool keep_revising = false;
    // An If-Range naming another revision gets the whole file (200), unless off.
    bool honour_if_range = true;
    // The body served at any path ending in ".sig" (none: 404).
    std::optional<std::string> signature;
};

class BlobServer {
public:
    BlobServer(std::string blob, BlobServerOptions options = {});
    ~BlobServer();
    BlobServer(const BlobServer&) = delete;
    BlobServer& operator=(const BlobServer&) = delete;

    bool ok() const { return listener_ != INVALID_SOCKET_VALUE; }
    int port() const { return port_; }
    std::string
    url(const std::string& path = "/files/new.exe") const; // "http://127.0.0.1:port/..."

    // Range headers of the file requests, in arrival order ("" for none).
    std::vector<std::string> ranges_asked() const;
    // If-Range headers of the file requests, in arrival order ("" for none).
    std::vector<std::string> if_ranges_asked() const;
    // Requests of the file (not of its signature).
    int requests() const { return requests_.load(); }
    int signature_requests() const { return signature_requests_.load(); }

private:
    static constexpr uintptr_t INVALID_SOCKET_VALUE = ~static_cast<uintptr_t>(0);
    static DWORD WINAPI accept_main(LPVOID self);
    static DWORD WINAPI connection_main(LPVOID arg);
    // Answers one request; true when the connection is to be reset, not closed.
    bool serve(uintptr_t socket);

    std::string blob_;
    BlobServerOptions options_;
    uintptr_t listener_ = INVALID_SOCKET_VALUE;
    int port_ = 0;
    HANDLE accept_thread_ = nullptr;
    std::atomic<bool> stopping_{false};
    bool wsa_started_ = false;
    std::atomic<int> requests_{0};
    std::atomic<int> signature_requests_{0};
    mutable std::mutex mutex_;
    std::vector<std::string> ranges_;
    std::vector<std::string> if_ranges_;
    int drops_done_ = 0;
    // Every connection thread, waited for by the destructor, and the sockets
    // still being served, shut down by it so that no thread outlives the server.
    std::vector<HANDLE> connection_threads_;
    std::vector<uintptr_t> open_sockets_;
};

// A port on 127.0.0.1 on which nothing listens (connections are refused).
int refused_port();

// `size` bytes of a fixed pseudo-random pattern.
std::string make_blob(size_t size, uint32_t seed = 1);

} // namespace testsupport
