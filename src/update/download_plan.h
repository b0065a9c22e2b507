#pragma once

#include <cstdint>
#include <string_view>
#include <vector>

// Portable arithmetic of a ranged download: header parsing and the split of a
// file into parts.
namespace download {

// "bytes first-last/total" (RFC 9110 Content-Range of a 206). False for anything
// else, including an unknown total ("*") and first > last or last >= total.
bool parse_content_range(std::string_view value, int64_t& first, int64_t& last, int64_t& total);

// A decimal Content-Length without sign or spaces inside; false otherwise.
bool parse_content_length(std::string_view value, int64_t& length);

struct Part {
    int64_t start = 0;
    int64_t length = 0;
};

// Splits [from, total) into at most `connections` parts of at least
// `min_part_size` bytes each (the last part takes the remainder). Nothing to
// split gives no part; fewer bytes than two minimum parts give one part.
std::vector<Part> split_parts(int64_t from, int64_t total, int32_t connections,
                              int64_t min_part_size);

} // namespace download
