#include "handshake/version_order.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

// Two texts, split at the first newline. The order must be one: a text equals
// itself, swapping the two reverses the answer, and leading zeros or a ".0"
// added change nothing; only well-formed texts have an order.
extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string in(reinterpret_cast<const char*>(data), size);
    const size_t nl = in.find('\n');
    const std::string a = in.substr(0, nl);
    const std::string b = nl == std::string::npos ? std::string() : in.substr(nl + 1);
    const auto ab = version_order::compare(a, b);
    const auto ba = version_order::compare(b, a);
    const bool formed = version_order::well_formed(a) && version_order::well_formed(b);
    if (ab.has_value() != formed || ba.has_value() != formed) {
        std::abort();
    }
    if (!formed) {
        return 0;
    }
    if (*ab != -*ba || version_order::compare(a, a) != 0) {
        std::abort();
    }
    if (version_order::compare("00" + a + ".0", b) != ab) {
        std::abort();
    }
    return 0;
}
