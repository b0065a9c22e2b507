#include "ops/update_signature.h"

#include "base/crypto.h"
#include "base/files.h"

#include <openssl/bio.h>
#include <openssl/bn.h>
#include <openssl/core_names.h>
#include <openssl/ec.h>
#include <openssl/evp.h>
#include <openssl/pem.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <memory>
#include <string_view>
#include <vector>

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
struct BioFree {
    void operator()(BIO* p) const { BIO_free(p); }
};
using Pkey = std::unique_ptr<EVP_PKEY, PkeyFree>;

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
    hex = hex_lower(std::string_view(reinterpret_cast<const char*>(digest), len));
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
    // The PEM goes through memory that is wiped when it is freed (a secure-heap BIO).
    std::unique_ptr<BIO, BioFree> pem(BIO_new(BIO_s_secmem()));
    char* data = nullptr;
    long size = 0;
    if (!pem ||
        PEM_write_bio_PrivateKey(pem.get(), key.get(), nullptr, nullptr, 0, nullptr, nullptr) !=
            1 ||
        (size = BIO_get_mem_data(pem.get(), &data)) <= 0) {
        error = "cannot write the key as PEM";
        return false;
    }
    key_path = dir + "/update-key.pem";
    // A publisher's key is never replaced by accident.
    if (!create_owner_only_file(key_path, std::string_view(data, static_cast<size_t>(size)), error))
        return false;
    public_hex = hex_lower(std::string_view(reinterpret_cast<const char*>(point + 1), 64));
    return true;
}

bool sign_update(const std::string& key_path, const std::string& file, const std::string& version,
                 std::string& signature, std::string& error) {
    FILE* f = std::fopen(key_path.c_str(), "r");
    if (!f) {
        error = "update-key: cannot read " + key_path + ": " + std::strerror(errno);
        return false;
    }
    Pkey key(PEM_read_PrivateKey(f, nullptr, nullptr, nullptr));
    std::fclose(f);
    if (!key || !is_p256(key.get())) {
        error = "update-key " + key_path + " is not a P-256 private key in PEM";
        return false;
    }
    std::string digest_hex;
    if (!file_sha256_hex(file, digest_hex)) {
        error = "update-file: cannot read " + file + ": " + std::strerror(errno);
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

bool update_signature(const UpdateSigning& signing, std::string& out, std::string& error) {
    out.clear();
    if (!signing.key_file.empty())
        return sign_update(signing.key_file, signing.file, signing.version, out, error);
    std::string why;
    if (!signing.signature_file.empty() && !read_whole_file(signing.signature_file, out, &why)) {
        error = "update-signature: cannot read " + signing.signature_file + ": " + why;
        return false;
    }
    if (!signing.signature_file.empty() && out.size() != 64) {
        error =
            "update-signature: " + signing.signature_file + " is not a 64-byte update signature";
        return false;
    }
    return true;
}

} // namespace server
