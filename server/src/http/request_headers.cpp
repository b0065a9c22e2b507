#include "http/request_headers.h"

#include <cstring>
#include <string_view>

namespace server {
namespace {

// Whether the header value `value` holds `token` (lower-case letters and '-'),
// ignoring the letter case of `value`.
bool has_token(const char* value, const char* token) {
    for (const char* p = value; *p; ++p) {
        size_t i = 0;
        // Setting the 0x20 bit lower-cases a letter and keeps '-'; the only other
        // bytes it maps onto these are control bytes, which no header value holds.
        while (token[i] && (p[i] | 0x20) == token[i])
            ++i;
        if (!token[i])
            return true;
    }
    return false;
}

// Whether `text` (of `size` bytes) is `name` (lower-case letters and '-'),
// ignoring its letter case (as has_token).
bool same_lower(const char* text, size_t size, std::string_view name) {
    if (size != name.size())
        return false;
    for (size_t i = 0; i < size; ++i) {
        if ((text[i] | 0x20) != name[i])
            return false;
    }
    return true;
}

MHD_Result find_framing(void* cls, MHD_ValueKind, const char* key, size_t key_size,
                        const char* value, size_t) {
    auto* found = static_cast<FramingHeaders*>(cls);
    // The first of each counts, as the library's own lookup would find it.
    if (!found->connection && same_lower(key, key_size, "connection"))
        found->connection = value;
    else if (!found->content_length && same_lower(key, key_size, "content-length"))
        found->content_length = value;
    return MHD_YES;
}

} // namespace

uint64_t declared_length(const char* value) {
    uint64_t n = 0;
    for (size_t i = 0; value[i] >= '0' && value[i] <= '9'; ++i) {
        if (i == 15)
            return UINT64_MAX;
        n = n * 10 + static_cast<uint64_t>(value[i] - '0');
    }
    return n;
}

FramingHeaders framing_headers(MHD_Connection* c) {
    FramingHeaders found;
    MHD_get_connection_values_n(c, MHD_HEADER_KIND, &find_framing, &found);
    return found;
}

bool client_closes(const char* version, const char* connection) {
    bool close = false;
    bool keep = false;
    if (connection) {
        // The value is nearly always one word: compared whole before it is searched.
        const size_t size = std::strlen(connection);
        if (same_lower(connection, size, "keep-alive")) {
            keep = true;
        } else if (same_lower(connection, size, "close")) {
            close = true;
        } else {
            close = has_token(connection, "close");
            keep = has_token(connection, "keep-alive");
        }
    }
    return close || (!keep && !(version && std::strcmp(version, MHD_HTTP_VERSION_1_1) == 0));
}

} // namespace server
