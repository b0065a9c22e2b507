#pragma once

#include <string>
#include <string_view>

// MD5 of `bytes` (CryptoAPI) as hexadecimal text: 32 characters, or 16 with
// `short_form`; lower case unless `upper_case`. "" when the platform's hash
// service is not available.
std::string md5_hex(std::string_view bytes, bool upper_case = false, bool short_form = false);
