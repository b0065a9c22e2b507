#include "base/charset.h"

#include <cstdio>
#include <cstring>
#include <vector>

#ifdef _WIN32
#include <windows.h>
#else
#include <cerrno>
#include <iconv.h>
#endif

namespace server {
namespace {

#ifdef _WIN32
std::optional<std::string> convert(const std::string& in, unsigned from, unsigned to) {
    if (in.empty())
        return std::string();
    int wide = MultiByteToWideChar(from, MB_ERR_INVALID_CHARS, in.data(),
                                   static_cast<int>(in.size()), nullptr, 0);
    if (wide <= 0)
        return std::nullopt;
    std::wstring w(static_cast<size_t>(wide), L'\0');
    MultiByteToWideChar(from, MB_ERR_INVALID_CHARS, in.data(), static_cast<int>(in.size()),
                        w.data(), wide);
    BOOL lossy = FALSE;
    BOOL* lossy_ptr = to == CP_UTF8 ? nullptr : &lossy;
    DWORD flags = to == CP_UTF8 ? 0 : WC_NO_BEST_FIT_CHARS;
    int n = WideCharToMultiByte(to, flags, w.data(), wide, nullptr, 0, nullptr, lossy_ptr);
    if (n <= 0 || lossy)
        return std::nullopt;
    std::string out(static_cast<size_t>(n), '\0');
    WideCharToMultiByte(to, flags, w.data(), wide, out.data(), n, nullptr, lossy_ptr);
    return out;
}
#else
// iconv_open loads its tables at every call, which showed as a tenth of a request's
// cost in a profile: each thread keeps one descriptor per direction.
class Converters {
public:
    ~Converters() {
        for (auto& c : open_)
            iconv_close(c.cd);
    }
    iconv_t get(const char* from, const char* to) {
        for (auto& c : open_) {
            if (std::strcmp(c.from, from) == 0 && std::strcmp(c.to, to) == 0) {
                iconv(c.cd, nullptr, nullptr, nullptr, nullptr); // back to the initial state
                return c.cd;
            }
        }
        iconv_t cd = iconv_open(to, from);
        if (cd != reinterpret_cast<iconv_t>(-1))
            open_.push_back(Open{from, to, cd});
        return cd;
    }

private:
    struct Open {
        const char* from;
        const char* to;
        iconv_t cd;
    };
    std::vector<Open> open_;
};

std::optional<std::string> convert(const std::string& in, const char* from, const char* to) {
    thread_local Converters converters;
    iconv_t cd = converters.get(from, to);
    if (cd == reinterpret_cast<iconv_t>(-1))
        return std::nullopt;
    std::string out;
    std::vector<char> buf(4 * in.size() + 16);
    char* src = const_cast<char*>(in.data());
    size_t src_left = in.size();
    bool ok = true;
    while (src_left > 0) {
        char* dst = buf.data();
        size_t dst_left = buf.size();
        size_t r = iconv(cd, &src, &src_left, &dst, &dst_left);
        out.append(buf.data(), buf.size() - dst_left);
        if (r == static_cast<size_t>(-1) && errno != E2BIG) {
            ok = false;
            break;
        }
    }
    if (!ok)
        return std::nullopt;
    return out;
}
#endif

// A byte that begins a two-byte GBK character.
bool gbk_lead(unsigned char c) {
    return c >= 0x81 && c <= 0xFE;
}

} // namespace

#ifdef _WIN32
std::optional<std::string> utf8_to_gbk(const std::string& utf8) {
    return convert(utf8, CP_UTF8, 936);
}
std::optional<std::string> gbk_to_utf8(const std::string& gbk) {
    return convert(gbk, 936, CP_UTF8);
}
#else
std::optional<std::string> utf8_to_gbk(const std::string& utf8) {
    return convert(utf8, "UTF-8", "GBK");
}
std::optional<std::string> gbk_to_utf8(const std::string& gbk) {
    return convert(gbk, "GBK", "UTF-8");
}
#endif

size_t utf8_char_length(const std::string& s, size_t i) {
    const auto at = [&](size_t k) { return static_cast<unsigned char>(s[k]); };
    const unsigned char c = at(i);
    if (c < 0x80)
        return 1;
    const size_t n = c >= 0xC2 && c <= 0xDF   ? 2
                     : c >= 0xE0 && c <= 0xEF ? 3
                     : c >= 0xF0 && c <= 0xF4 ? 4
                                              : 0;
    if (n == 0 || i + n > s.size())
        return 0;
    // The second byte's range rules out overlong forms (E0, F0), surrogates (ED) and
    // code points past U+10FFFF (F4).
    const unsigned char second = at(i + 1);
    const unsigned char low = c == 0xE0 ? 0xA0 : c == 0xF0 ? 0x90 : 0x80;
    const unsigned char high = c == 0xED ? 0x9F : c == 0xF4 ? 0x8F : 0xBF;
    if (second < low || second > high)
        return 0;
    for (size_t k = 2; k < n; ++k)
        if ((at(i + k) & 0xC0) != 0x80)
            return 0;
    return n;
}

bool valid_utf8(const std::string& bytes) {
    for (size_t i = 0; i < bytes.size();) {
        const size_t n = utf8_char_length(bytes, i);
        if (n == 0)
            return false;
        i += n;
    }
    return true;
}

bool well_formed_gbk(const std::string& bytes) {
    for (size_t i = 0; i < bytes.size(); ++i) {
        unsigned char c = static_cast<unsigned char>(bytes[i]);
        if (c < 0x80)
            continue;
        if (!gbk_lead(c) || i + 1 == bytes.size())
            return false;
        unsigned char t = static_cast<unsigned char>(bytes[++i]);
        if (t < 0x40 || t == 0x7F || t == 0xFF)
            return false;
    }
    return true;
}

namespace {
char lower_ascii(char c) {
    return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}
} // namespace

std::string fold_address_gbk(const std::string& gbk) {
    std::string out = gbk;
    for (size_t i = 0; i < out.size(); ++i) {
        if (gbk_lead(static_cast<unsigned char>(out[i])))
            ++i; // its trail byte is part of the character
        else
            out[i] = lower_ascii(out[i]);
    }
    return out;
}

std::string fold_address_utf8(const std::string& utf8) {
    std::string out = utf8;
    for (char& c : out)
        c = lower_ascii(c);
    return out;
}

size_t find_in_gbk(const std::string& bytes, char c, size_t from) {
    for (size_t i = from; i < bytes.size();
         i += gbk_lead(static_cast<unsigned char>(bytes[i])) ? 2 : 1) {
        if (bytes[i] == c)
            return i;
    }
    return std::string::npos;
}

std::string gbk_to_utf8_replacing(const std::string& gbk) {
    if (std::optional<std::string> whole = gbk_to_utf8(gbk))
        return *whole;
    // Character by character: a pair that converts is kept, a byte that does not
    // is replaced (and a trail byte after it is tried again as a character).
    static const char kReplacement[] = "\xEF\xBF\xBD";
    std::string out;
    for (size_t i = 0; i < gbk.size();) {
        const unsigned char c = static_cast<unsigned char>(gbk[i]);
        if (c < 0x80) {
            out += static_cast<char>(c);
            ++i;
            continue;
        }
        std::optional<std::string> pair;
        if (i + 1 < gbk.size())
            pair = gbk_to_utf8(gbk.substr(i, 2));
        if (pair) {
            out += *pair;
            i += 2;
        } else {
            out += kReplacement;
            ++i;
        }
    }
    return out;
}

bool is_printable_ascii(std::string_view text) {
    for (unsigned char c : text) {
        if (c < 0x20 || c >= 0x7F || c == '\\')
            return false;
    }
    return true;
}

std::string printable(const std::string& gbk) {
    if (is_printable_ascii(gbk)) // the same in GBK and UTF-8, and nothing to escape
        return gbk;
    std::optional<std::string> utf8 = gbk_to_utf8(gbk);
    const bool converted = utf8.has_value();
    const std::string& text = converted ? *utf8 : gbk;
    std::string out;
    for (unsigned char c : text) {
        if (c < 0x20 || c == 0x7F || (c >= 0x80 && !converted) || c == '\\') {
            char esc[8];
            std::snprintf(esc, sizeof esc, "\\x%02X", c);
            out += esc;
        } else {
            out += static_cast<char>(c);
        }
    }
    return out;
}

} // namespace server
