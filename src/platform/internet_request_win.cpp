#include "platform/internet_request_win.h"

#include <cstring>

namespace platform {

namespace {
constexpr DWORD kHeaderBuffer = 5000;
} // namespace

void set_timeouts(HINTERNET handle, const InternetTimeouts& timeouts) {
    auto set = [handle](DWORD option, DWORD ms) {
        if (ms > 0) {
            InternetSetOptionA(handle, option, &ms, sizeof ms);
        }
    };
    set(INTERNET_OPTION_CONNECT_TIMEOUT, timeouts.connect_ms);
    set(INTERNET_OPTION_SEND_TIMEOUT, timeouts.send_ms);
    set(INTERNET_OPTION_RECEIVE_TIMEOUT, timeouts.receive_ms);
}

bool InternetConnection::open(const std::string& agent, const std::optional<std::string>& proxy,
                              const std::string& host, INTERNET_PORT port,
                              const InternetTimeouts& timeouts) {
    close();
    if (!proxy) {
        internet_.reset(
            InternetOpenA(agent.c_str(), INTERNET_OPEN_TYPE_PRECONFIG, nullptr, nullptr, 0));
    } else if (proxy->empty()) {
        internet_.reset(InternetOpenA(agent.c_str(), INTERNET_OPEN_TYPE_DIRECT, "", "", 0));
    } else {
        internet_.reset(
            InternetOpenA(agent.c_str(), INTERNET_OPEN_TYPE_PROXY, proxy->c_str(), "", 0));
    }
    if (internet_) {
        connection_.reset(InternetConnectA(internet_.get(), host.c_str(), port, "", "",
                                           INTERNET_SERVICE_HTTP, 0, 0));
    }
    if (!connection_) {
        internet_.reset();
        return false;
    }
    timeouts_ = timeouts;
    return true;
}

void InternetConnection::close() {
    connection_.reset();
    internet_.reset();
}

bool InternetRequest::open(const std::string& agent, const std::optional<std::string>& proxy,
                           const std::string& host, INTERNET_PORT port, const char* verb,
                           const std::string& path, DWORD flags, const InternetTimeouts& timeouts) {
    close();
    if (!own_.open(agent, proxy, host, port, timeouts) || !open(own_, verb, path, flags)) {
        close();
        return false;
    }
    return true;
}

bool InternetRequest::open(const InternetConnection& connection, const char* verb,
                           const std::string& path, DWORD flags) {
    close_request();
    {
        std::lock_guard<std::mutex> lock(connection.requests_lock());
        request_.reset(HttpOpenRequestA(connection.handle(), verb, path.c_str(), "HTTP/1.1",
                                        nullptr, nullptr, flags, 0));
    }
    if (!request_) {
        return false;
    }
    opened_on_ = &connection.requests_lock();
    set_timeouts(request_.get(), connection.timeouts());
    return true;
}

bool InternetRequest::send(const std::string& headers, const char* body, DWORD body_size) {
    if (!HttpSendRequestA(request_.get(), headers.empty() ? nullptr : headers.c_str(),
                          static_cast<DWORD>(headers.size()),
                          body_size ? const_cast<char*>(body) : nullptr, body_size)) {
        return false;
    }
    // A connection closed before any answer "succeeds" with status 0.
    const DWORD code = status();
    return code >= 100 && code <= 599;
}

DWORD InternetRequest::status() const {
    DWORD code = 0;
    DWORD size = sizeof code;
    if (!HttpQueryInfoA(request_.get(), HTTP_QUERY_STATUS_CODE | HTTP_QUERY_FLAG_NUMBER, &code,
                        &size, nullptr)) {
        return 0;
    }
    return code;
}

std::string InternetRequest::query_text(DWORD what) const {
    std::string buffer(kHeaderBuffer, ' ');
    DWORD length = kHeaderBuffer;
    if (!HttpQueryInfoA(request_.get(), what, buffer.data(), &length, nullptr)) {
        return "";
    }
    buffer.resize(strnlen(buffer.data(), length < kHeaderBuffer ? length : kHeaderBuffer));
    return buffer;
}

void InternetRequest::close_request() {
    if (request_) {
        std::lock_guard<std::mutex> lock(*opened_on_);
        request_.reset();
    }
    opened_on_ = nullptr;
}

void InternetRequest::close() {
    close_request();
    own_.close();
}

} // namespace platform
