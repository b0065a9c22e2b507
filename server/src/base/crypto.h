// Hashes, MACs, random bytes, hexadecimal and base64url from libcrypto. Pure
// functions: any thread. What libcrypto cannot do throws std::runtime_error, as each
// says; a text that does not decode is false or -1.
#pragma once

#include <string>
#include <string_view>

namespace server {

// Lower-case hexadecimal MD5 of the bytes, or of `first` followed by `second` (32
// characters); the two-part form hashes a password without copying it next to the
// challenge.
std::string md5_hex(std::string_view first, std::string_view second = std::string_view());

// `length` characters drawn uniformly from `alphabet` with the system's secure generator.
// Throws std::runtime_error when the generator fails.
std::string random_text(size_t length, const std::string& alphabet);

// Equality that takes the same time wherever the texts differ.
bool equal_in_constant_time(const std::string& a, const std::string& b);

// `n` bytes from the system's secure generator; throws std::runtime_error when it fails.
std::string random_bytes(size_t n);

// The 20 raw bytes of SHA-1: only to look a password up in a breach corpus, whose
// lines are SHA-1 hashes; never to protect anything. Throws when unavailable.
std::string sha1(std::string_view bytes);

// The 32 raw bytes of SHA-256 and of HMAC-SHA-256 under `key`; throw when unavailable.
std::string sha256(const std::string& bytes);
std::string hmac_sha256(const std::string& key, const std::string& bytes);

// Padded base64 (RFC 4648 section 4), one line.
std::string base64(const std::string& bytes);
// Unpadded base64url (RFC 4648 section 5).
std::string base64url(const std::string& bytes);
// False for anything but unpadded base64url in its one canonical spelling (the
// unused low bits of the last character zero), so no two texts decode alike.
bool from_base64url(const std::string& text, std::string& bytes);

// The bytes as lower-case hexadecimal, two digits each.
std::string hex_lower(std::string_view bytes);

// The value of a hexadecimal digit of either case, or -1.
int hex_digit_value(char c);

} // namespace server
