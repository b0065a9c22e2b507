#include "http/proxy_header.h"

#include <arpa/inet.h>
#include <netinet/in.h>

#include <cstdlib>
#include <cstring>

namespace server {
namespace {

const unsigned char kSignature[12] = {0x0D, 0x0A, 0x0D, 0x0A, 0x00, 0x0D,
                                      0x0A, 0x51, 0x55, 0x49, 0x54, 0x0A};
const char kTextStart[] = "PROXY ";
constexpr size_t kTextStartLength = sizeof kTextStart - 1;
// A version 1 line is at most this long, its CRLF included.
constexpr size_t kMaxTextLine = 107;

constexpr unsigned char kTypeSsl = 0x20;
constexpr unsigned char kClientSsl = 0x01;

// Whether `data` so far agrees with the first bytes of `prefix`.
bool agrees(const unsigned char* data, size_t size, const void* prefix, size_t prefix_size) {
    return std::memcmp(data, prefix, size < prefix_size ? size : prefix_size) == 0;
}

unsigned read16(const unsigned char* p) {
    return static_cast<unsigned>(p[0]) << 8 | p[1];
}

ProxyParse invalid(std::string& why, const char* what) {
    why = what;
    return ProxyParse::Invalid;
}

void set_source(ProxyHeader& out, int family, const unsigned char* address, unsigned port) {
    out.source = sockaddr_storage{};
    if (family == AF_INET) {
        auto* sin = reinterpret_cast<sockaddr_in*>(&out.source);
        sin->sin_family = AF_INET;
        std::memcpy(&sin->sin_addr, address, 4);
        sin->sin_port = htons(static_cast<uint16_t>(port));
        out.source_length = sizeof(sockaddr_in);
    } else {
        auto* sin6 = reinterpret_cast<sockaddr_in6*>(&out.source);
        sin6->sin6_family = AF_INET6;
        std::memcpy(&sin6->sin6_addr, address, 16);
        sin6->sin6_port = htons(static_cast<uint16_t>(port));
        out.source_length = sizeof(sockaddr_in6);
    }
}

// The fields after the address block: only the TLS one matters here, but each must
// lie inside the header, or the whole header is refused.
bool read_fields(const unsigned char* p, const unsigned char* end, ProxyHeader& out) {
    while (p < end) {
        if (end - p < 3)
            return false;
        const unsigned length = read16(p + 1);
        if (static_cast<size_t>(end - p - 3) < length)
            return false;
        // Its first byte holds the flags: the client's connection was TLS.
        if (p[0] == kTypeSsl && length >= 5)
            out.tls = (p[3] & kClientSsl) != 0;
        p += 3 + length;
    }
    return true;
}

ProxyParse parse_binary(const unsigned char* data, size_t size, ProxyHeader& out,
                        std::string& why) {
    if (size < 16)
        return ProxyParse::Incomplete;
    if ((data[12] & 0xF0) != 0x20)
        return invalid(why, "PROXY header of an unknown version");
    const unsigned command = data[12] & 0x0F;
    const size_t length = 16 + read16(data + 14);
    if (length > kMaxProxyHeaderBytes)
        return invalid(why, "PROXY header too long");
    if (command > 1)
        return invalid(why, "PROXY header with an unknown command");
    if (size < length)
        return ProxyParse::Incomplete;
    out = ProxyHeader();
    out.length = length;
    const unsigned char* block = data + 16;
    const unsigned char* end = data + length;
    size_t address_bytes = 0;
    if (command == 0) {
        // LOCAL: whatever the block holds, the connection is the proxy's own.
        out.local = true;
        address_bytes = 0;
    } else if (data[13] == 0x11) { // TCP over IPv4
        address_bytes = 12;
        if (length - 16 < address_bytes)
            return invalid(why, "PROXY header shorter than its addresses");
        set_source(out, AF_INET, block, read16(block + 8));
    } else if (data[13] == 0x21) { // TCP over IPv6
        address_bytes = 36;
        if (length - 16 < address_bytes)
            return invalid(why, "PROXY header shorter than its addresses");
        set_source(out, AF_INET6, block, read16(block + 32));
    } else {
        return invalid(why, "PROXY header of a family other than TCP");
    }
    // The fields of a LOCAL header are not looked at: nothing in it is a client's.
    if (!out.local && !read_fields(block + address_bytes, end, out))
        return invalid(why, "PROXY header with a malformed field");
    return ProxyParse::Ok;
}

// A decimal port with no sign or leading zeros, up to 65535.
bool parse_port(const std::string& text, unsigned& port) {
    if (text.empty() || text.size() > 5 || (text.size() > 1 && text[0] == '0'))
        return false;
    for (char c : text)
        if (c < '0' || c > '9')
            return false;
    port = static_cast<unsigned>(std::atoi(text.c_str()));
    return port <= 65535;
}

ProxyParse parse_text(const unsigned char* data, size_t size, ProxyHeader& out, std::string& why) {
    const unsigned char* lf = static_cast<const unsigned char*>(
        std::memchr(data, '\n', size < kMaxTextLine ? size : kMaxTextLine));
    if (!lf)
        return size < kMaxTextLine ? ProxyParse::Incomplete : invalid(why, "PROXY line too long");
    if (lf == data || lf[-1] != '\r')
        return invalid(why, "PROXY line without CRLF");
    const std::string line(reinterpret_cast<const char*>(data) + kTextStartLength,
                           reinterpret_cast<const char*>(lf) - 1);
    std::vector<std::string> words;
    size_t start = 0;
    while (start <= line.size()) {
        size_t space = line.find(' ', start);
        if (space == std::string::npos)
            space = line.size();
        words.push_back(line.substr(start, space - start));
        start = space + 1;
    }
    out = ProxyHeader();
    out.length = static_cast<size_t>(lf - data) + 1;
    if (!words.empty() && words[0] == "UNKNOWN") {
        out.local = true;
        return ProxyParse::Ok;
    }
    const int family = words[0] == "TCP4" ? AF_INET : words[0] == "TCP6" ? AF_INET6 : 0;
    unsigned char address[16];
    unsigned char ignored[16];
    unsigned port = 0;
    unsigned ignored_port = 0;
    if (family == 0 || words.size() != 5 || inet_pton(family, words[1].c_str(), address) != 1 ||
        inet_pton(family, words[2].c_str(), ignored) != 1 || !parse_port(words[3], port) ||
        !parse_port(words[4], ignored_port))
        return invalid(why, "PROXY line malformed");
    set_source(out, family, address, port);
    return ProxyParse::Ok;
}

// The address `sa` as (family, bytes), a mapped IPv4 one as IPv4; 0 for another family.
int address_of(const sockaddr* sa, const unsigned char*& bytes) {
    if (sa && sa->sa_family == AF_INET) {
        bytes = reinterpret_cast<const unsigned char*>(
            &reinterpret_cast<const sockaddr_in*>(sa)->sin_addr);
        return AF_INET;
    }
    if (sa && sa->sa_family == AF_INET6) {
        bytes = reinterpret_cast<const sockaddr_in6*>(sa)->sin6_addr.s6_addr;
        if (IN6_IS_ADDR_V4MAPPED(reinterpret_cast<const in6_addr*>(bytes))) {
            bytes += 12;
            return AF_INET;
        }
        return AF_INET6;
    }
    return 0;
}

bool in_range(const AddressRange& r, int family, const unsigned char* bytes) {
    if (r.family != family)
        return false;
    const int whole = r.prefix / 8;
    if (std::memcmp(r.bytes, bytes, static_cast<size_t>(whole)) != 0)
        return false;
    const int rest = r.prefix % 8;
    if (rest == 0)
        return true;
    const unsigned mask = (0xFFu << (8 - rest)) & 0xFFu;
    return (r.bytes[whole] & mask) == (bytes[whole] & mask);
}

} // namespace

ProxyParse parse_proxy_header(const unsigned char* data, size_t size, ProxyHeader& out,
                              std::string& why) {
    if (size == 0)
        return ProxyParse::Incomplete;
    if (agrees(data, size, kSignature, sizeof kSignature))
        return size < sizeof kSignature ? ProxyParse::Incomplete
                                        : parse_binary(data, size, out, why);
    if (agrees(data, size, kTextStart, kTextStartLength))
        return size < kTextStartLength ? ProxyParse::Incomplete : parse_text(data, size, out, why);
    return ProxyParse::NotProxy;
}

bool parse_address_range(const std::string& text, AddressRange& out) {
    out = AddressRange();
    const size_t slash = text.find('/');
    const std::string address = text.substr(0, slash);
    if (inet_pton(AF_INET, address.c_str(), out.bytes) == 1)
        out.family = AF_INET;
    else if (inet_pton(AF_INET6, address.c_str(), out.bytes) == 1)
        out.family = AF_INET6;
    else
        return false;
    const int bits = out.family == AF_INET ? 32 : 128;
    out.prefix = bits;
    if (slash != std::string::npos) {
        unsigned prefix = 0;
        if (!parse_port(text.substr(slash + 1), prefix) || prefix > static_cast<unsigned>(bits))
            return false;
        out.prefix = static_cast<int>(prefix);
    }
    // A mapped IPv4 range is its IPv4 range, as peers are compared.
    if (out.family == AF_INET6 && out.prefix >= 96 &&
        IN6_IS_ADDR_V4MAPPED(reinterpret_cast<const in6_addr*>(out.bytes))) {
        std::memmove(out.bytes, out.bytes + 12, 4);
        std::memset(out.bytes + 4, 0, 12);
        out.family = AF_INET;
        out.prefix -= 96;
    }
    return true;
}

bool in_ranges(const std::vector<AddressRange>& ranges, const sockaddr* sa) {
    const unsigned char* bytes = nullptr;
    const int family = address_of(sa, bytes);
    for (const AddressRange& r : ranges)
        if (family != 0 && in_range(r, family, bytes))
            return true;
    return false;
}

bool address_in_ranges(const std::vector<AddressRange>& ranges, const std::string& text) {
    AddressRange one;
    if (text.find('/') != std::string::npos || !parse_address_range(text, one))
        return false;
    const unsigned char* bytes = one.bytes;
    for (const AddressRange& r : ranges)
        if (in_range(r, one.family, bytes))
            return true;
    return false;
}

} // namespace server
