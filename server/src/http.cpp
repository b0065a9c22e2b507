#include "http.h"

#include "bounded_tables.h"
#include "charset.h"
#include "clock.h"
#include "log.h"
#include "messages.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <exception>
#include <mutex>

namespace server {
namespace {

const char kTextType[] = "text/plain; charset=gbk";

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

Response text(int status, const std::string& body) {
    Response res;
    res.status = status;
    res.content_type = kTextType;
    res.body = body;
    return res;
}

// One resource, whole or one range of it. Files are opened for each request, so a
// replaced update file is served at once.
Response serve(const Resource& resource, const Request& req) {
    std::string line = req.client + " " + req.method + " " + req.path;
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
            log_event("http", line + " -> 404 (file missing)");
            return text(404, utf8_to_gbk("找不到该页面").value_or("not found"));
        }
        size = static_cast<uint64_t>(st.st_size);
    }
    Response res;
    res.content_type = resource.content_type;
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
        log_event("http", line + " -> 416 (" + std::to_string(size) + " bytes)");
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
    log_event("http", line + " -> " + std::to_string(res.status) + " " +
                          std::to_string(res.length) + " of " + std::to_string(size) + " bytes");
    return res;
}

} // namespace

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

bool store_ready(Store& store) {
    const int64_t start = monotonic_ms();
    try {
        store.ping();
    } catch (const std::exception&) {
        return false;
    }
    return monotonic_ms() - start <= 1000;
}

namespace {

// Readiness checks per client address and minute on the public port: each one
// asks the store. A balancer asks every second or two; balancers that ask more, or
// share an address, are exempt or ask the admin listener, which does not count.
constexpr int kReadyChecksPerMinute = 60;
// Addresses whose readiness budgets are remembered (the longest unseen go first).
constexpr size_t kReadyCheckAddresses = 10000;

// GET /healthz and /readyz, on both listeners; false when the path is neither.
// A /readyz that `within_budget()` refuses is answered 429 without asking the store.
template <class WithinBudget>
bool health(const Request& req, const std::function<bool()>& ready, Response& res,
            WithinBudget within_budget) {
    if (req.method != "GET" && req.method != "HEAD")
        return false;
    if (req.path == "/healthz") {
        res = text(200, "ok\n");
    } else if (req.path == "/readyz" && !within_budget()) {
        res = text(429, "too many readiness checks\n");
    } else if (req.path == "/readyz") {
        const bool up = ready && ready();
        res = text(up ? 200 : 503, up ? "ready\n" : "the database does not answer\n");
    } else {
        return false;
    }
    res.content_type = "text/plain";
    return true;
}

} // namespace

Handler make_admin_handler(const Metrics& metrics, Gauges gauges, std::function<bool()> ready) {
    return [&metrics, gauges, ready](const Request& req) {
        Response res;
        if (health(req, ready, res, [] { return true; }))
            return res;
        if ((req.method == "GET" || req.method == "HEAD") && req.path == "/metrics") {
            res = text(200, metrics.render(gauges));
            res.content_type = "text/plain; version=0.0.4; charset=utf-8";
            return res;
        }
        res = text(404, "not found\n");
        res.content_type = "text/plain";
        return res;
    };
}

Handler make_handler(Commands& commands, const Routes& routes) {
    // A GET of the endpoint answers with a small page, so a person or a
    // monitor can see the server is up.
    const std::string page =
        "<html><body>" + utf8_to_gbk("Tarnix账号服务运行中").value_or("ok") + "</body></html>";
    const std::string not_found = utf8_to_gbk("找不到该页面").value_or("not found");

    auto is_exempt = [routes](const Request& req) {
        bool exempt = false;
        for (const std::string& a : routes.exempt_addresses)
            exempt = exempt || a == req.client;
        return exempt;
    };
    auto ready_budget = std::make_shared<RateLimiter>(kReadyChecksPerMinute, kReadyCheckAddresses);
    return [&commands, routes, page, not_found, is_exempt, ready_budget](const Request& req) {
        // Only the lines other than a command's need it: not made for every request.
        auto what = [&req] {
            return req.client + " " + req.method + " " +
                   printable(path_for_log(req.path).substr(0, 200));
        };
        if (req.kind == Request::Kind::CutShort) {
            log_event("http", what() + " -> 400 body cut short");
            return text(400, gbk(Msg::BadRequest));
        }
        if (req.kind == Request::Kind::HeadersTooLarge) {
            log_event("http", what() + " -> 431 headers too large");
            Response res = text(431, gbk(Msg::BadRequest));
            res.close = true;
            return res;
        }
        const bool get = req.method == "GET" || req.method == "HEAD";
        if (req.method == "POST" && req.path == routes.endpoint_path) {
            if (req.kind == Request::Kind::BodyTooLarge) {
                log_event("http", what() + " -> 413 body too large");
                Response res = text(413, gbk(Msg::TooLarge));
                res.close = true;
                return res;
            }
            const bool exempt = is_exempt(req);
            const double start = monotonic_seconds();
            Reply reply = commands.handle(req.body, exempt ? std::string() : req.client_key,
                                          req.header("Cookie"));
            const double seconds = monotonic_seconds() - start;
            if (routes.metrics)
                routes.metrics->request(command_of(reply.command), reply.outcome, seconds);
            log_request(RequestRecord{req.client, reply.command, reply.account, reply.result,
                                      seconds * 1000});
            if (reply.outcome == Outcome::Ok &&
                command_of(reply.command) == Command::ChangePassword && routes.on_password_changed)
                routes.on_password_changed(reply.account, req.client);
            Response res = text(reply.status, reply.body);
            if (!reply.set_cookie.empty())
                res.headers.emplace_back("Set-Cookie", reply.set_cookie);
            return res;
        }
        Response res;
        if (health(req, routes.ready, res, [&] {
                return is_exempt(req) || ready_budget->allow(req.client_key, monotonic_ms());
            })) {
            // Asked every second by the balancer: not worth a log line each.
        } else if (routes.recovery && is_recovery_path(req.path)) {
            res = routes.recovery->handle(req, is_exempt(req));
            log_event("http", what() + " -> " + std::to_string(res.status));
        } else if (get && req.path == routes.endpoint_path) {
            log_event("http", what() + " -> 200");
            res = text(200, page);
            res.content_type = "text/html; charset=gbk";
        } else {
            const Resource* found = nullptr;
            for (const Resource& r : routes.resources) {
                if (r.path == req.path)
                    found = &r;
            }
            if (get && found) {
                res = serve(*found, req);
            } else {
                log_event("http", what() + " -> 404");
                res = text(404, not_found);
            }
        }
        // A request body nobody reads is not worth keeping the connection for.
        res.close = res.close || req.kind == Request::Kind::BodyTooLarge;
        return res;
    };
}

} // namespace server
