#pragma once

#include <string>
#include <string_view>
#include <vector>

// Splits the server's status answer at "|". The text is GBK: a byte of 0x80 or
// above and the byte after it are one character, so a "|" inside a character
// is never a separator. Consecutive separators give empty fields; the rest
// after the last separator is a field only when it is not empty, so a trailing
// separator adds none; "" gives no fields.
std::vector<std::string> split_status_record(std::string_view answer);

// The status record holds exactly this many fields when it is valid.
inline constexpr size_t kStatusFieldCount = 8;

// Field `n` counted from 1, or "" when the record has no such field.
std::string status_field(const std::vector<std::string>& record, size_t n);
