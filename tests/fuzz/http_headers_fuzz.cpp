// Header and cookie parsing on arbitrary response header blocks and caller
// header texts.
#include <cstdint>
#include <cstdlib>
#include <optional>
#include <string>

#include "protocol/http_text.h"

namespace {
void check(bool ok) {
    if (!ok) {
        std::abort();
    }
}
} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string text(reinterpret_cast<const char*>(data), size);

    std::string normal = normalize_set_cookie(text);
    check(normal.size() == text.size());
    for (size_t at = find_ignoring_case(normal, "set-cookie"); at != std::string::npos;
         at = find_ignoring_case(normal, "set-cookie", at + 1)) {
        check(normal.compare(at, 10, "Set-Cookie") == 0);
    }

    std::string cookies = extract_cookies(normal);
    // Cookies come only from lines that name them.
    check(normal.find("Set-Cookie") != std::string::npos || cookies.empty());
    check(cookies.size() <= normal.size());

    // The agent goes into a header line of its own: never a line break in it.
    std::string agent = user_agent_for(text);
    check(!agent.empty());
    check(agent.find("\r\n") == std::string::npos);

    std::string headers = text;
    std::optional<std::string> cookie_arg;
    if (size % 2 == 1) {
        cookie_arg = text.substr(0, size / 3);
    }
    append_default_headers(headers, "http://h/x", cookie_arg);
    check(headers.compare(0, text.size(), text) == 0);
    check(headers.find("Accept:") != std::string::npos);
    check(headers.find("Referer:") != std::string::npos);
    check(headers.find("Accept-Language:") != std::string::npos);
    check(headers.find("Content-Type:") != std::string::npos);
    return 0;
}
