// What a proxy in front says about a connection: the PROXY protocol header (version 2,
// binary; version 1, one text line) that a trusted proxy puts before the client's
// bytes, and the address ranges the server trusts to send one.
//
// Free functions of the data given: any thread. Nothing throws but std::bad_alloc.
#pragma once

#include <sys/socket.h>

#include <cstddef>
#include <string>
#include <vector>

namespace server {

// The longest header read: an address block and the TLS fields a proxy adds fit in
// far less; a longer one is refused rather than buffered.
constexpr size_t kMaxProxyHeaderBytes = 1024;

struct ProxyHeader {
    size_t length = 0;         // bytes of the header; the client's own bytes follow
    bool local = false;        // LOCAL (v2) or UNKNOWN (v1): the proxy's own connection
    bool tls = false;          // the proxy says the client reached it over TLS
    sockaddr_storage source{}; // the client (unless `local`)
    socklen_t source_length = 0;
};

enum class ProxyParse {
    Incomplete, // a header's beginning so far: wait for more
    NotProxy,   // the bytes begin otherwise (a request, a TLS hello)
    Invalid,    // a header, but malformed, of an unknown kind, or too long
    Ok,
};

// Reads a header at the start of `data`; `why` says what is wrong when Invalid.
ProxyParse parse_proxy_header(const unsigned char* data, size_t size, ProxyHeader& out,
                              std::string& why);

// An address and the number of its leading bits that count (all: one address).
struct AddressRange {
    int family = 0; // AF_INET or AF_INET6
    unsigned char bytes[16] = {};
    int prefix = 0;
};

// "a.b.c.d", "a.b.c.d/n", an IPv6 address, with or without "/n". False when `text`
// is none of these (or the prefix is too long).
bool parse_address_range(const std::string& text, AddressRange& out);

// Whether `sa` (an IPv4-mapped IPv6 peer counts as its IPv4 address) is in a range.
bool in_ranges(const std::vector<AddressRange>& ranges, const sockaddr* sa);

// Whether the address written as `text` is in a range (false when it is no address).
bool address_in_ranges(const std::vector<AddressRange>& ranges, const std::string& text);

} // namespace server
