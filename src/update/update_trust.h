#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

// Portable checks that decide whether a downloaded update may replace the
// program: the signed message, the publisher's key as configured, and the
// header of a Windows x64 program.
namespace update_trust {

inline constexpr size_t kDigestSize = 32;    // SHA-256
inline constexpr size_t kSignatureSize = 64; // r then s, 32 bytes each, big-endian
inline constexpr size_t kPublicKeySize = 64; // X then Y, 32 bytes each, big-endian

// "tarnix-update:" + version + ":" + the lower-case hex of the file's SHA-256.
// The version is bound in so that a validly signed older build cannot be
// passed off as the announced one. Empty when `digest` is not 32 bytes.
std::string signed_message(std::string_view version, std::string_view digest);

// The public key from its configured text: exactly 128 hex digits (either
// case), X then Y. Empty text gives an empty key (no signature required);
// anything else that is not 128 hex digits is rejected.
bool parse_public_key(std::string_view hex, std::string& key);

// How many leading bytes of a file `is_windows_x64_program` needs at most.
inline constexpr size_t kProgramHeaderBytes = 64 * 1024;

// True when `data` (the first bytes of a file, at most kProgramHeaderBytes of
// it) starts a Windows x64 program: "MZ", the offset at 0x3C naming a "PE\0\0"
// signature inside `data`, followed by the machine type AMD64 (0x8664).
bool is_windows_x64_program(const unsigned char* data, size_t size);

} // namespace update_trust
