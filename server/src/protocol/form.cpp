#include "protocol/form.h"

#include "base/text.h"

#include <array>
#include <string_view>

namespace server {
namespace {

// The fields' names with their "=", in the order of Field.
constexpr std::array<std::string_view, static_cast<size_t>(Field::Count)> kFieldKeys = {
    "cmd=", "u=", "p=", "q=", "n=", "emily="};

// The field whose name (with its "=") starts at `pos`, and that name's length (0: none).
size_t field_name_at(const std::string& body, size_t pos, Field& field) {
    for (size_t i = 0; i < kFieldKeys.size(); ++i) {
        if (std::string_view(body).substr(pos, kFieldKeys[i].size()) == kFieldKeys[i]) {
            field = static_cast<Field>(i);
            return kFieldKeys[i].size();
        }
    }
    return 0;
}

} // namespace

FormError parse_form(const std::string& body, Form& form) {
    form.clear();
    if (body.find('\0') != std::string::npos)
        return FormError::IllegalBytes;
    if (std::string_view(body).substr(0, 4) != "cmd=")
        return FormError::BadRequest;

    Field field = Field::Cmd;
    size_t name_start = 0;
    size_t name_len = 4;
    while (true) {
        const size_t value_start = name_start + name_len;
        size_t next = value_start;
        size_t next_len = 0;
        Field next_field = Field::Cmd;
        while ((next = body.find('&', next)) != std::string::npos) {
            next_len = field_name_at(body, next + 1, next_field);
            if (next_len != 0)
                break;
            ++next;
        }
        const size_t value_end = next == std::string::npos ? body.size() : next;
        if (field == Field::U) {
            std::string decoded;
            FormError e =
                !percent_decode(body.substr(value_start, value_end - value_start), false, decoded)
                    ? FormError::BadRequest
                : decoded.find('\0') != std::string::npos ? FormError::IllegalBytes
                                                          : FormError::None;
            if (e != FormError::None)
                return e;
            std::string* slot = form.claim(field);
            if (!slot)
                return FormError::BadRequest;
            *slot = std::move(decoded);
        } else {
            std::string* slot = form.claim(field);
            if (!slot)
                return FormError::BadRequest;
            slot->assign(body, value_start, value_end - value_start);
        }
        if (next == std::string::npos)
            break;
        name_start = next + 1;
        name_len = next_len;
        field = next_field;
    }
    return FormError::None;
}

} // namespace server
