#include "update/download_plan.h"

#include <algorithm>
#include <limits>

namespace download {
namespace {

// Reads an unsigned decimal at `pos`; at least one digit, no overflow.
bool read_number(std::string_view s, size_t& pos, int64_t& out) {
    size_t start = pos;
    int64_t v = 0;
    while (pos < s.size() && s[pos] >= '0' && s[pos] <= '9') {
        int digit = s[pos] - '0';
        if (v > (std::numeric_limits<int64_t>::max() - digit) / 10) {
            return false;
        }
        v = v * 10 + digit;
        ++pos;
    }
    out = v;
    return pos > start;
}

std::string_view trim_blanks(std::string_view s) {
    while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) {
        s.remove_prefix(1);
    }
    while (!s.empty() &&
           (s.back() == ' ' || s.back() == '\t' || s.back() == '\r' || s.back() == '\n')) {
        s.remove_suffix(1);
    }
    return s;
}

} // namespace

bool parse_content_range(std::string_view value, int64_t& first, int64_t& last, int64_t& total) {
    std::string_view s = trim_blanks(value);
    constexpr std::string_view kUnit = "bytes";
    if (s.size() < kUnit.size() || s.substr(0, kUnit.size()) != kUnit) {
        return false;
    }
    size_t pos = kUnit.size();
    if (pos >= s.size() || s[pos] != ' ') {
        return false;
    }
    while (pos < s.size() && s[pos] == ' ') {
        ++pos;
    }
    int64_t a = 0, b = 0, t = 0;
    if (!read_number(s, pos, a) || pos >= s.size() || s[pos++] != '-') {
        return false;
    }
    if (!read_number(s, pos, b) || pos >= s.size() || s[pos++] != '/') {
        return false;
    }
    if (!read_number(s, pos, t) || pos != s.size()) {
        return false;
    }
    if (a > b || b >= t) {
        return false;
    }
    first = a;
    last = b;
    total = t;
    return true;
}

bool parse_content_length(std::string_view value, int64_t& length) {
    std::string_view s = trim_blanks(value);
    size_t pos = 0;
    int64_t v = 0;
    if (!read_number(s, pos, v) || pos != s.size()) {
        return false;
    }
    length = v;
    return true;
}

std::vector<Part> split_parts(int64_t from, int64_t total, int32_t connections,
                              int64_t min_part_size) {
    std::vector<Part> parts;
    if (from < 0 || total <= from) {
        return parts;
    }
    int64_t remaining = total - from;
    int64_t min_size = std::max<int64_t>(min_part_size, 1);
    int64_t n = std::max<int64_t>(1, std::min<int64_t>(connections, remaining / min_size));
    int64_t size = remaining / n;
    for (int64_t i = 0; i < n; ++i) {
        int64_t start = from + i * size;
        int64_t length = (i == n - 1) ? total - start : size;
        parts.push_back(Part{start, length});
    }
    return parts;
}

namespace {
bool strong_etag(std::string_view etag) {
    return etag.size() >= 2 && etag.front() == '"' && etag.back() == '"';
}
} // namespace

std::string if_range_value(const Validators& v) {
    std::string_view etag = trim_blanks(v.etag);
    if (strong_etag(etag)) {
        return std::string(etag);
    }
    return std::string(trim_blanks(v.last_modified));
}

bool same_revision(const Validators& first, const Validators& later) {
    if (strong_etag(trim_blanks(first.etag))) {
        return trim_blanks(first.etag) == trim_blanks(later.etag);
    }
    std::string_view date = trim_blanks(first.last_modified);
    return !date.empty() && date == trim_blanks(later.last_modified);
}

} // namespace download
