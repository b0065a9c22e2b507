#include "update/sha256.h"

#include <gtest/gtest.h>

#include <random>
#include <string>

namespace {

std::string hex(const std::string& bytes) {
    static const char kHex[] = "0123456789abcdef";
    std::string out;
    for (unsigned char b : bytes) {
        out += kHex[b >> 4];
        out += kHex[b & 15];
    }
    return out;
}

std::string digest_of(const std::string& text) {
    sha256::Hasher h;
    h.update(text.data(), text.size());
    return hex(h.finish());
}

// The published test vectors, with and without the CPU's SHA instructions.
void expect_known_answers() {
    EXPECT_EQ(digest_of(""), "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
    EXPECT_EQ(digest_of("abc"), "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
    EXPECT_EQ(digest_of("abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq"),
              "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1");
    EXPECT_EQ(digest_of(std::string(1000000, 'a')),
              "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0");
}

} // namespace

TEST(Sha256, KnownAnswersEitherWay) {
    expect_known_answers();
    sha256::allow_sha_instructions(false);
    EXPECT_FALSE(sha256::sha_instructions());
    expect_known_answers();
    sha256::allow_sha_instructions(true);
}

// Every length around the block and padding edges, fed in pieces of every
// size, gives what the plain code gives for the whole.
TEST(Sha256, PiecesAndPathsAgree) {
    std::mt19937 rng(5);
    std::string data(300, '\0');
    for (char& c : data) {
        c = static_cast<char>(rng());
    }
    for (size_t length = 0; length <= data.size(); ++length) {
        sha256::allow_sha_instructions(false);
        const std::string want = digest_of(data.substr(0, length));
        sha256::allow_sha_instructions(true);
        for (size_t piece : {1u, 7u, 63u, 64u, 65u, 300u}) {
            sha256::Hasher h;
            for (size_t at = 0; at < length; at += piece) {
                h.update(data.data() + at, std::min(piece, length - at));
            }
            ASSERT_EQ(hex(h.finish()), want) << "length " << length << ", pieces of " << piece;
        }
    }
}
