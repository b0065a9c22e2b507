#include "http/static_files.h"

#include "base/charset.h"
#include "base/log.h"
#include "http/answers.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>

namespace server {
namespace {

// A single byte range of a file of `size` bytes, from a Range header.
enum class RangeKind { Whole, Part, Unsatisfiable };

RangeKind parse_range(const std::string& header, uint64_t size, uint64_t& first, uint64_t& last) {
    const std::string prefix = "bytes=";
    if (header.compare(0, prefix.size(), prefix) != 0)
        return RangeKind::Whole;
    std::string ranges_text = header.substr(prefix.size());
    size_t dash = ranges_text.find('-');
    // Several ranges may be answered with the whole file.
    if (dash == std::string::npos || ranges_text.find(',') != std::string::npos)
        return RangeKind::Whole;
    auto number = [](const std::string& s, uint64_t& out) {
        if (s.empty() || s.size() > 19)
            return false;
        out = 0;
        for (char c : s) {
            if (c < '0' || c > '9')
                return false;
            out = out * 10 + static_cast<uint64_t>(c - '0');
        }
        return true;
    };
    std::string a = ranges_text.substr(0, dash);
    std::string b = ranges_text.substr(dash + 1);
    uint64_t x = 0;
    uint64_t y = 0;
    if (a.empty()) { // the last y bytes
        if (!number(b, y))
            return RangeKind::Whole;
        if (y == 0 || size == 0)
            return RangeKind::Unsatisfiable;
        first = y >= size ? 0 : size - y;
        last = size - 1;
        return RangeKind::Part;
    }
    if (!number(a, x) || (!b.empty() && (!number(b, y) || y < x)))
        return RangeKind::Whole;
    if (x >= size)
        return RangeKind::Unsatisfiable;
    first = x;
    last = b.empty() || y >= size ? size - 1 : y;
    return RangeKind::Part;
}

} // namespace

// replaced update file is served at once.
Response serve_resource(const Resource& resource, const Request& req) {
    std::string line = req.client;
    line.append(" ").append(req.method).append(" ").append(req.path);
    int fd = -1;
    uint64_t size = 0;
    const std::string* bytes = resource.bytes ? &resource.bytes->current() : nullptr;
    if (bytes) {
        size = bytes->size();
    } else {
        fd = ::open(resource.file.c_str(), O_RDONLY | O_CLOEXEC);
        struct stat st {};
        if (fd < 0 || fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
            if (fd >= 0)
                ::close(fd);
            log_info(line + " -> 404 (file missing)", "http");
            return text_answer(404, utf8_to_gbk("找不到该页面").value_or("not found"));
        }
        size = static_cast<uint64_t>(st.st_size);
    }
    Response res;
    res.content_type = resource.content_type.c_str(); // the routes outlive the engine
    res.headers.emplace_back("Accept-Ranges", "bytes");
    std::string range = req.header("Range");
    uint64_t first = 0;
    uint64_t last = size == 0 ? 0 : size - 1;
    RangeKind kind = range.empty() ? RangeKind::Whole : parse_range(range, size, first, last);
    if (!range.empty())
        line += " " + printable(range.substr(0, 80));
    if (kind == RangeKind::Unsatisfiable) {
        if (fd >= 0)
            ::close(fd);
        res.status = 416;
        res.content_type = "text/plain";
        res.headers.emplace_back("Content-Range", "bytes */" + std::to_string(size));
        log_info(line + " -> 416 (" + std::to_string(size) + " bytes)", "http");
        return res;
    }
    if (kind == RangeKind::Part) {
        res.status = 206;
        res.headers.emplace_back("Content-Range", "bytes " + std::to_string(first) + "-" +
                                                      std::to_string(last) + "/" +
                                                      std::to_string(size));
    } else {
        first = 0;
        last = size - 1;
    }
    res.offset = first;
    res.length = size == 0 ? 0 : last - first + 1;
    res.fd = fd;
    res.data = bytes ? bytes->data() : nullptr;
    log_info(line + " -> " + std::to_string(res.status) + " " + std::to_string(res.length) +
                 " of " + std::to_string(size) + " bytes",
             "http");
    return res;
}

Resource Resource::from_file(std::string path, std::string file) {
    Resource r;
    r.path = std::move(path);
    r.file = std::move(file);
    return r;
}

Resource Resource::from_bytes(std::string path, std::string bytes) {
    Resource r;
    r.path = std::move(path);
    r.bytes = std::make_shared<ReplaceableBytes>(std::move(bytes));
    return r;
}

void ReplaceableBytes::replace(std::string bytes) {
    std::lock_guard<std::mutex> lock(mutex_);
    versions_.push_back(std::make_unique<const std::string>(std::move(bytes)));
    current_.store(versions_.back().get(), std::memory_order_release);
}

} // namespace server
