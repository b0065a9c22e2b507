#include "protocol/md5_win.h"

#include "platform/handles_win.h"
#include "protocol/request.h"

std::string md5_hex(std::string_view bytes, bool upper_case, bool short_form) {
    // Declared before the hash so that the hash is destroyed first.
    platform::CryptContext context;
    // No key container is needed for hashing; the second attempt covers systems
    // where a verification-only context cannot be had.
    HCRYPTPROV provider = 0;
    if (!CryptAcquireContextA(&provider, nullptr, nullptr, PROV_RSA_FULL, CRYPT_VERIFYCONTEXT) &&
        !CryptAcquireContextA(&provider, nullptr, nullptr, PROV_RSA_FULL, 0)) {
        return "";
    }
    context.reset(provider);
    HCRYPTHASH created = 0;
    if (!CryptCreateHash(context.get(), CALG_MD5, 0, 0, &created)) {
        return "";
    }
    platform::CryptHash hash(created);
    // One call in practice; pieces only for inputs beyond what a DWORD counts.
    const auto* data = reinterpret_cast<const BYTE*>(bytes.data());
    size_t left = bytes.size();
    do {
        DWORD piece = left > 0x40000000 ? 0x40000000 : static_cast<DWORD>(left);
        if (!CryptHashData(hash.get(), data, piece, 0)) {
            return "";
        }
        data += piece;
        left -= piece;
    } while (left > 0);
    unsigned char digest[16];
    DWORD length = sizeof digest;
    if (!CryptGetHashParam(hash.get(), HP_HASHVAL, digest, &length, 0) || length != 16) {
        return "";
    }
    return digest_hex(digest, upper_case, short_form);
}
