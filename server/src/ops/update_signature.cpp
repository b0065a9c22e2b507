#include "ops/update_signature.h"

#include <openssl/bn.h>
#include <openssl/core_names.h>
#include <openssl/ec.h>
#include <openssl/evp.h>
#include <openssl/pem.h>

#include <cstdio>
#include <fstream>
#include <memory>
#include <vector>

#include <fcntl.h>
#include <unistd.h>

namespace server {
namespace {

struct PkeyFree {
    void operator()(EVP_PKEY* p) const { EVP_PKEY_free(p); }
};
struct MdCtxFree {
    void operator()(EVP_MD_CTX* p) const { EVP_MD_CTX_free(p); }
};
struct SigFree {
    void operator()(ECDSA_SIG* p) const { ECDSA_SIG_free(p); }
};
using Pkey = std::unique_ptr<EVP_PKEY, PkeyFree>;

const char kHex[] = "0123456789abcdef";

std::string hex_of(const unsigned char* data, size_t size) {
    std::string out;
    for (size_t i = 0; i < size; ++i) {
        out += kHex[data[i] >> 4];
        out += kHex[data[i] & 15];
    }
    return out;
}

bool is_p256(EVP_PKEY* key) {
    char group[64] = {};
    size_t len = 0;
    return EVP_PKEY_is_a(key, "EC") &&
           EVP_PKEY_get_utf8_string_param(key, OSSL_PKEY_PARAM_GROUP_NAME, group, sizeof group,
                                          &len) == 1 &&
           std::string(group) == "prime256v1";
}

// Lower-case hex SHA-256 of the file, read piece by piece.
bool file_sha256_hex(const std::string& path, std::string& hex) {
    std::ifstream in(path, std::ios::binary);
    std::unique_ptr<EVP_MD_CTX, MdCtxFree> ctx(EVP_MD_CTX_new());
    if (!in || !ctx || EVP_DigestInit_ex(ctx.get(), EVP_sha256(), nullptr) != 1)
        return false;
    std::vector<char> buf(1 << 20);
    while (in) {
        in.read(buf.data(), static_cast<std::streamsize>(buf.size()));
        if (in.gcount() > 0 &&
            EVP_DigestUpdate(ctx.get(), buf.data(), static_cast<size_t>(in.gcount())) != 1)
            return false;
    }
    if (in.bad())
        return false;
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int len = 0;
    if (EVP_DigestFinal_ex(ctx.get(), digest, &len) != 1)
        return false;
    hex = hex_of(digest, len);
    return true;
}

} // namespace

bool make_update_key(const std::string& dir, std::string& key_path, std::string& public_hex,
                     std::string& error) {
    Pkey key(EVP_EC_gen("P-256"));
    if (!key) {
        error = "cannot make a P-256 key";
        return false;
    }
    unsigned char point[65];
    size_t len = 0;
    if (EVP_PKEY_get_octet_string_param(key.get(), OSSL_PKEY_PARAM_ENCODED_PUBLIC_KEY, point,
                                        sizeof point, &len) != 1 ||
        len != sizeof point || point[0] != 0x04) {
        error = "cannot read the public key";
        return false;
    }
    key_path = dir + "/update-key.pem";
    // O_EXCL: a publisher's key is never replaced by accident.
    int fd = open(key_path.c_str(), O_WRONLY | O_CREAT | O_EXCL, 0600);
    if (fd < 0) {
        error = "cannot create " + key_path + " (it may exist already)";
        return false;
    }
    FILE* f = fdopen(fd, "w");
    bool written =
        f && PEM_write_PrivateKey(f, key.get(), nullptr, nullptr, 0, nullptr, nullptr) == 1;
    if (f ? std::fclose(f) != 0 : close(fd) != 0)
        written = false;
    if (!written) {
        unlink(key_path.c_str());
        error = "cannot write " + key_path;
        return false;
    }
    public_hex = hex_of(point + 1, 64);
    return true;
}

bool sign_update(const std::string& key_path, const std::string& file, const std::string& version,
                 std::string& signature, std::string& error) {
    FILE* f = std::fopen(key_path.c_str(), "r");
    if (!f) {
        error = "cannot read the key " + key_path;
        return false;
    }
    Pkey key(PEM_read_PrivateKey(f, nullptr, nullptr, nullptr));
    std::fclose(f);
    if (!key || !is_p256(key.get())) {
        error = key_path + " is not a P-256 private key in PEM";
        return false;
    }
    std::string digest_hex;
    if (!file_sha256_hex(file, digest_hex)) {
        error = "cannot read the update file " + file;
        return false;
    }
    const std::string message = "tarnix-update:" + version + ":" + digest_hex;
    std::unique_ptr<EVP_MD_CTX, MdCtxFree> ctx(EVP_MD_CTX_new());
    size_t der_len = 0;
    if (!ctx || EVP_DigestSignInit(ctx.get(), nullptr, EVP_sha256(), nullptr, key.get()) != 1 ||
        EVP_DigestSign(ctx.get(), nullptr, &der_len,
                       reinterpret_cast<const unsigned char*>(message.data()),
                       message.size()) != 1) {
        error = "cannot sign";
        return false;
    }
    std::vector<unsigned char> der(der_len);
    if (EVP_DigestSign(ctx.get(), der.data(), &der_len,
                       reinterpret_cast<const unsigned char*>(message.data()),
                       message.size()) != 1) {
        error = "cannot sign";
        return false;
    }
    // DER (SEQUENCE of r and s) to the fixed 64-byte form the client reads.
    const unsigned char* p = der.data();
    std::unique_ptr<ECDSA_SIG, SigFree> sig(d2i_ECDSA_SIG(nullptr, &p, static_cast<long>(der_len)));
    const BIGNUM* r = nullptr;
    const BIGNUM* s = nullptr;
    unsigned char raw[64];
    if (!sig || (ECDSA_SIG_get0(sig.get(), &r, &s), BN_bn2binpad(r, raw, 32) != 32) ||
        BN_bn2binpad(s, raw + 32, 32) != 32) {
        error = "cannot encode the signature";
        return false;
    }
    signature.assign(reinterpret_cast<const char*>(raw), sizeof raw);
    return true;
}

} // namespace server
