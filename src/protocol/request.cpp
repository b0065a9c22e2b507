#include "protocol/request.h"

namespace {
constexpr char kUpperHex[] = "0123456789ABCDEF";
constexpr char kLowerHex[] = "0123456789abcdef";
} // namespace

std::string request_body(std::string_view command, std::string_view parameters) {
    // Room for all of it first: the parameters may carry a password, and a
    // reallocation would leave a copy behind in freed memory.
    std::string body;
    body.reserve(4 + command.size() + parameters.size());
    body.append("cmd=").append(command).append(parameters);
    return body;
}

std::string url_encode(std::string_view text) {
    std::string out;
    out.reserve(text.size() * 3);
    for (char c : text) {
        auto b = static_cast<unsigned char>(c);
        bool kept = (b >= 'A' && b <= 'Z') || (b >= 'a' && b <= 'z') || (b >= '0' && b <= '9') ||
                    b == '-' || b == '.';
        if (kept) {
            out += c;
        } else {
            out += '%';
            out += kUpperHex[b >> 4];
            out += kUpperHex[b & 0x0F];
        }
    }
    return out;
}

std::string answer_from_body(std::string_view body) {
    return std::string(body.substr(0, body.find('\0')));
}

bool answer_is(std::string_view answer, std::string_view expected) {
    return answer == expected;
}

std::string digest_hex(const unsigned char (&digest)[16], bool upper_case, bool short_form) {
    const char* table = upper_case ? kUpperHex : kLowerHex;
    std::string hex;
    hex.reserve(32);
    for (unsigned char b : digest) {
        hex += table[b >> 4];
        hex += table[b & 0x0F];
    }
    return short_form ? hex.substr(8, 16) : hex;
}
