#include "protocol/http_request_win.h"

#include <windows.h>
#include <wininet.h>

#include <cstring>

namespace {

// Owns one WinInet handle. Declared in the order of opening, so leaving a scope
// closes request, connection and Internet handle in that order on every path.
class InternetHandle {
public:
    explicit InternetHandle(HINTERNET handle) : handle_(handle) {}
    ~InternetHandle() { reset(); }
    InternetHandle(const InternetHandle&) = delete;
    InternetHandle& operator=(const InternetHandle&) = delete;

    HINTERNET get() const { return handle_; }
    explicit operator bool() const { return handle_ != nullptr; }
    void reset() {
        if (handle_ != nullptr) {
            InternetCloseHandle(handle_);
            handle_ = nullptr;
        }
    }

private:
    HINTERNET handle_;
};

constexpr DWORD kReadPiece = 1024;
constexpr DWORD kRawHeaderBuffer = 5000;

void set_timeout(HINTERNET handle, DWORD option, DWORD ms) {
    InternetSetOptionA(handle, option, &ms, sizeof ms);
}

} // namespace

std::string http_request(const std::string& url, HttpMethod method, const std::string& body_text,
                         const std::optional<std::string>& cookies, std::string* received_cookies,
                         std::string* headers, std::string* response_headers, bool refuse_redirects,
                         std::string* byte_body, const std::string& proxy) {
    std::string no_headers;
    std::string& header_text = headers != nullptr ? *headers : no_headers;
    std::string no_body;
    std::string& send_body = byte_body != nullptr ? *byte_body : no_body;

    method = effective_method(method);
    const bool secure = is_secure_url(url);
    const std::string agent = user_agent_for(header_text);

    std::string body;
    std::string raw_headers;
    {
        InternetHandle internet(
            proxy.empty() ? InternetOpenA(agent.c_str(), INTERNET_OPEN_TYPE_DIRECT, "", "", 0)
                          : InternetOpenA(agent.c_str(), INTERNET_OPEN_TYPE_PROXY,
                                          (secure ? proxy : "http=" + proxy).c_str(), "", 0));
        if (!internet) {
            return "";
        }
        // INTERNET_PORT is 16 bits: a larger number would silently wrap to another port.
        const int port = url_port(url);
        if (port > 65535) {
            return "";
        }
        InternetHandle connection(InternetConnectA(internet.get(), url_host(url).c_str(),
                                                   static_cast<INTERNET_PORT>(port), "", "",
                                                   INTERNET_SERVICE_HTTP, 0, 0));
        if (!connection) {
            return "";
        }
        DWORD flags = INTERNET_FLAG_RELOAD | INTERNET_FLAG_NEED_FILE;
        if (cookies) {
            flags |= INTERNET_FLAG_NO_COOKIES;
        }
        if (refuse_redirects) {
            flags |= INTERNET_FLAG_NO_AUTO_REDIRECT;
        }
        flags |= secure ? INTERNET_FLAG_SECURE : INTERNET_FLAG_IGNORE_REDIRECT_TO_HTTPS;
        InternetHandle request(HttpOpenRequestA(connection.get(), http_verb(method),
                                                url_path(url).c_str(), "HTTP/1.1", nullptr, nullptr,
                                                flags, 0));
        if (!request) {
            return "";
        }
        set_timeout(request.get(), INTERNET_OPTION_CONNECT_TIMEOUT, kHttpConnectTimeoutMs);
        set_timeout(request.get(), INTERNET_OPTION_SEND_TIMEOUT, kHttpSendTimeoutMs);
        set_timeout(request.get(), INTERNET_OPTION_RECEIVE_TIMEOUT, kHttpReceiveTimeoutMs);

        append_default_headers(header_text, url, cookies);

        // The outcome of the send is not checked: a failed exchange reads as an
        // empty (or shortened) body.
        if (method == kHttpGet) {
            HttpSendRequestA(request.get(), header_text.c_str(),
                             static_cast<DWORD>(header_text.size()), nullptr, 0);
        } else {
            if (send_body.empty()) {
                send_body = body_text;
            }
            HttpSendRequestA(request.get(), header_text.c_str(),
                             static_cast<DWORD>(header_text.size()),
                             send_body.empty() ? nullptr : send_body.data(),
                             static_cast<DWORD>(send_body.size()));
        }

        char piece[kReadPiece];
        for (;;) {
            DWORD count = 0;
            BOOL ok = InternetReadFile(request.get(), piece, kReadPiece, &count);
            if (count > kReadPiece) {
                count = 0;
            }
            body.append(piece, count);
            if (!ok || count == 0) {
                break;
            }
        }

        // A header block that does not fit is not read at all.
        std::string buffer(kRawHeaderBuffer, ' ');
        DWORD length = kRawHeaderBuffer;
        if (HttpQueryInfoA(request.get(), HTTP_QUERY_RAW_HEADERS_CRLF, buffer.data(), &length,
                           nullptr)) {
            buffer.resize(
                strnlen(buffer.data(), length < kRawHeaderBuffer ? length : kRawHeaderBuffer));
            raw_headers = normalize_set_cookie(std::move(buffer));
        }
    } // request, connection and Internet handle are closed here, in that order

    if (received_cookies != nullptr) {
        *received_cookies = extract_cookies(raw_headers);
    }
    if (response_headers != nullptr) {
        *response_headers = std::move(raw_headers);
    }
    return body;
}
