#include "support/responder_win.h"

#include "platform/ui_thread_win.h"

#include <ws2tcpip.h>

#include <algorithm>
#include <cstdlib>

namespace testsupport {

namespace {

constexpr unsigned kIoTimeoutMs = 15000; // a stuck client never holds the thread longer
constexpr unsigned kPollMs = 20;

char lower(char c) {
    return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

bool same_ignoring_case(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) {
        return false;
    }
    for (size_t i = 0; i < a.size(); ++i) {
        if (lower(a[i]) != lower(b[i])) {
            return false;
        }
    }
    return true;
}

std::string trim(std::string_view s) {
    size_t b = s.find_first_not_of(" \t");
    if (b == std::string_view::npos) {
        return "";
    }
    size_t e = s.find_last_not_of(" \t");
    return std::string(s.substr(b, e - b + 1));
}

// Waits until `s` is readable (or writable) or the time is up; false on time-out
// or when the responder is stopping.
bool wait_socket(SOCKET s, bool for_write, unsigned timeout_ms, const std::atomic<bool>& stopping) {
    for (unsigned waited = 0; waited < timeout_ms; waited += kPollMs) {
        if (stopping.load()) {
            return false;
        }
        fd_set set;
        FD_ZERO(&set);
        FD_SET(s, &set);
        timeval tv{0, static_cast<long>(kPollMs * 1000)};
        int n = for_write ? select(0, nullptr, &set, nullptr, &tv)
                          : select(0, &set, nullptr, nullptr, &tv);
        if (n > 0) {
            return true;
        }
        if (n < 0) {
            return false;
        }
    }
    return false;
}

bool send_all(SOCKET s, const char* data, size_t size, unsigned chunk_delay_ms,
              const std::atomic<bool>& stopping) {
    while (size > 0) {
        if (!wait_socket(s, true, kIoTimeoutMs, stopping)) {
            return false;
        }
        int piece = size > 65536 ? 65536 : static_cast<int>(size);
        int sent = send(s, data, piece, 0);
        if (sent <= 0) {
            return false;
        }
        data += sent;
        size -= static_cast<size_t>(sent);
        if (chunk_delay_ms && size > 0) {
            Sleep(chunk_delay_ms);
        }
    }
    return true;
}

void close_socket(SOCKET s, bool reset) {
    if (reset) {
        linger hard{1, 0};
        setsockopt(s, SOL_SOCKET, SO_LINGER, reinterpret_cast<const char*>(&hard), sizeof hard);
    } else {
        shutdown(s, SD_SEND);
    }
    closesocket(s);
}

const char* reason(int status) {
    switch (status) {
    case 200:
        return "OK";
    case 301:
        return "Moved Permanently";
    case 302:
        return "Found";
    case 206:
        return "Partial Content";
    case 404:
        return "Not Found";
    case 500:
        return "Internal Server Error";
    default:
        return "Status";
    }
}

} // namespace

std::string ReceivedRequest::request_line() const {
    return head.substr(0, head.find("\r\n"));
}

std::string ReceivedRequest::path() const {
    const std::string line = request_line();
    const size_t start = line.find(' ') + 1;
    return line.substr(start, line.rfind(' ') - start);
}

std::vector<std::string> ReceivedRequest::header_lines() const {
    std::vector<std::string> lines;
    size_t pos = head.find("\r\n");
    while (pos != std::string::npos) {
        pos += 2;
        size_t end = head.find("\r\n", pos);
        if (end == std::string::npos || end == pos) {
            break;
        }
        lines.push_back(head.substr(pos, end - pos));
        pos = end;
    }
    return lines;
}

std::string ReceivedRequest::header(std::string_view name) const {
    for (const std::string& line : header_lines()) {
        size_t colon = line.find(':');
        if (colon != std::string::npos &&
            same_ignoring_case(std::string_view(line).substr(0, colon), name)) {
            return trim(std::string_view(line).substr(colon + 1));
        }
    }
    return "";
}

std::string ReceivedRequest::own_cookies() const {
    const std::string all = header("Cookie");
    std::string own;
    for (size_t at = 0; at < all.size();) {
        size_t end = all.find(';', at);
        if (end == std::string::npos)
            end = all.size();
        size_t first = all.find_first_not_of(' ', at);
        if (first < end && all.compare(first, 10, "tx_device_") != 0 &&
            all.compare(first, 11, "tx_install=") != 0)
            own += (own.empty() ? "" : "; ") + all.substr(first, end - first);
        at = end + 1;
    }
    return own;
}

bool ReceivedRequest::has_header(std::string_view name) const {
    for (const std::string& line : header_lines()) {
        size_t colon = line.find(':');
        if (colon != std::string::npos &&
            same_ignoring_case(std::string_view(line).substr(0, colon), name)) {
            return true;
        }
    }
    return false;
}

std::vector<std::pair<std::string, std::string>> ReceivedRequest::form() const {
    std::vector<std::pair<std::string, std::string>> fields;
    size_t pos = 0;
    while (pos <= body.size() && !body.empty()) {
        size_t end = body.find('&', pos);
        std::string part =
            body.substr(pos, end == std::string::npos ? std::string::npos : end - pos);
        size_t eq = part.find('=');
        if (!part.empty()) {
            fields.emplace_back(part.substr(0, eq),
                                eq == std::string::npos ? "" : part.substr(eq + 1));
        }
        if (end == std::string::npos) {
            break;
        }
        pos = end + 1;
    }
    return fields;
}

std::optional<std::string> ReceivedRequest::field(std::string_view name) const {
    for (auto& [key, value] : form()) {
        if (key == name) {
            return value;
        }
    }
    return std::nullopt;
}

std::string http_response(int status, std::string_view body, std::string_view extra_headers) {
    std::string out = "HTTP/1.1 " + std::to_string(status) + " " + reason(status) + "\r\n";
    out += "Content-Length: " + std::to_string(body.size()) + "\r\n";
    out += "Connection: close\r\n";
    out += extra_headers;
    out += "\r\n";
    out += body;
    return out;
}

ScriptedAnswer answer_with_body(std::string_view body) {
    ScriptedAnswer answer;
    answer.bytes = http_response(200, body);
    return answer;
}

Responder::Responder() {
    WSADATA data;
    if (WSAStartup(MAKEWORD(2, 2), &data) != 0) {
        return;
    }
    winsock_ = true;
    listener_ = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    if (listener_ == INVALID_SOCKET) {
        return;
    }
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = 0;
    int size = sizeof address;
    if (bind(listener_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        listen(listener_, 64) != 0 ||
        getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &size) != 0) {
        closesocket(listener_);
        listener_ = INVALID_SOCKET;
        return;
    }
    port_ = ntohs(address.sin_port);
    thread_ = std::thread([this] { run(); });
}

Responder::Responder(std::string blob, BlobOptions options) : Responder() {
    std::lock_guard<std::mutex> lock(mutex_);
    blob_ = std::move(blob);
    blob_options_ = std::move(options);
}

Responder::~Responder() {
    stop();
    if (winsock_) {
        WSACleanup();
    }
}

std::string Responder::url() const {
    return url_for("/tx-client.asp");
}

std::string Responder::url_for(std::string_view path) const {
    return "http://127.0.0.1:" + std::to_string(port_) + std::string(path);
}

void Responder::script(ScriptedAnswer answer) {
    std::lock_guard<std::mutex> lock(mutex_);
    script_.push_back(std::move(answer));
}

void Responder::script_bytes(std::string bytes) {
    ScriptedAnswer answer;
    answer.bytes = std::move(bytes);
    script(std::move(answer));
}

void Responder::answer_with_body(std::string_view body) {
    script(testsupport::answer_with_body(body));
}

void Responder::set_default(std::function<ScriptedAnswer(const ReceivedRequest&)> handler) {
    std::lock_guard<std::mutex> lock(mutex_);
    default_ = std::move(handler);
}

void Responder::post_on_request(std::string body, void (*task)()) {
    std::lock_guard<std::mutex> lock(mutex_);
    post_body_ = std::move(body);
    post_task_ = task;
}

std::vector<ReceivedRequest> Responder::requests() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return requests_;
}

