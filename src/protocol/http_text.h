#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

// The byte-string half of the HTTP client: URL parts, the request header block,
// the user agent and the cookies of a response. Texts are GBK byte strings; every
// search here is exact-case unless its name says otherwise.

// Request method. Any value other than these three counts as GET.
enum HttpMethod : int32_t { kHttpGet = 0, kHttpPost = 1, kHttpHead = 2 };

// The method actually used: out-of-range values become kHttpGet.
HttpMethod effective_method(HttpMethod method);
// "GET", "POST" or "HEAD".
const char* http_verb(HttpMethod method);

// Sent when the caller's header text names no agent of its own.
inline constexpr std::string_view kDefaultUserAgent =
    "Mozilla/4.0 (compatible; MSIE 9.0; Windows NT 6.1)";

// ASCII letters folded to lower case; other bytes (both bytes of a Chinese
// character included) unchanged.
std::string ascii_lower(std::string_view text);
// Position of `needle` in `text` ignoring ASCII letter case, or npos.
size_t find_ignoring_case(std::string_view text, std::string_view needle, size_t from = 0);

// True when the first 8 characters of the URL, folded to lower case, are "https://".
bool is_secure_url(std::string_view url);

// The text between the first `left` and the first `right` after it; "" when
// either is missing.
std::string text_between(std::string_view text, std::string_view left, std::string_view right);

// Removes leading and trailing ASCII spaces and GBK full-width spaces (A1 A1).
std::string trim_text(std::string_view text);

// The host of a URL in lower case, with ":port" only when `keep_port` is set.
std::string url_host(std::string_view url, bool keep_port = false);
// The port: the explicit one, else 443 for "https" URLs and 80 for the rest. An
// explicit port too large to be one (over 65535) comes back as it is written,
// capped at 99999, so that callers can refuse it.
int url_port(std::string_view url);
// The object path with query and fragment, letter case kept; "/" when the URL
// has nothing after the host.
std::string url_path(std::string_view url);

// The agent for the Internet handle: the value of a "User-Agent:" line of the
// header text (name in any letter case), or the default agent.
std::string user_agent_for(std::string_view headers);

// Appends the default request header lines the caller's text lacks ("Accept",
// "Referer", "Accept-Language", "Content-Type", each an exact-case test), then the
// cookie line when a non-empty cookie text is given. From "" this gives exactly
// the four default lines joined by "\r\n", without a final line break.
void append_default_headers(std::string& headers, std::string_view url,
                            const std::optional<std::string>& cookies);

// Every "Set-Cookie" in any letter case rewritten as "Set-Cookie".
std::string normalize_set_cookie(std::string raw_headers);

// The name=value pairs that the "Set-Cookie" lines of a raw header block set,
// joined by "; " (attributes dropped); "" when there are none.
std::string extract_cookies(std::string_view raw_headers);
