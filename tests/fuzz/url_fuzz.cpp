// URL routines on arbitrary bytes: never crash, and the parts they return stay
// consistent with each other and with the URL.
#include <cstdint>
#include <cstdlib>
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
    std::string url(reinterpret_cast<const char*>(data), size);

    std::string host = url_host(url);
    std::string host_port = url_host(url, true);
    check(host.find('/') == std::string::npos);
    check(host.find(':') == std::string::npos);
    check(host_port.compare(0, host.size(), host) == 0);
    check(ascii_lower(host) == host);

    int port = url_port(url);
    check(port >= 0 && port <= 99999);

    std::string path = url_path(url);
    check(!path.empty() && path[0] == '/');
    // The path is the URL's own tail, letter case kept (or "/" when none).
    check(path == "/" || (path.size() <= url.size() &&
                          url.compare(url.size() - path.size(), path.size(), path) == 0));

    size_t half = size / 2;
    std::string left = url.substr(0, half % 3);
    std::string right = url.substr(half, half % 2 + 1);
    std::string between = text_between(url, left, right);
    check(between.empty() || url.find(between) != std::string::npos);

    std::string trimmed = trim_text(url);
    check(trimmed.size() <= url.size() && url.find(trimmed) != std::string::npos);
    check(trim_text(trimmed) == trimmed);
    return 0;
}
