// Writes a breach corpus of at least the given size for the load runs
// (server_load.sh): SHA1HEX:COUNT lines in sorted order, spaced evenly over the hash
// space, made fast by writing one block of lines again and again under the next of
// evenly spaced 8-digit prefixes.
//   make_corpus FILE MIB
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

int main(int argc, char** argv) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: make_corpus FILE MIB\n");
        return 2;
    }
    const uint64_t mib = std::strtoull(argv[2], nullptr, 10);
    constexpr size_t kLine = 44; // 40 hex digits, ":71\n"
    constexpr size_t kLinesPerBlock = (16u << 20) / kLine;
    const uint64_t blocks = (mib + 15) / 16;
    static const char kHex[] = "0123456789ABCDEF";
    std::vector<char> block(kLinesPerBlock * kLine);
    for (size_t j = 0; j < kLinesPerBlock; ++j) {
        char* line = &block[j * kLine];
        const uint64_t v = j * (UINT64_MAX / kLinesPerBlock);
        for (int k = 0; k < 32; ++k)
            line[8 + k] = kHex[(v >> (60 - 4 * (k % 16))) & 15];
        std::memcpy(line + 40, ":71\n", 4);
    }
    std::FILE* out = std::fopen(argv[1], "wb");
    if (!out)
        return 1;
    for (uint64_t b = 0; b < blocks; ++b) {
        char prefix[9];
        std::snprintf(prefix, sizeof prefix, "%08llX",
                      static_cast<unsigned long long>(b * (0x100000000ull / blocks)));
        for (size_t j = 0; j < kLinesPerBlock; ++j)
            std::memcpy(&block[j * kLine], prefix, 8);
        if (std::fwrite(block.data(), 1, block.size(), out) != block.size())
            return 1;
    }
    return std::fclose(out) == 0 ? 0 : 1;
}
