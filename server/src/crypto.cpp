#include "crypto.h"

#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/rand.h>

#include <memory>
#include <stdexcept>

namespace server {

std::string md5_hex(std::string_view first, std::string_view second) {
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int len = 0;
    std::unique_ptr<EVP_MD_CTX, void (*)(EVP_MD_CTX*)> ctx(EVP_MD_CTX_new(), EVP_MD_CTX_free);
    if (!ctx || EVP_DigestInit_ex(ctx.get(), EVP_md5(), nullptr) != 1 ||
        EVP_DigestUpdate(ctx.get(), first.data(), first.size()) != 1 ||
        EVP_DigestUpdate(ctx.get(), second.data(), second.size()) != 1 ||
        EVP_DigestFinal_ex(ctx.get(), digest, &len) != 1)
        throw std::runtime_error("MD5 unavailable");
    static const char hex[] = "0123456789abcdef";
    std::string out;
    for (unsigned int i = 0; i < len; ++i) {
        out += hex[digest[i] >> 4];
        out += hex[digest[i] & 15];
    }
    return out;
}

std::string random_text(size_t length, const std::string& alphabet) {
    // Bytes at or above the largest multiple of the alphabet size are drawn again,
    // so every character is equally likely.
    const unsigned limit = 256 - 256 % alphabet.size();
    std::string out;
    while (out.size() < length) {
        unsigned char buf[64];
        if (RAND_bytes(buf, sizeof buf) != 1)
            throw std::runtime_error("random generator failed");
        for (unsigned char b : buf) {
            if (b < limit && out.size() < length)
                out += alphabet[b % alphabet.size()];
        }
    }
    return out;
}

bool equal_in_constant_time(const std::string& a, const std::string& b) {
    return a.size() == b.size() && CRYPTO_memcmp(a.data(), b.data(), a.size()) == 0;
}

} // namespace server
