#include "support/responder_win.h"

#include <algorithm>
#include <cstdlib>

// The blob side of the tests' HTTP server: ranges, revisions, the signature
// and the faults of a download.
namespace testsupport {
namespace {

// "bytes=a-b" or "bytes=a-" within a blob of `size`; false when not satisfiable here.
bool parse_range(const std::string& v, int64_t size, int64_t& first, int64_t& last) {
    if (v.compare(0, 6, "bytes=") != 0) {
        return false;
    }
    char* end = nullptr;
    first = std::strtoll(v.c_str() + 6, &end, 10);
    if (!end || *end != '-') {
        return false;
    }
    ++end;
    last = *end ? std::strtoll(end, nullptr, 10) : size - 1;
    last = std::min(last, size - 1);
    return first >= 0 && first <= last;
}

} // namespace

bool is_signature_request(const ReceivedRequest& r) {
    const std::string path = r.path();
    return path.size() >= 4 && path.compare(path.size() - 4, 4, ".sig") == 0;
}

std::vector<std::string> Responder::file_headers(std::string_view name) const {
    std::vector<std::string> values;
    for (const ReceivedRequest& r : requests()) {
        if (!is_signature_request(r)) {
            values.push_back(r.header(name));
        }
    }
    return values;
}

int Responder::file_requests() const {
    return static_cast<int>(file_headers("Range").size());
}

std::vector<std::string> Responder::ranges_asked() const {
    return file_headers("Range");
}

std::vector<std::string> Responder::if_ranges_asked() const {
    return file_headers("If-Range");
}

int Responder::signature_requests() const {
    return static_cast<int>(request_count()) - file_requests();
}

ScriptedAnswer Responder::blob_answer(const ReceivedRequest& request, int index) {
    const BlobOptions& o = blob_options_;
    ScriptedAnswer a;
    a.chunk_delay_ms = o.chunk_delay_ms;
    if (is_signature_request(request)) {
        a.bytes = o.signature ? http_response(200, *o.signature) : http_response(404, "");
        return a;
    }
    if (o.error_status != 0) {
        a.bytes = http_response(o.error_status,
                                "<html><head><title>Not Found</title></head><body><h1>" +
                                    std::to_string(o.error_status) + "</h1></body></html>",
                                "Content-Type: text/html\r\n");
        return a;
    }
    // The revision this request sees, and how answers name it.
    int revision = 0;
    if (o.revise_at >= 0 && index >= o.revise_at) {
        revision = o.keep_revising ? (index - o.revise_at + 1) % 2 : 1;
    }
    const std::string& blob = revision == 0 ? *blob_ : o.revised_blob;
    std::string headers = "Content-Type: application/octet-stream\r\n";
    std::string validator;
    if (o.validator == BlobOptions::Validator::etag) {
        validator = "\"rev-" + std::to_string(revision) + "\"";
        headers += "ETag: " + validator + "\r\n";
    } else if (o.validator == BlobOptions::Validator::last_modified) {
        validator =
            revision == 0 ? "Tue, 01 Dec 2026 10:00:00 GMT" : "Wed, 02 Dec 2026 10:00:00 GMT";
        headers += "Last-Modified: " + validator + "\r\n";
    }
    const int64_t size = static_cast<int64_t>(blob.size());
    int64_t first = 0;
    int64_t last = size - 1;
    const std::string range = request.header("Range");
    const std::string if_range = request.header("If-Range");
    bool partial = o.ranges && !range.empty() && parse_range(range, size, first, last);
    if (partial && o.honour_if_range && !if_range.empty() && if_range != validator) {
        partial = false; // another revision: the whole current file
    }
    if (!partial) {
        first = 0;
        last = size - 1;
    }
    if (partial) {
        headers += "Content-Range: bytes " + std::to_string(first) + "-" + std::to_string(last) +
                   "/" + std::to_string(size) + "\r\n";
    }
    if (o.ranges) {
        headers += "Accept-Ranges: bytes\r\n";
    }
    const std::string body = blob.substr(static_cast<size_t>(first),
                                         static_cast<size_t>(size > 0 ? last - first + 1 : 0));
    a.bytes = http_response(partial ? 206 : 200, body, headers);
    const size_t head_size = a.bytes.size() - body.size();
    std::lock_guard<std::mutex> lock(mutex_);
    if (o.drop_at >= first && o.drop_at <= last &&
        (o.drop_times < 0 || drops_done_ < o.drop_times)) {
        ++drops_done_;
        a.drop_after = head_size + static_cast<size_t>(o.drop_at - first); // right before it
        a.reset = true;
    } else if (o.short_body >= 0 && static_cast<size_t>(o.short_body) < body.size()) {
        a.drop_after = head_size + static_cast<size_t>(o.short_body);
    }
    return a;
}

// A port that was free a moment ago and has no listener now.
int refused_port() {
    WSADATA wsa;
    WSAStartup(MAKEWORD(2, 2), &wsa);
    SOCKET s = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(s, reinterpret_cast<sockaddr*>(&addr), sizeof(addr));
    int len = sizeof(addr);
    getsockname(s, reinterpret_cast<sockaddr*>(&addr), &len);
    closesocket(s);
    WSACleanup();
    return ntohs(addr.sin_port);
}

std::string make_blob(size_t size, uint32_t seed) {
    std::string out(size, '\0');
    uint32_t x = seed * 2654435761u + 1;
    for (size_t i = 0; i < size; ++i) {
        x ^= x << 13;
        x ^= x >> 17;
        x ^= x << 5;
        out[i] = static_cast<char>(x & 0xFF);
    }
    return out;
}

} // namespace testsupport
