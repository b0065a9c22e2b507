#include "protocol/status_record.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

// Joining the fields back must give the answer again, apart from one dropped
// trailing separator; no field may hold a separator that is not inside a
// double-byte character.
extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string answer(reinterpret_cast<const char*>(data), size);
    auto fields = split_status_record(answer);
    std::string joined;
    for (size_t i = 0; i < fields.size(); ++i) {
        if (i) {
            joined += '|';
        }
        joined += fields[i];
    }
    if (joined != answer && joined + "|" != answer) {
        std::abort();
    }
    for (const auto& f : fields) {
        for (size_t i = 0; i < f.size(); ++i) {
            unsigned char c = static_cast<unsigned char>(f[i]);
            if (c >= 0x80) {
                ++i;
            } else if (c == '|') {
                std::abort();
            }
        }
    }
    return 0;
}
