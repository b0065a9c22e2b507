#include "base/text.h"

#include "base/crypto.h"

#include <cstdlib>

namespace server {

bool has_control_bytes(const std::string& s) {
    for (unsigned char c : s) {
        if (c < 0x20 || c == 0x7F)
            return true;
    }
    return false;
}

bool valid_credential(const std::string& s) {
    return s.size() >= 6 && s.size() <= 16 && !has_control_bytes(s);
}

bool parse_integer(const std::string& s, int64_t& out) {
    if (s.empty() || s.size() > 18)
        return false;
    for (char c : s) {
        if (c < '0' || c > '9')
            return false;
    }
    out = std::strtoll(s.c_str(), nullptr, 10);
    return true;
}

bool percent_decode(const std::string& in, bool plus_is_space, std::string& out) {
    out.clear();
    for (size_t i = 0; i < in.size(); ++i) {
        if (in[i] == '+' && plus_is_space) {
            out += ' ';
        } else if (in[i] == '%') {
            const int hi = i + 2 < in.size() ? hex_digit_value(in[i + 1]) : -1;
            const int lo = i + 2 < in.size() ? hex_digit_value(in[i + 2]) : -1;
            if (hi < 0 || lo < 0)
                return false;
            out += static_cast<char>(hi * 16 + lo);
            i += 2;
        } else {
            out += in[i];
        }
    }
    return true;
}

} // namespace server
