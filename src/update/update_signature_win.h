#pragma once

#include <windows.h>

#include <atomic>
#include <cstdint>
#include <string>

// The publisher's signature on an update, checked with CNG: P-256 ECDSA over
// the SHA-256 of the signed message (update/update_trust.h), which names the
// file by its SHA-256 (update/sha256.h).
namespace update_signature {

// SHA-256 of the first `length` bytes of the open `file` (32 bytes); empty
// when the file cannot be read or `cancel` becomes true meanwhile.
std::string file_digest(HANDLE file, int64_t length, const std::atomic<bool>& cancel);

// True when `signature` (64 bytes, r then s) is `public_key`'s (64 bytes, X
// then Y) signature of `message`. Otherwise false, and `why` says what failed.
bool verify(const std::string& public_key, const std::string& message, const std::string& signature,
            std::wstring& why);

} // namespace update_signature
