// url_encode round trip: decoding its output gives the input bytes back, and the
// output uses only the kept characters and upper-case escapes.
#include <cstdint>
#include <cstdlib>
#include <string>

#include "protocol/request.h"

namespace {
void check(bool ok) {
    if (!ok) {
        std::abort();
    }
}

bool kept(char c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' ||
           c == '.';
}

int hex_value(char c) {
    if (c >= '0' && c <= '9') {
        return c - '0';
    }
    if (c >= 'A' && c <= 'F') {
        return c - 'A' + 10;
    }
    std::abort(); // lower-case or other digits are not produced
}
} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string text(reinterpret_cast<const char*>(data), size);
    std::string encoded = url_encode(text);
    std::string decoded;
    for (size_t i = 0; i < encoded.size(); ++i) {
        if (encoded[i] == '%') {
            check(i + 2 < encoded.size());
            decoded +=
                static_cast<char>(hex_value(encoded[i + 1]) * 16 + hex_value(encoded[i + 2]));
            i += 2;
        } else {
            check(kept(encoded[i]));
            decoded += encoded[i];
        }
    }
    check(decoded == text);

    std::string answer = answer_from_body(text);
    check(answer.find('\0') == std::string::npos);
    check(text.compare(0, answer.size(), answer) == 0);
    check(answer_is(answer, answer));
    return 0;
}
