// Files served by GET/HEAD (the update file and its signature), whole or as one
// byte range.
#pragma once

#include "http/engine.h"

#include <atomic>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace server {

// Bytes served from memory that a reload may replace (the update signature). Every
// version is kept, since an answer being sent may still point into an older one (a
// few dozen bytes per reload). Any thread.
class ReplaceableBytes {
public:
    explicit ReplaceableBytes(std::string bytes) { replace(std::move(bytes)); }
    const std::string& current() const { return *current_.load(std::memory_order_acquire); }
    void replace(std::string bytes);

private:
    std::mutex mutex_;
    std::vector<std::unique_ptr<const std::string>> versions_;
    std::atomic<const std::string*> current_{nullptr};
};

// Something served by GET/HEAD at a path, with single byte ranges: a file read
// afresh for each request, or bytes held in memory.
struct Resource {
    std::string path;
    std::string file;                        // read from disk when `bytes` is null
    std::shared_ptr<ReplaceableBytes> bytes; // in memory, for the server's lifetime
    std::string content_type = "application/octet-stream";

    static Resource from_file(std::string path, std::string file);
    static Resource from_bytes(std::string path, std::string bytes);
};

// The answer to a GET or HEAD of `resource`, logged as one line. Any thread.
Response serve_resource(const Resource& resource, const Request& req);

} // namespace server
