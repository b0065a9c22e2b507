#include "handshake/version_order.h"

namespace version_order {
namespace {

bool is_digit(char c) {
    return c >= '0' && c <= '9';
}

// The next component of `rest` (consumed with its dot); "0" once `rest` is used up.
std::string_view next_component(std::string_view& rest) {
    if (rest.empty()) {
        return "0";
    }
    const size_t dot = rest.find('.');
    std::string_view c = rest.substr(0, dot);
    rest = dot == std::string_view::npos ? std::string_view() : rest.substr(dot + 1);
    return c;
}

// Two digit strings as whole numbers: without their leading zeros the longer
// is the larger, and of two as long the first differing digit decides.
int compare_numbers(std::string_view a, std::string_view b) {
    const size_t a0 = a.find_first_not_of('0');
    const size_t b0 = b.find_first_not_of('0');
    a = a0 == std::string_view::npos ? std::string_view() : a.substr(a0);
    b = b0 == std::string_view::npos ? std::string_view() : b.substr(b0);
    if (a.size() != b.size()) {
        return a.size() < b.size() ? -1 : 1;
    }
    const int c = a.compare(b);
    return c < 0 ? -1 : (c > 0 ? 1 : 0);
}

} // namespace

bool well_formed(std::string_view v) {
    bool digit_before = false; // the current component has a digit
    for (char c : v) {
        if (is_digit(c)) {
            digit_before = true;
        } else if (c == '.' && digit_before) {
            digit_before = false;
        } else {
            return false;
        }
    }
    return digit_before;
}

std::optional<int> compare(std::string_view a, std::string_view b) {
    if (!well_formed(a) || !well_formed(b)) {
        return std::nullopt;
    }
    while (!a.empty() || !b.empty()) {
        const std::string_view ca = next_component(a);
        const std::string_view cb = next_component(b);
        if (const int c = compare_numbers(ca, cb)) {
            return c;
        }
    }
    return 0;
}

} // namespace version_order
