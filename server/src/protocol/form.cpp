#include "protocol/form.h"

#include "base/text.h"

#include <array>

namespace server {
namespace {

const std::array<const char*, 6> kFieldNames = {"cmd", "u", "p", "q", "n", "emily"};

// Length of the field name (with its "=") that starts at `pos`, or 0.
size_t field_name_at(const std::string& body, size_t pos) {
    for (const char* name : kFieldNames) {
        std::string key = std::string(name) + "=";
        if (body.compare(pos, key.size(), key) == 0)
            return key.size();
    }
    return 0;
}

} // namespace

FormError parse_form(const std::string& body, Form& form) {
    form.clear();
    if (body.find('\0') != std::string::npos)
        return FormError::IllegalBytes;
    if (body.compare(0, 4, "cmd=") != 0)
        return FormError::BadRequest;

    size_t name_start = 0;
    size_t name_len = 4;
    while (true) {
        size_t value_start = name_start + name_len;
        size_t next = value_start;
        size_t next_len = 0;
        while ((next = body.find('&', next)) != std::string::npos) {
            next_len = field_name_at(body, next + 1);
            if (next_len != 0)
                break;
            ++next;
        }
        size_t value_end = next == std::string::npos ? body.size() : next;
        std::string name = body.substr(name_start, name_len - 1);
        std::string value = body.substr(value_start, value_end - value_start);
        if (name == "u") {
            std::string decoded;
            FormError e = !percent_decode(value, false, decoded)    ? FormError::BadRequest
                          : decoded.find('\0') != std::string::npos ? FormError::IllegalBytes
                                                                    : FormError::None;
            if (e != FormError::None)
                return e;
            value = decoded;
        }
        if (!form.emplace(name, value).second)
            return FormError::BadRequest;
        if (next == std::string::npos)
            break;
        name_start = next + 1;
        name_len = next_len;
    }
    return FormError::None;
}

} // namespace server
