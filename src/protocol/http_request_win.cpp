#include "protocol/http_request_win.h"

#include "platform/internet_request_win.h"
#include "platform/secret_text.h"

namespace {
constexpr DWORD kReadPiece = 1024;

// The copy of the body made for sending: it may carry a password, so it is
// wiped on the way out, whichever way that is.
struct WipedOnExit {
    std::string text;
    ~WipedOnExit() {
        text.resize(text.capacity());
        wipe_bytes(text.data(), text.size());
    }
};
} // namespace

std::string http_request(const std::string& url, HttpMethod method, const std::string& body_text,
                         const std::optional<std::string>& cookies, std::string* received_cookies,
                         std::string* headers, std::string* response_headers, bool refuse_redirects,
                         std::string* byte_body, const std::string& proxy) {
    std::string no_headers;
    std::string& header_text = headers != nullptr ? *headers : no_headers;
    WipedOnExit no_body;
    std::string& send_body = byte_body != nullptr ? *byte_body : no_body.text;

    method = effective_method(method);
    const bool secure = is_secure_url(url);
    const std::string agent = user_agent_for(header_text);

    std::string body;
    std::string raw_headers;
    {
        // INTERNET_PORT is 16 bits: a larger number would silently wrap to another port.
        const int port = url_port(url);
        if (port > 65535) {
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
        platform::InternetRequest request;
        if (!request.open(agent, proxy.empty() || secure ? proxy : "http=" + proxy, url_host(url),
                          static_cast<INTERNET_PORT>(port), http_verb(method), url_path(url), flags,
                          {kHttpConnectTimeoutMs, kHttpSendTimeoutMs, kHttpReceiveTimeoutMs})) {
            return "";
        }

        append_default_headers(header_text, url, cookies);

        if (method != kHttpGet && send_body.empty()) {
            send_body = body_text;
        }
        const bool get = method == kHttpGet;
        if (!request.send(header_text, get ? nullptr : send_body.data(),
                          get ? 0 : static_cast<DWORD>(send_body.size()))) {
            // No answer: nothing to read, no header block, no cookies.
            if (received_cookies != nullptr) {
                received_cookies->clear();
            }
            if (response_headers != nullptr) {
                response_headers->clear();
            }
            return "";
        }

        char piece[kReadPiece];
        for (;;) {
            DWORD count = 0;
            BOOL ok = InternetReadFile(request.handle(), piece, kReadPiece, &count);
            if (count > kReadPiece) {
                count = 0;
            }
            body.append(piece, count);
            if (!ok || count == 0) {
                break;
            }
        }

        // A header block that does not fit is not read at all.
        raw_headers = normalize_set_cookie(request.query_text(HTTP_QUERY_RAW_HEADERS_CRLF));
    } // request, connection and Internet handle are closed here, in that order

    if (received_cookies != nullptr) {
        *received_cookies = extract_cookies(raw_headers);
    }
    if (response_headers != nullptr) {
        *response_headers = std::move(raw_headers);
    }
    return body;
}
