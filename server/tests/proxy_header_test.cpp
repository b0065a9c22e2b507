// The PROXY header as a proxy in front writes it, and the ranges of addresses
// trusted to write one.
#include "http/proxy_header.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>

#include <string>

using namespace server;

namespace {

const std::string kSignature("\r\n\r\n\0\r\nQUIT\n", 12);

std::string be16(unsigned v) {
    return std::string{static_cast<char>(v >> 8), static_cast<char>(v & 0xFF)};
}

// A version 2 header: command (0 LOCAL, 1 PROXY), family byte, and what follows.
std::string v2(int command, unsigned char family, const std::string& rest) {
    return kSignature + static_cast<char>(0x20 | command) + static_cast<char>(family) +
           be16(static_cast<unsigned>(rest.size())) + rest;
}

std::string ipv4_block(const char* source, unsigned port) {
    in_addr a{};
    inet_pton(AF_INET, source, &a);
    return std::string(reinterpret_cast<const char*>(&a), 4) + std::string("\x7f\0\0\x01", 4) +
           be16(port) + be16(443);
}

ProxyParse parse(const std::string& bytes, ProxyHeader& h) {
    std::string why;
    return parse_proxy_header(reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size(), h,
                              why);
}

std::string source_text(const ProxyHeader& h) {
    char buf[INET6_ADDRSTRLEN] = "";
    if (h.source.ss_family == AF_INET)
        inet_ntop(AF_INET, &reinterpret_cast<const sockaddr_in*>(&h.source)->sin_addr, buf,
                  sizeof buf);
    else if (h.source.ss_family == AF_INET6)
        inet_ntop(AF_INET6, &reinterpret_cast<const sockaddr_in6*>(&h.source)->sin6_addr, buf,
                  sizeof buf);
    return buf;
}

} // namespace

TEST(ProxyHeaderTest, VersionTwoNamesTheClientAndSaysWhetherItCameOverTls) {
    const std::string request = "GET / HTTP/1.1\r\n\r\n";
    ProxyHeader h;
    std::string header = v2(1, 0x11, ipv4_block("203.0.113.7", 50000));
    ASSERT_EQ(parse(header + request, h), ProxyParse::Ok);
    EXPECT_EQ(h.length, header.size()) << "the request after it is the client's";
    EXPECT_EQ(source_text(h), "203.0.113.7");
    EXPECT_EQ(ntohs(reinterpret_cast<const sockaddr_in*>(&h.source)->sin_port), 50000);
    EXPECT_FALSE(h.local);
    EXPECT_FALSE(h.tls);

    // TCP over IPv6, then the TLS field (client flags 0x07: TLS, a certificate...),
    // after another field that is passed over.
    in6_addr a6{};
    inet_pton(AF_INET6, "2001:db8::5", &a6);
    const std::string block6 = std::string(reinterpret_cast<const char*>(&a6), 16) +
                               std::string(16, '\0') + be16(1234) + be16(443);
    const std::string authority = std::string("\x02", 1) + be16(4) + "host";
    const std::string ssl_field = std::string("\x20", 1) + be16(5 + 7) + "\x07" +
                                  std::string(4, '\0') + "\x21" + be16(4) + "TLS1";
    ASSERT_EQ(parse(v2(1, 0x21, block6 + authority + ssl_field), h), ProxyParse::Ok);
    EXPECT_EQ(source_text(h), "2001:db8::5");
    EXPECT_TRUE(h.tls);
    // The same field with the client's TLS flag clear.
    std::string plain = ssl_field;
    plain[3] = '\0';
    ASSERT_EQ(parse(v2(1, 0x21, block6 + plain), h), ProxyParse::Ok);
    EXPECT_FALSE(h.tls);

    // LOCAL: the proxy's own connection, whatever its block holds.
    ASSERT_EQ(parse(v2(0, 0x00, ""), h), ProxyParse::Ok);
    EXPECT_TRUE(h.local);
    EXPECT_EQ(h.length, 16u);
    ASSERT_EQ(parse(v2(0, 0x11, ipv4_block("198.51.100.1", 1)), h), ProxyParse::Ok);
    EXPECT_TRUE(h.local);
}

