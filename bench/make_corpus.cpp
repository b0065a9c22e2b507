// Writes a breach corpus of at least the given size for the load runs
// (server_load.sh): SHA1HEX:COUNT lines in sorted order, spaced evenly over the hash
// space (corpus_blocks.h, shared with the tests).
//   make_corpus FILE MIB
#include "corpus_blocks.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>

int main(int argc, char** argv) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: make_corpus FILE MIB\n");
        return 2;
    }
    const uint64_t mib = std::strtoull(argv[2], nullptr, 10);
    server_test::CorpusBlocks corpus(16u << 20, (mib + 15) / 16);
    std::FILE* out = std::fopen(argv[1], "wb");
    if (!out)
        return 1;
    for (uint64_t b = 0; b < corpus.count(); ++b) {
        const std::vector<char>& block = corpus.block(b);
        if (std::fwrite(block.data(), 1, block.size(), out) != block.size())
            return 1;
    }
    return std::fclose(out) == 0 ? 0 : 1;
}
