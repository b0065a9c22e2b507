#include "update/update_signature_win.h"

#include "platform/handles_win.h"
#include "update/download_file_win.h"
#include "update/sha256.h"
#include "update/update_trust.h"

#include <bcrypt.h>

#include <algorithm>
#include <cstring>
#include <vector>

namespace update_signature {
namespace {

constexpr DWORD kHashReadSize = 1024 * 1024;

// The provider of `id`; empty when it is not available.
platform::BCryptAlgorithm open_algorithm(const wchar_t* id) {
    platform::BCryptAlgorithm a;
    if (BCryptOpenAlgorithmProvider(a.out(), id, nullptr, 0) < 0) {
        a.reset();
    }
    return a;
}

} // namespace

std::string file_digest(HANDLE file, int64_t length, const std::atomic<bool>& cancel) {
    // Not CNG: under Wine its SHA-256 is slower than the download itself.
    sha256::Hasher hash;
    std::vector<char> buf(kHashReadSize);
    for (int64_t at = 0; at < length;) {
        if (cancel.load()) {
            return std::string();
        }
        const DWORD want = static_cast<DWORD>(std::min<int64_t>(kHashReadSize, length - at));
        DWORD got = 0;
        if (!part_file::read_at(file, at, buf.data(), want, got) || got == 0) {
            return std::string();
        }
        hash.update(buf.data(), got);
        at += got;
    }
    return hash.finish();
}

bool verify(const std::string& public_key, const std::string& message, const std::string& signature,
            std::wstring& why) {
    if (public_key.size() != update_trust::kPublicKeySize) {
        why = L"no usable public key";
        return false;
    }
    if (signature.size() != update_trust::kSignatureSize) {
        why = L"the signature is " + std::to_wstring(signature.size()) + L" bytes, not 64";
        return false;
    }
    platform::BCryptAlgorithm ecdsa = open_algorithm(BCRYPT_ECDSA_P256_ALGORITHM);
    platform::BCryptAlgorithm sha = open_algorithm(BCRYPT_SHA256_ALGORITHM);
    if (!ecdsa || !sha) {
        why = L"P-256 ECDSA or SHA-256 is not available";
        return false;
    }
    std::vector<unsigned char> blob(sizeof(BCRYPT_ECCKEY_BLOB) + public_key.size());
    auto* header = reinterpret_cast<BCRYPT_ECCKEY_BLOB*>(blob.data());
    header->dwMagic = BCRYPT_ECDSA_PUBLIC_P256_MAGIC;
    header->cbKey = static_cast<ULONG>(public_key.size() / 2);
    memcpy(blob.data() + sizeof(BCRYPT_ECCKEY_BLOB), public_key.data(), public_key.size());
    platform::BCryptKey key;
    if (BCryptImportKeyPair(ecdsa.get(), nullptr, BCRYPT_ECCPUBLIC_BLOB, key.out(), blob.data(),
                            static_cast<ULONG>(blob.size()), 0) < 0) {
        why = L"the built-in public key is not a P-256 key";
        return false;
    }
    unsigned char digest[update_trust::kDigestSize];
    if (BCryptHash(sha.get(), nullptr, 0,
                   reinterpret_cast<PUCHAR>(const_cast<char*>(message.data())),
                   static_cast<ULONG>(message.size()), digest, sizeof(digest)) < 0) {
        why = L"the message could not be hashed";
        return false;
    }
    std::string sig = signature;
    NTSTATUS status =
        BCryptVerifySignature(key.get(), nullptr, digest, sizeof(digest),
                              reinterpret_cast<PUCHAR>(&sig[0]), static_cast<ULONG>(sig.size()), 0);
    if (status != 0) {
        wchar_t code[16];
        wsprintfW(code, L"0x%08X", static_cast<unsigned>(status));
        why = std::wstring(L"the signature does not match (") + code + L")";
        return false;
    }
    return true;
}

} // namespace update_signature
