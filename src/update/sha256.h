#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

// SHA-256 (FIPS 180-4) of an update file, fast enough to follow a download:
// with the CPU's SHA instructions where it has them (x86-64), else in plain
// C++. The platform's own hash, under Wine, runs slower than a local download.
namespace sha256 {

class Hasher {
public:
    Hasher();
    void update(const void* data, size_t size);
    // The 32-byte digest; the hasher starts anew afterwards.
    std::string finish();

private:
    void reset();
    uint32_t state_[8];
    uint64_t length_ = 0;
    unsigned char block_[64];
    size_t used_ = 0;
};

// Whether the CPU's SHA instructions are used. Tests turn them off to check
// the plain code against them.
bool sha_instructions();
void allow_sha_instructions(bool allowed);

} // namespace sha256
