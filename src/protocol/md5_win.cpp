#include "protocol/md5_win.h"

#include <windows.h>
#include <wincrypt.h>

#include "protocol/request.h"

namespace {

class CryptContext {
public:
    CryptContext() = default;
    ~CryptContext() {
        if (handle != 0) {
            CryptReleaseContext(handle, 0);
        }
    }
    CryptContext(const CryptContext&) = delete;
    CryptContext& operator=(const CryptContext&) = delete;
    HCRYPTPROV handle = 0;
};

class CryptHash {
public:
    CryptHash() = default;
    ~CryptHash() {
        if (handle != 0) {
            CryptDestroyHash(handle);
        }
    }
    CryptHash(const CryptHash&) = delete;
    CryptHash& operator=(const CryptHash&) = delete;
    HCRYPTHASH handle = 0;
};

} // namespace

std::string md5_hex(std::string_view bytes, bool upper_case, bool short_form) {
    // Declared before the hash so that the hash is destroyed first.
    CryptContext context;
    // No key container is needed for hashing; the second attempt covers systems
    // where a verification-only context cannot be had.
    if (!CryptAcquireContextA(&context.handle, nullptr, nullptr, PROV_RSA_FULL,
                              CRYPT_VERIFYCONTEXT) &&
        !CryptAcquireContextA(&context.handle, nullptr, nullptr, PROV_RSA_FULL, 0)) {
        context.handle = 0;
        return "";
    }
    CryptHash hash;
    if (!CryptCreateHash(context.handle, CALG_MD5, 0, 0, &hash.handle)) {
        hash.handle = 0;
        return "";
    }
    // One call in practice; pieces only for inputs beyond what a DWORD counts.
    const auto* data = reinterpret_cast<const BYTE*>(bytes.data());
    size_t left = bytes.size();
    do {
        DWORD piece = left > 0x40000000 ? 0x40000000 : static_cast<DWORD>(left);
        if (!CryptHashData(hash.handle, data, piece, 0)) {
            return "";
        }
        data += piece;
        left -= piece;
    } while (left > 0);
    unsigned char digest[16];
    DWORD length = sizeof digest;
    if (!CryptGetHashParam(hash.handle, HP_HASHVAL, digest, &length, 0) || length != 16) {
        return "";
    }
    return digest_hex(digest, upper_case, short_form);
}
