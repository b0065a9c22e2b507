#pragma once

#include <string>
#include <string_view>

// The account protocol's texts: request bodies, field encoding and the reading of
// answers. All texts are GBK byte strings; lengths are bytes.

// The form body of a request: "cmd=" + command + parameters, where parameters
// are zero or more "&name=value" fields.
std::string request_body(std::string_view command, std::string_view parameters = "");

// Letters, digits, "-" and "." are kept; every other byte becomes "%XX" with
// upper-case hexadecimal digits (a space is "%20", never "+").
std::string url_encode(std::string_view text);

// The answer carried by a response body: its bytes up to the first NUL byte.
std::string answer_from_body(std::string_view body);

// Exact comparison of an answer with an expected text (same length, same bytes).
bool answer_is(std::string_view answer, std::string_view expected);

// A 16-byte digest as hexadecimal text: 32 characters, or with `short_form` the
// 16 in the middle (positions 9 to 24 counted from 1); lower case unless
// `upper_case`.
std::string digest_hex(const unsigned char (&digest)[16], bool upper_case = false,
                       bool short_form = false);