size_t Responder::request_count() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return requests_.size();
}

bool Responder::wait_for_requests(size_t count, unsigned timeout_ms) const {
    for (unsigned waited = 0;; waited += kPollMs) {
        if (request_count() >= count) {
            return true;
        }
        if (waited >= timeout_ms) {
            return false;
        }
        Sleep(kPollMs);
    }
}

void Responder::stop() {
    stopping_ = true;
    if (thread_.joinable()) {
        thread_.join();
    }
    if (listener_ != INVALID_SOCKET) {
        closesocket(listener_);
        listener_ = INVALID_SOCKET;
    }
    // No connection comes now. End those still served (their waits see the
    // stop too) and wait for every thread: none may outlive the server.
    std::vector<std::thread> connections;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        for (SOCKET s : open_) {
            shutdown(s, SD_BOTH);
        }
        connections.swap(connections_);
    }
    for (std::thread& t : connections) {
        t.join();
    }
    std::lock_guard<std::mutex> lock(mutex_);
    for (SOCKET s : held_) {
        closesocket(s);
    }
    held_.clear();
}

void Responder::run() {
    while (!stopping_.load()) {
        if (!wait_socket(listener_, false, kPollMs * 5, stopping_)) {
            continue;
        }
        SOCKET client = accept(listener_, nullptr, nullptr);
        if (client == INVALID_SOCKET) {
            continue;
        }
        std::lock_guard<std::mutex> lock(mutex_);
        open_.push_back(client);
        connections_.emplace_back([this, client] { serve(client); });
    }
}

