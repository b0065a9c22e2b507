// A breach corpus of any size made quickly, for the tests and the load runs: one
// block of sorted SHA1HEX:COUNT lines, spaced evenly over the hash space, made
// once and written again and again under the next of evenly spaced 8-digit
// prefixes (only the prefixes are patched), so the whole file is sorted.
#pragma once

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

namespace server_test {

class CorpusBlocks {
public:
    // `blocks` blocks of about `block_bytes` each.
    CorpusBlocks(size_t block_bytes, uint64_t blocks)
        : blocks_(blocks), bytes_(block_bytes / kLine * kLine) {
        static const char kHex[] = "0123456789ABCDEF";
        const size_t lines = bytes_.size() / kLine;
        for (size_t j = 0; j < lines; ++j) {
            char* line = &bytes_[j * kLine];
            const uint64_t v = j * (UINT64_MAX / lines);
            for (int k = 0; k < 32; ++k)
                line[8 + k] = kHex[(v >> (60 - 4 * (k % 16))) & 15];
            std::memcpy(line + 40, ":71\n", 4);
        }
    }

    uint64_t count() const { return blocks_; }

    // The 8 hex digits every line of block `b` starts with.
    std::string prefix(uint64_t b) const {
        char p[9];
        std::snprintf(p, sizeof p, "%08llX",
                      static_cast<unsigned long long>(b * (0x100000000ull / blocks_)));
        return std::string(p, 8);
    }

    // Block `b`'s bytes (valid until the next call).
    const std::vector<char>& block(uint64_t b) {
        const std::string p = prefix(b);
        for (size_t at = 0; at < bytes_.size(); at += kLine)
            std::memcpy(&bytes_[at], p.data(), 8);
        return bytes_;
    }

private:
    static constexpr size_t kLine = 44; // 40 hex digits, ":71\n"
    uint64_t blocks_;
    std::vector<char> bytes_;
};

} // namespace server_test
