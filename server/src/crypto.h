// MD5 and random texts from libcrypto.
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

} // namespace server
