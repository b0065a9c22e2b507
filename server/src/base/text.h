// Small text rules and parsers shared by the protocol, the pages, the settings and
// the operator's commands. Pure functions: any thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace server {

// True when every byte is ASCII (below 0x80).
bool is_ascii(const std::string& s);

// True when the bytes hold a control character (below 0x20, or 0x7F).
bool has_control_bytes(const std::string& s);

// Account names and passwords (GBK): 6 to 16 bytes, nothing the client could not
// have typed (no control bytes).
bool valid_credential(const std::string& gbk);

// A whole number of at most 18 digits, no sign: what a numeric setting (or an
// admin command's id) may be.
bool parse_integer(const std::string& s, int64_t& out);

// Percent escapes decoded (and '+' as a space when `plus_is_space`, as browsers send
// forms); false for an escape that is not two hexadecimal digits.
bool percent_decode(const std::string& in, bool plus_is_space, std::string& out);

// "HOST:PORT" (an IPv6 host in brackets) into its parts, the brackets left out;
// false when it is not one.
bool split_host_port(const std::string& v, std::string& host, int& port);

// `s` without the characters of `blanks` at its start and end.
std::string trim(const std::string& s, const char* blanks = " \t");

// The values of the cookies named `name` in a Cookie header, in their order, at most
// `max` of them; names and values without the blanks around them. A pair without
// '=' is passed over.
std::vector<std::string> cookie_values(const std::string& header, const std::string& name,
                                       size_t max);

} // namespace server
