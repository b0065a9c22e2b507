#include "base/crypto.h"

#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/hmac.h>
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
    return hex_lower(std::string_view(reinterpret_cast<const char*>(digest), len));
}

std::string hex_lower(std::string_view bytes) {
    static const char digits[] = "0123456789abcdef";
    std::string out;
    out.reserve(2 * bytes.size());
    for (unsigned char b : bytes) {
        out += digits[b >> 4];
        out += digits[b & 15];
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

std::string random_bytes(size_t n) {
    std::string out(n, '\0');
    if (n != 0 && RAND_bytes(reinterpret_cast<unsigned char*>(&out[0]), static_cast<int>(n)) != 1)
        throw std::runtime_error("random generator failed");
    return out;
}

std::string sha1(std::string_view bytes) {
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int len = 0;
    if (EVP_Digest(bytes.data(), bytes.size(), digest, &len, EVP_sha1(), nullptr) != 1)
        throw std::runtime_error("SHA-1 unavailable");
    return std::string(reinterpret_cast<char*>(digest), len);
}

std::string sha256(const std::string& bytes) {
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int len = 0;
    if (EVP_Digest(bytes.data(), bytes.size(), digest, &len, EVP_sha256(), nullptr) != 1)
        throw std::runtime_error("SHA-256 unavailable");
    return std::string(reinterpret_cast<char*>(digest), len);
}

std::string hmac_sha256(const std::string& key, const std::string& bytes) {
    unsigned char out[EVP_MAX_MD_SIZE];
    unsigned int len = 0;
    if (!HMAC(EVP_sha256(), key.data(), static_cast<int>(key.size()),
              reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size(), out, &len) ||
        len != 32)
        throw std::runtime_error("HMAC-SHA-256 unavailable");
    return std::string(reinterpret_cast<char*>(out), len);
}

std::string base64(const std::string& bytes) {
    std::string out(4 * ((bytes.size() + 2) / 3) + 1, '\0');
    const int n = EVP_EncodeBlock(reinterpret_cast<unsigned char*>(&out[0]),
                                  reinterpret_cast<const unsigned char*>(bytes.data()),
                                  static_cast<int>(bytes.size()));
    out.resize(static_cast<size_t>(n));
    return out;
}

int hex_digit_value(char c) {
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

std::string base64url(const std::string& bytes) {
    std::string out = base64(bytes);
    while (!out.empty() && out.back() == '=')
        out.pop_back();
    for (char& c : out)
        c = c == '+' ? '-' : c == '/' ? '_' : c;
    return out;
}

bool from_base64url(const std::string& original, std::string& bytes) {
    std::string text = original;
    if (text.size() % 4 == 1)
        return false;
    for (char& c : text) {
        if (c == '+' || c == '/' || c == '=')
            return false;
        c = c == '-' ? '+' : c == '_' ? '/' : c;
    }
    const size_t padding = (4 - text.size() % 4) % 4;
    text.append(padding, '=');
    bytes.assign(text.size() / 4 * 3, '\0');
    const int n = EVP_DecodeBlock(reinterpret_cast<unsigned char*>(&bytes[0]),
                                  reinterpret_cast<const unsigned char*>(text.data()),
                                  static_cast<int>(text.size()));
    if (n < 0 || static_cast<size_t>(n) < padding)
        return false;
    bytes.resize(static_cast<size_t>(n) - padding);
    return base64url(bytes) == original;
}

} // namespace server
