#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

// Portable arithmetic of a ranged download: header parsing, the split of a
// file into parts and the comparison of the answers' validators.
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

// The validators of one answer, as its header values ("" when absent).
struct Validators {
    std::string etag;
    std::string last_modified;
};

// What later part requests send as If-Range: a strong ETag, else the
// Last-Modified date; "" when the answer has neither (a weak ETag cannot be
// used), and such a file is fetched in one answer so that no two revisions
// can be mixed.
std::string if_range_value(const Validators& v);

// True when `later` names the same revision of the file as `first`: the header
// that gave `first` its If-Range value is present in `later` with the same
// value. False when `first` has no usable validator.
bool same_revision(const Validators& first, const Validators& later);

} // namespace download
