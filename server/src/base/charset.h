// Conversions between UTF-8 (source code, command line, log) and GBK (the wire), and
// the rules of both encodings. Pure functions: any thread (each thread keeps its own
// converters). Nothing throws but std::bad_alloc; text that does not convert is
// nothing, false or replaced, as each says.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

namespace server {

// UTF-8 to GBK; nothing when the text is not UTF-8 or has a character GBK lacks.
std::optional<std::string> utf8_to_gbk(const std::string& utf8);

// GBK to UTF-8; nothing when the bytes are not GBK.
std::optional<std::string> gbk_to_utf8(const std::string& gbk);

// The length (1 to 4) of the UTF-8 character that starts at `i` (< s.size()); 0 when
// the bytes there are not one: a stray byte, a sequence cut short, an overlong form,
// a surrogate or past U+10FFFF.
size_t utf8_char_length(const std::string& s, size_t i);

// True when the bytes are UTF-8 (shortest forms, no surrogates).
bool valid_utf8(const std::string& bytes);

// True when the bytes are whole GBK characters: ASCII, or a lead byte 0x81-0xFE
// followed by a trail byte 0x40-0x7E or 0x80-0xFE.
bool well_formed_gbk(const std::string& bytes);

// A mail address as it is compared (the per-address interval and daily cap): ASCII
// letters in lower case, the local part too, as the large mail providers treat it.
// In GBK a trail byte may be an ASCII letter, so characters are walked, not bytes.
std::string fold_address_gbk(const std::string& gbk);
// The same for UTF-8, whose multi-byte characters hold no ASCII byte.
std::string fold_address_utf8(const std::string& utf8);

// Where the ASCII character `c` stands as a character of its own in GBK `bytes`, at
// `from` (a character's start) or after; never the second byte of a pair, which may
// be any of 0x40-0x7E. npos when it is nowhere.
size_t find_in_gbk(const std::string& bytes, char c, size_t from = 0);

// GBK to UTF-8 whatever the bytes: what does not convert (a lone lead byte, an
// unassigned pair) becomes U+FFFD, one per byte, and the rest converts as it is.
std::string gbk_to_utf8_replacing(const std::string& gbk);

// A client-supplied GBK text made safe for one log line: UTF-8 when it converts,
// control characters and unconvertible bytes written as \xNN.
std::string printable(const std::string& gbk);
// Whether `text` is printable ASCII without a backslash: what printable() keeps as it is.
bool is_printable_ascii(std::string_view text);

} // namespace server
