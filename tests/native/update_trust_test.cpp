#include "update/update_trust.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

// A header as a linker writes it: "MZ", the PE offset at 0x3C, then "PE\0\0"
// and the machine type at that offset.
std::vector<unsigned char> program_header(uint32_t pe_at, uint16_t machine, size_t size) {
    std::vector<unsigned char> h(size, 0);
    h[0] = 'M';
    h[1] = 'Z';
    for (int i = 0; i < 4; ++i) {
        h[0x3C + i] = static_cast<unsigned char>(pe_at >> (8 * i));
    }
    if (uint64_t{pe_at} + 6 <= size) {
        h[pe_at] = 'P';
        h[pe_at + 1] = 'E';
        h[pe_at + 4] = static_cast<unsigned char>(machine & 0xFF);
        h[pe_at + 5] = static_cast<unsigned char>(machine >> 8);
    }
    return h;
}

bool is_program(const std::vector<unsigned char>& h) {
    return update_trust::is_windows_x64_program(h.data(), h.size());
}

} // namespace

TEST(UpdateTrust, ProgramHeaderOnlyForWindowsX64) {
    EXPECT_TRUE(is_program(program_header(0x80, 0x8664, 512)));
    // The signature may end the header exactly.
    EXPECT_TRUE(is_program(program_header(0x80, 0x8664, 0x86)));
    EXPECT_FALSE(is_program(program_header(0x80, 0x014C, 512))) << "32-bit x86";
    EXPECT_FALSE(is_program(program_header(0x80, 0xAA64, 512))) << "ARM64";
    // The machine type cut off, the offset past the data, or far past it.
    EXPECT_FALSE(is_program(program_header(0x80, 0x8664, 0x85)));
    EXPECT_FALSE(is_program(program_header(0x1000, 0x8664, 512)));
    EXPECT_FALSE(is_program(program_header(0xFFFFFFFFu, 0x8664, 512)));
    std::vector<unsigned char> no_mz = program_header(0x80, 0x8664, 512);
    no_mz[0] = 'Z';
    no_mz[1] = 'M';
    EXPECT_FALSE(is_program(no_mz));
    std::vector<unsigned char> no_pe = program_header(0x80, 0x8664, 512);
    no_pe[0x82] = 'X';
    EXPECT_FALSE(is_program(no_pe));
    const std::string html = "<html><body><h1>500 Internal Server Error</h1></body></html>";
    EXPECT_FALSE(update_trust::is_windows_x64_program(
        reinterpret_cast<const unsigned char*>(html.data()), html.size()));
    EXPECT_FALSE(update_trust::is_windows_x64_program(nullptr, 0));
    EXPECT_FALSE(is_program(std::vector<unsigned char>{'M', 'Z'}));
}

TEST(UpdateTrust, SignedMessageBindsVersionAndDigest) {
    std::string digest;
    for (int i = 0; i < 32; ++i) {
        digest += static_cast<char>(i * 8 + 7);
    }
    // The version's bytes go in as they are (GBK here).
    EXPECT_EQ(update_trust::signed_message("1.0\xB0\xE6", digest),
              "tarnix-update:1.0\xB0\xE6:"
              "070f171f272f373f474f575f676f777f878f979fa7afb7bfc7cfd7dfe7eff7ff");
    EXPECT_EQ(update_trust::signed_message("1.002", digest.substr(1)), "");
}

TEST(UpdateTrust, PublicKeyIsExactly128HexDigits) {
    std::string hex;
    for (int i = 0; i < 64; ++i) {
        hex += "0123456789abcdefABCDEF"[i % 22];
        hex += "f0"[i % 2];
    }
    std::string key;
    ASSERT_TRUE(update_trust::parse_public_key(hex, key));
    ASSERT_EQ(key.size(), 64u);
    EXPECT_EQ(static_cast<unsigned char>(key[0]), 0x0F);
    EXPECT_EQ(static_cast<unsigned char>(key[11]), 0xB0);
    EXPECT_EQ(static_cast<unsigned char>(key[63]), 0xD0);

    EXPECT_TRUE(update_trust::parse_public_key("", key));
    EXPECT_TRUE(key.empty()) << "no key: no signature is asked for";
    for (const std::string& bad : {hex.substr(1), hex + "0", hex.substr(0, 127) + "g",
                                   " " + hex.substr(1), hex.substr(0, 64)}) {
        EXPECT_FALSE(update_trust::parse_public_key(bad, key)) << bad;
        EXPECT_TRUE(key.empty());
    }
}
