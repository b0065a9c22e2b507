#pragma once

#include <optional>
#include <string>

#include "protocol/http_text.h"

// Time-outs set on every request handle (WinInet under Wine ignores those of the
// Internet handle). Receive covers the wait for the answer and for each further
// piece of the body, so a silent server costs at most a send plus a receive
// time-out. The connect time-out is honoured on Windows; Wine never applies it,
// so there a host that drops connection attempts blocks for the system's own
// connect limit (about two minutes), while a refused port or an unknown name
// fails at once.
inline constexpr unsigned long kHttpConnectTimeoutMs = 5000;
inline constexpr unsigned long kHttpSendTimeoutMs = 8000;
inline constexpr unsigned long kHttpReceiveTimeoutMs = 8000;

// One synchronous HTTP/1.1 exchange through WinInet; returns the response body
// ("" when nothing was received; a failed exchange also gives no header block
// and no cookies). Every handle it opens is closed before it
// returns.
//   url               "http://" or "https://", host, optional ":port", path and query
//   method            out-of-range values send GET
//   body_text         sent with POST and HEAD when `byte_body` is empty
//   cookies           given (even as ""): the platform's cookie handling is off for
//                     this request and a non-empty text is sent as the Cookie line;
//                     left out: cookies the server set before are sent automatically
//   received_cookies  written: name=value pairs the response sets, joined by "; "
//   headers           read and written: extra header lines joined by "\r\n"; the
//                     default lines are appended, so afterwards it holds the block
//                     that was sent (unchanged when no request could be opened)
//   response_headers  written: the raw response header block ("" when it did not
//                     fit in 5000 bytes)
//   refuse_redirects  redirects are followed unless set
//   byte_body         read and written: when empty and the method is not GET, it
//                     receives the bytes of `body_text`, which are then sent
//   proxy             "host:port" of an HTTP proxy; "" connects directly
// Null pointers stand for fresh empty values whose contents are discarded.
std::string http_request(const std::string& url, HttpMethod method = kHttpGet,
                         const std::string& body_text = "",
                         const std::optional<std::string>& cookies = std::nullopt,
                         std::string* received_cookies = nullptr, std::string* headers = nullptr,
                         std::string* response_headers = nullptr, bool refuse_redirects = false,
                         std::string* byte_body = nullptr, const std::string& proxy = "");
