#include "protocol/http_text.h"

namespace {

constexpr std::string_view kCrLf = "\r\n";

bool is_gbk_lead(unsigned char c) {
    return c >= 0x80;
}

char lower_ascii(char c) {
    return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

bool starts_with(std::string_view text, std::string_view prefix) {
    return text.substr(0, prefix.size()) == prefix;
}

// Where the host begins, by the same rules url_host uses to find it.
size_t host_start(std::string_view lower_url) {
    if (starts_with(lower_url, "https://")) {
        return 8;
    }
    size_t at = lower_url.find("http://");
    return at == std::string_view::npos ? 0 : at + 7;
}

} // namespace

HttpMethod effective_method(HttpMethod method) {
    return (method == kHttpPost || method == kHttpHead) ? method : kHttpGet;
}

const char* http_verb(HttpMethod method) {
    switch (effective_method(method)) {
    case kHttpPost:
        return "POST";
    case kHttpHead:
        return "HEAD";
    default:
        return "GET";
    }
}

std::string ascii_lower(std::string_view text) {
    std::string out(text);
    for (size_t i = 0; i < out.size(); ++i) {
        if (is_gbk_lead(static_cast<unsigned char>(out[i]))) {
            ++i; // the trail byte of a double-byte character may look like a letter
            continue;
        }
        out[i] = lower_ascii(out[i]);
    }
    return out;
}

size_t find_ignoring_case(std::string_view text, std::string_view needle, size_t from) {
    if (needle.size() > text.size()) {
        return std::string_view::npos;
    }
    for (size_t i = from; i + needle.size() <= text.size(); ++i) {
        size_t k = 0;
        while (k < needle.size() && lower_ascii(text[i + k]) == lower_ascii(needle[k])) {
            ++k;
        }
        if (k == needle.size()) {
            return i;
        }
    }
    return std::string_view::npos;
}

bool is_secure_url(std::string_view url) {
    return ascii_lower(url.substr(0, 8)) == "https://";
}

std::string text_between(std::string_view text, std::string_view left, std::string_view right) {
    size_t begin = text.find(left);
    if (begin == std::string_view::npos) {
        return "";
    }
    begin += left.size();
    size_t end = text.find(right, begin);
    if (end == std::string_view::npos) {
        return "";
    }
    return std::string(text.substr(begin, end - begin));
}

std::string trim_text(std::string_view text) {
    // Walk in GBK characters so that a full-width space is never matched across
    // the boundary of two other characters.
    size_t begin = std::string_view::npos;
    size_t end = 0;
    for (size_t i = 0; i < text.size();) {
        size_t width =
            (is_gbk_lead(static_cast<unsigned char>(text[i])) && i + 1 < text.size()) ? 2 : 1;
        std::string_view ch = text.substr(i, width);
        if (ch != " " && ch != "\xA1\xA1") {
            if (begin == std::string_view::npos) {
                begin = i;
            }
            end = i + width;
        }
        i += width;
    }
    if (begin == std::string_view::npos) {
        return "";
    }
    return std::string(text.substr(begin, end - begin));
}

std::string url_host(std::string_view url, bool keep_port) {
    std::string text = ascii_lower(url);
    if (text.empty() || text.back() != '/') {
        text += '/';
    }
    std::string host;
    if (starts_with(text, "https://")) {
        host = text_between(text, "https://", "/");
    } else {
        if (text.find("http://") == std::string::npos) {
            text.insert(0, "http://");
        }
        host = text_between(text, "http://", "/");
    }
    if (!keep_port) {
        size_t colon = host.find(':');
        if (colon != std::string::npos) {
            host.erase(colon);
        }
    }
    return host;
}

int url_port(std::string_view url) {
    std::string host = url_host(url, true);
    size_t colon = host.rfind(':');
    if (colon == std::string::npos) {
        return ascii_lower(url.substr(0, 5)) == "https" ? 443 : 80;
    }
    // The integer value of the leading digits; a run too long to be a port stops
    // growing instead of overflowing.
    int port = 0;
    for (size_t i = colon + 1; i < host.size() && host[i] >= '0' && host[i] <= '9'; ++i) {
        port = port * 10 + (host[i] - '0');
        if (port > 99999) {
            port = 99999;
            break;
        }
    }
    return port;
}

std::string url_path(std::string_view url) {
    std::string lower = ascii_lower(url);
    std::string host = url_host(url);
    // The host is looked for where the scheme ends: a host such as "t" or "tp"
    // also occurs inside "http://" itself.
    size_t at = find_ignoring_case(url, host, host_start(lower));
    if (at == std::string_view::npos) {
        at = 0;
    }
    size_t slash = url.find('/', at);
    if (slash == std::string_view::npos) {
        return "/";
    }
    return std::string(url.substr(slash));
}

std::string user_agent_for(std::string_view headers) {
    constexpr std::string_view kName = "User-Agent:";
    size_t at = find_ignoring_case(headers, kName);
    if (at == std::string_view::npos) {
        return std::string(kDefaultUserAgent);
    }
    std::string text(headers);
    text += kCrLf;
    std::string agent = trim_text(text_between(text, kName, kCrLf));
    if (agent.empty()) {
        // The name is written in another letter case: the value of that line.
        size_t begin = at + kName.size();
        agent = trim_text(std::string_view(text).substr(begin, text.find(kCrLf, begin) - begin));
    }
    return agent.empty() ? std::string(kDefaultUserAgent) : agent;
}

void append_default_headers(std::string& headers, std::string_view url,
                            const std::optional<std::string>& cookies) {
    if (headers.empty()) {
        headers = "Accept: */*";
    } else if (headers.find("Accept:") == std::string::npos) {
        headers += "\r\nAccept: */*";
    }
    if (headers.find("Referer:") == std::string::npos) {
        headers += "\r\nReferer: ";
        headers += url;
    }
    if (headers.find("Accept-Language:") == std::string::npos) {
        headers += "\r\nAccept-Language: zh-cn";
    }
    if (headers.find("Content-Type:") == std::string::npos) {
        headers += "\r\nContent-Type: application/x-www-form-urlencoded";
    }
    if (cookies && !cookies->empty()) {
        headers += kCrLf;
        if (cookies->find("Cookie:") == std::string::npos) {
            headers += "Cookie: ";
        }
        headers += *cookies;
    }
}

std::string normalize_set_cookie(std::string raw_headers) {
    constexpr std::string_view kName = "Set-Cookie";
    for (size_t at = find_ignoring_case(raw_headers, kName); at != std::string::npos;
         at = find_ignoring_case(raw_headers, kName, at + kName.size())) {
        raw_headers.replace(at, kName.size(), kName);
    }
    return raw_headers;
}

std::string extract_cookies(std::string_view raw_headers) {
    std::string cookies;
    size_t pos = 0;
    while (pos < raw_headers.size()) {
        size_t end = raw_headers.find(kCrLf, pos);
        std::string_view piece = raw_headers.substr(
            pos, end == std::string_view::npos ? std::string_view::npos : end - pos);
        pos = end == std::string_view::npos ? raw_headers.size() : end + kCrLf.size();
        if (piece.find("Set-Cookie") == std::string_view::npos) {
            continue;
        }
        std::string value;
        if (piece.find(';') != std::string_view::npos) {
            value = trim_text(text_between(piece, "Set-Cookie:", ";"));
        } else {
            std::string rest(piece);
            constexpr std::string_view kName = "Set-Cookie:";
            for (size_t at = find_ignoring_case(rest, kName); at != std::string::npos;
                 at = find_ignoring_case(rest, kName, at)) {
                rest.erase(at, kName.size());
            }
            value = trim_text(rest);
        }
        cookies += value;
        cookies += "; ";
    }
    if (cookies.size() >= 2) {
        cookies.erase(cookies.size() - 2);
    }
    return cookies;
}
