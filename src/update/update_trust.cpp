#include "update/update_trust.h"

namespace update_trust {
namespace {

int hex_value(char c) {
    if (c >= '0' && c <= '9') {
        return c - '0';
    }
    if (c >= 'a' && c <= 'f') {
        return c - 'a' + 10;
    }
    if (c >= 'A' && c <= 'F') {
        return c - 'A' + 10;
    }
    return -1;
}

uint32_t read_le32(const unsigned char* p) {
    return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) |
           (static_cast<uint32_t>(p[2]) << 16) | (static_cast<uint32_t>(p[3]) << 24);
}

} // namespace

std::string signed_message(std::string_view version, std::string_view digest) {
    if (digest.size() != kDigestSize) {
        return std::string();
    }
    static const char kHex[] = "0123456789abcdef";
    std::string message = "tarnix-update:";
    message.append(version.data(), version.size());
    message += ':';
    for (unsigned char b : digest) {
        message += kHex[b >> 4];
        message += kHex[b & 15];
    }
    return message;
}

bool parse_public_key(std::string_view hex, std::string& key) {
    key.clear();
    if (hex.empty()) {
        return true;
    }
    if (hex.size() != kPublicKeySize * 2) {
        return false;
    }
    std::string out;
    for (size_t i = 0; i < hex.size(); i += 2) {
        int hi = hex_value(hex[i]);
        int lo = hex_value(hex[i + 1]);
        if (hi < 0 || lo < 0) {
            return false;
        }
        out += static_cast<char>(hi * 16 + lo);
    }
    key = out;
    return true;
}

bool is_windows_x64_program(const unsigned char* data, size_t size) {
    constexpr size_t kOffsetField = 0x3C;
    if (!data || size < kOffsetField + 4 || data[0] != 'M' || data[1] != 'Z') {
        return false;
    }
    const uint64_t at = read_le32(data + kOffsetField);
    // The signature (4 bytes) and the machine type (2 bytes) must both be inside.
    if (at < 2 || at > size || size - at < 6) {
        return false;
    }
    const unsigned char* pe = data + at;
    if (pe[0] != 'P' || pe[1] != 'E' || pe[2] != 0 || pe[3] != 0) {
        return false;
    }
    return pe[4] == 0x64 && pe[5] == 0x86;
}

} // namespace update_trust
