#include "http.h"

#include "charset.h"
#include "messages.h"

#include <httplib.h>

#include <cstdint>
#include <cstdio>
#include <fstream>
#include <memory>
#include <mutex>
#include <vector>

namespace server {
namespace {

constexpr size_t kMaxBody = 64 * 1024;
constexpr size_t kChunk = 256 * 1024;
const char kTextType[] = "text/plain; charset=gbk";

std::mutex g_log_mutex;

std::string who(const httplib::Request& req) {
    return req.remote_addr;
}

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

// Streams the file from disk piece by piece, at most one range of it.
void serve_file(const std::string& path, const httplib::Request& req, httplib::Response& res) {
    // Ranges are answered here: the library's own range handling trusts ranges past
    // the end of the file and announces bytes it never sends. Clearing the parsed
    // ranges (the request object is the library's own, mutable one) stops it from
    // cutting the answer a second time.
    const_cast<httplib::Request&>(req).ranges.clear();

    auto file = std::make_shared<std::ifstream>(path, std::ios::binary);
    if (!*file) {
        res.status = 404;
        log_line(who(req) + " " + req.method + " " + req.path + " -> 404 (update file missing)");
        return;
    }
    file->seekg(0, std::ios::end);
    std::streamoff end = file->tellg();
    if (end < 0) {
        res.status = 500;
        log_line(who(req) + " " + req.method + " " + req.path + " -> 500 (cannot size file)");
        return;
    }
    const uint64_t size = static_cast<uint64_t>(end);
    res.set_header("Accept-Ranges", "bytes");
    std::string range = req.get_header_value("Range");
    uint64_t first = 0;
    uint64_t last = size == 0 ? 0 : size - 1;
    RangeKind kind = range.empty() ? RangeKind::Whole : parse_range(range, size, first, last);
    std::string line = who(req) + " " + req.method + " " + req.path +
                       (range.empty() ? "" : " " + printable(range.substr(0, 80)));
    if (kind == RangeKind::Unsatisfiable) {
        res.status = 416;
        res.set_header("Content-Range", "bytes */" + std::to_string(size));
        res.set_content(std::string(), "text/plain");
        log_line(line + " -> 416 (file " + std::to_string(size) + " bytes)");
        return;
    }
    uint64_t length = size;
    if (kind == RangeKind::Part) {
        length = last - first + 1;
        res.status = 206;
        res.set_header("Content-Range", "bytes " + std::to_string(first) + "-" +
                                            std::to_string(last) + "/" + std::to_string(size));
    } else {
        res.status = 200;
        first = 0;
    }
    log_line(line + " -> " + std::to_string(res.status) + " " + std::to_string(length) + " of " +
             std::to_string(size) + " bytes");
    if (length == 0) {
        res.set_content(std::string(), "application/octet-stream");
        return;
    }
    res.set_content_provider(static_cast<size_t>(length), "application/octet-stream",
                             [file, first, buffer = std::make_shared<std::vector<char>>(kChunk)](
                                 size_t offset, size_t wanted, httplib::DataSink& sink) {
                                 size_t n = wanted < kChunk ? wanted : kChunk;
                                 file->clear();
                                 file->seekg(static_cast<std::streamoff>(first + offset));
                                 file->read(buffer->data(), static_cast<std::streamsize>(n));
                                 std::streamsize got = file->gcount();
                                 if (got <= 0)
                                     return false; // the file shrank under us: end the connection
                                 return sink.write(buffer->data(), static_cast<size_t>(got));
                             });
}

} // namespace

void log_line(const std::string& text) {
    std::string line = local_time_text(now_seconds()) + " " + text + "\n";
    std::lock_guard<std::mutex> lock(g_log_mutex);
    std::fwrite(line.data(), 1, line.size(), stderr);
    std::fflush(stderr);
}

void install_routes(httplib::Server& http, Commands& commands, const Routes& routes) {
    http.set_payload_max_length(kMaxBody);

    // The body is read through a content reader: the library's own reading refuses
    // form bodies over 8 KiB, which is below what the protocol allows.
    http.Post(routes.endpoint_path, [&commands](const httplib::Request& req, httplib::Response& res,
                                                const httplib::ContentReader& reader) {
        std::string body;
        bool read = reader([&body](const char* data, size_t length) {
            if (body.size() + length > kMaxBody)
                return false;
            body.append(data, length);
            return true;
        });
        if (!read) {
            res.status = 413;
            res.set_header("Connection", "close");
            res.set_content(gbk(Msg::TooLarge), kTextType);
            log_line(who(req) + " " + req.method + " " + req.path + " -> 413 body too large");
            return;
        }
        Reply reply = commands.handle(body);
        res.status = reply.status;
        res.set_content(reply.body, kTextType);
        std::string line = who(req) + " cmd=" + printable(reply.command.substr(0, 16));
        if (!reply.account.empty())
            line += " u=" + printable(reply.account.substr(0, 64));
        log_line(line + " -> " + reply.result);
    });

    http.Get(".*", [routes](const httplib::Request& req, httplib::Response& res) {
        if (req.path == routes.endpoint_path) {
            // A GET of the endpoint answers with a small page, so a person or a
            // monitor can see the server is up.
            static const std::string page = "<html><body>" +
                                            utf8_to_gbk("Tarnix账号服务运行中").value_or("ok") +
                                            "</body></html>";
            res.set_content(page, "text/html; charset=gbk");
            log_line(who(req) + " " + req.method + " " + req.path + " -> 200");
        } else if (!routes.update_path.empty() && req.path == routes.update_path) {
            serve_file(routes.update_file, req, res);
        } else {
            res.status = 404;
            log_line(who(req) + " " + req.method + " " + printable(req.path.substr(0, 200)) +
                     " -> 404");
        }
    });

    http.set_error_handler(httplib::Server::HandlerWithResponse(
        [](const httplib::Request& req, httplib::Response& res) {
            if (!res.body.empty())
                return httplib::Server::HandlerResponse::Unhandled;
            if (res.status == 413) {
                res.set_content(gbk(Msg::TooLarge), kTextType);
                log_line(who(req) + " " + req.method + " " + req.path + " -> 413 body too large");
            } else if (res.status == 404) {
                res.set_content(utf8_to_gbk("找不到该页面").value_or("not found"), kTextType);
            } else if (res.status == 416) {
                // serve_file logs its own 416s; this one is a Range header the library refused.
                if (!res.has_header("Content-Range"))
                    log_line(who(req) + " " + req.method + " " + req.path + " -> 416 bad range");
            } else {
                res.set_content(gbk(Msg::BadRequest), kTextType);
                std::string what = req.method.empty()
                                       ? std::string("unreadable request")
                                       : req.method + " " + printable(req.path.substr(0, 200));
                log_line(who(req) + " " + what + " -> " + std::to_string(res.status));
            }
            return httplib::Server::HandlerResponse::Handled;
        }));

    http.set_exception_handler(
        [](const httplib::Request& req, httplib::Response& res, std::exception_ptr) {
            res.status = 500;
            res.set_content(gbk(Msg::ServerError), kTextType);
            log_line(who(req) + " " + req.method + " " + req.path + " -> 500 exception");
        });
}

} // namespace server