TEST(ProxyHeaderTest, ABrokenOrPartialHeaderIsNeverTakenForAClient) {
    ProxyHeader h;
    const std::string whole = v2(1, 0x11, ipv4_block("192.0.2.1", 80));
    // Every beginning of a header waits for the rest.
    for (size_t n = 1; n < whole.size(); ++n)
        EXPECT_EQ(parse(whole.substr(0, n), h), ProxyParse::Incomplete) << n;
    EXPECT_EQ(parse("PROXY TCP4 192.0.2.1 127.0.0.1 5", h), ProxyParse::Incomplete);

    // Longer than the bound, even before it has all arrived.
    EXPECT_EQ(parse(kSignature + "\x21\x11" + be16(2000), h), ProxyParse::Invalid);
    // Addresses cut short, an unknown family, version or command, a field running
    // past the end.
    EXPECT_EQ(parse(v2(1, 0x11, std::string(8, 'x')), h), ProxyParse::Invalid);
    EXPECT_EQ(parse(v2(1, 0x12, ipv4_block("192.0.2.1", 80)), h), ProxyParse::Invalid);
    EXPECT_EQ(parse(v2(1, 0x00, ""), h), ProxyParse::Invalid);
    EXPECT_EQ(parse(v2(2, 0x11, ipv4_block("192.0.2.1", 80)), h), ProxyParse::Invalid);
    std::string v1_version = whole;
    v1_version[12] = 0x11;
    EXPECT_EQ(parse(v1_version, h), ProxyParse::Invalid);
    EXPECT_EQ(parse(v2(1, 0x11, ipv4_block("192.0.2.1", 80) + "\x20" + be16(9) + "abc"), h),
              ProxyParse::Invalid);
    EXPECT_EQ(parse(v2(1, 0x11, ipv4_block("192.0.2.1", 80) + "\x20\x00"), h), ProxyParse::Invalid);

    // What a client or a TLS hello begins with is no header.
    EXPECT_EQ(parse("POST /tx-client.asp HTTP/1.1\r\n", h), ProxyParse::NotProxy);
    EXPECT_EQ(parse("PUT", h), ProxyParse::NotProxy);
    EXPECT_EQ(parse("\x16\x03\x01", h), ProxyParse::NotProxy);
    EXPECT_EQ(parse("\r\n\r\nGET", h), ProxyParse::NotProxy);
}

TEST(ProxyHeaderTest, VersionOneLines) {
    ProxyHeader h;
    const std::string line = "PROXY TCP4 192.0.2.9 127.0.0.1 40000 443\r\n";
    ASSERT_EQ(parse(line + "GET / HTTP/1.1\r\n", h), ProxyParse::Ok);
    EXPECT_EQ(h.length, line.size());
    EXPECT_EQ(source_text(h), "192.0.2.9");
    ASSERT_EQ(parse("PROXY TCP6 2001:db8::1 ::1 1 2\r\n", h), ProxyParse::Ok);
    EXPECT_EQ(source_text(h), "2001:db8::1");
    ASSERT_EQ(parse("PROXY UNKNOWN\r\n", h), ProxyParse::Ok);
    EXPECT_TRUE(h.local);

    for (const char* bad :
         {"PROXY TCP4 192.0.2.9 127.0.0.1 40000 443\n", "PROXY TCP4 2001:db8::1 ::1 1 2\r\n",
          "PROXY TCP4 192.0.2.9 127.0.0.1 040000 443\r\n", "PROXY TCP4 192.0.2.9 127.0.0.1 1\r\n",
          "PROXY TCP4 192.0.2.9 127.0.0.1 70000 443\r\n", "PROXY UDP4 1.2.3.4 1.2.3.4 1 2\r\n"})
        EXPECT_EQ(parse(bad, h), ProxyParse::Invalid) << bad;
    EXPECT_EQ(parse("PROXY " + std::string(200, '1'), h), ProxyParse::Invalid) << "no line end";
}

TEST(ProxyHeaderTest, RangesMatchMappedPeersAndRefuseWhatIsNoAddress) {
    std::vector<AddressRange> ranges(2);
    ASSERT_TRUE(parse_address_range("10.0.0.0/8", ranges[0]));
    ASSERT_TRUE(parse_address_range("2001:db8::/33", ranges[1]));
    EXPECT_TRUE(address_in_ranges(ranges, "10.200.3.4"));
    EXPECT_FALSE(address_in_ranges(ranges, "11.0.0.1"));
    EXPECT_TRUE(address_in_ranges(ranges, "2001:db8:7fff::1"));
    EXPECT_FALSE(address_in_ranges(ranges, "2001:db8:8000::1")) << "bit 33 differs";

    // A dual-stack listener's IPv4 peer is its IPv4 address.
    sockaddr_in6 mapped{};
    mapped.sin6_family = AF_INET6;
    inet_pton(AF_INET6, "::ffff:10.1.1.1", &mapped.sin6_addr);
    EXPECT_TRUE(in_ranges(ranges, reinterpret_cast<const sockaddr*>(&mapped)));
    AddressRange one;
    ASSERT_TRUE(parse_address_range("::ffff:127.0.0.1", one));
    EXPECT_TRUE(address_in_ranges({one}, "127.0.0.1"));

    for (const char* bad :
         {"", "10.0.0.0/33", "10.0.0.0/", "10.0.0/8", "host", "::1/129", "10.0.0.0/-1"})
        EXPECT_FALSE(parse_address_range(bad, one)) << bad;
}
