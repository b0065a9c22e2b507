#include "base/text.h"

#include "base/crypto.h"

#include <cstdlib>

namespace server {

bool is_ascii(const std::string& s) {
    for (unsigned char c : s) {
        if (c >= 0x80)
            return false;
    }
    return true;
}

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

bool split_host_port(const std::string& v, std::string& host, int& port) {
    const size_t colon = v.rfind(':');
    if (colon == std::string::npos || colon == 0 || colon + 1 == v.size() || colon + 6 < v.size())
        return false;
    host = v.substr(0, colon);
    if (host.front() == '[' && host.back() == ']')
        host = host.substr(1, host.size() - 2);
    else if (host.find(':') != std::string::npos)
        return false;
    port = 0;
    for (char c : v.substr(colon + 1)) {
        if (c < '0' || c > '9')
            return false;
        port = port * 10 + (c - '0');
    }
    return !host.empty() && port <= 65535;
}

std::string trim(const std::string& s, const char* blanks) {
    const size_t first = s.find_first_not_of(blanks);
    if (first == std::string::npos)
        return std::string();
    return s.substr(first, s.find_last_not_of(blanks) - first + 1);
}

std::vector<std::string> cookie_values(const std::string& header, const std::string& name,
                                       size_t max) {
    std::vector<std::string> values;
    for (size_t at = 0; at <= header.size() && values.size() < max;) {
        size_t end = header.find(';', at);
        if (end == std::string::npos)
            end = header.size();
        const size_t eq = header.find('=', at);
        if (eq != std::string::npos && eq < end && trim(header.substr(at, eq - at)) == name)
            values.push_back(trim(header.substr(eq + 1, end - eq - 1)));
        at = end + 1;
    }
    return values;
}

} // namespace server