bool Responder::read_request(SOCKET client, ReceivedRequest& request) {
    char buffer[8192];
    size_t head_end = std::string::npos;
    size_t wanted = 0;
    for (;;) {
        if (head_end != std::string::npos && request.raw.size() >= wanted) {
            break;
        }
        if (!wait_socket(client, false, kIoTimeoutMs, stopping_)) {
            break;
        }
        int n = recv(client, buffer, sizeof buffer, 0);
        if (n <= 0) {
            break;
        }
        request.raw.append(buffer, static_cast<size_t>(n));
        if (head_end == std::string::npos) {
            head_end = request.raw.find("\r\n\r\n");
            if (head_end != std::string::npos) {
                head_end += 4;
                request.head = request.raw.substr(0, head_end);
                wanted =
                    head_end + std::strtoul(request.header("Content-Length").c_str(), nullptr, 10);
            }
        }
    }
    if (head_end == std::string::npos) {
        request.head = request.raw;
    } else {
        request.body = request.raw.substr(head_end);
    }
    return !request.raw.empty();
}

ScriptedAnswer Responder::next_answer(const ReceivedRequest& request, int file_index) {
    std::function<ScriptedAnswer(const ReceivedRequest&)> handler;
    bool blob = false;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (!script_.empty()) {
            ScriptedAnswer answer = std::move(script_.front());
            script_.pop_front();
            return answer;
        }
        handler = default_;
        blob = blob_.has_value();
    }
    if (blob) {
        return blob_answer(request, file_index);
    }
    if (handler) {
        return handler(request);
    }
    ScriptedAnswer answer;
    answer.bytes = http_response(500, "no scripted answer");
    return answer;
}

void Responder::serve(SOCKET client) {
    ReceivedRequest request;
    const bool read = read_request(client, request);
    void (*post)() = nullptr;
    int file_index = 0;
    if (read) {
        std::lock_guard<std::mutex> lock(mutex_);
        for (const ReceivedRequest& r : requests_) {
            file_index += is_signature_request(r) ? 0 : 1;
        }
        requests_.push_back(request);
        if (post_task_ && request.body == post_body_) {
            post = post_task_;
        }
    }
    if (post) {
        ui::post_to_ui_thread(post);
    }
    ScriptedAnswer answer;
    if (read) {
        answer = next_answer(request, file_index);
        for (unsigned waited = 0; waited < answer.delay_ms && !stopping_.load(); waited += 10) {
            Sleep(10);
        }
    }
    const bool answered = read && !answer.never_answer;
    if (answered) {
        std::string bytes = answer.compute ? answer.compute(request) : answer.bytes;
        size_t count = bytes.size();
        if (answer.drop_after && *answer.drop_after < count) {
            count = *answer.drop_after;
        }
        send_all(client, bytes.data(), count, answer.chunk_delay_ms, stopping_);
    }
    // Off the list before the socket is freed: the number may be reused.
    std::lock_guard<std::mutex> lock(mutex_);
    open_.erase(std::remove(open_.begin(), open_.end(), client), open_.end());
    if (answered) {
        close_socket(client, answer.drop_after.has_value() && answer.reset);
    } else if (read) {
        held_.push_back(client);
    } else {
        closesocket(client); // opened and closed without a byte: nothing to answer
    }
}

} // namespace testsupport
