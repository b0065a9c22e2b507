#include "protocol/status_record.h"

std::vector<std::string> split_status_record(std::string_view answer) {
    std::vector<std::string> fields;
    size_t field_start = 0;
    size_t i = 0;
    while (i < answer.size()) {
        const unsigned char c = static_cast<unsigned char>(answer[i]);
        if (c >= 0x80) {
            // A lead byte takes the next byte with it; a lead byte at the very
            // end stands alone.
            i += (i + 1 < answer.size()) ? 2 : 1;
            continue;
        }
        if (c == '|') {
            fields.emplace_back(answer.substr(field_start, i - field_start));
            field_start = i + 1;
        }
        ++i;
    }
    if (field_start < answer.size()) {
        fields.emplace_back(answer.substr(field_start));
    }
    return fields;
}

std::string status_field(const std::vector<std::string>& record, size_t n) {
    if (n == 0 || n > record.size()) {
        return {};
    }
    return record[n - 1];
}
