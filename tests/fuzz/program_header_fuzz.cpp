// The program-header check on arbitrary bytes, as a downloaded file's first
// bytes come from the network.
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "update/update_trust.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    // An exact-size copy: any read past the end is caught by the sanitizer.
    std::vector<unsigned char> bytes(data, data + size);
    bool ok = update_trust::is_windows_x64_program(bytes.data(), bytes.size());
    if (ok && (size < 0x40 || bytes[0] != 'M' || bytes[1] != 'Z')) {
        std::abort();
    }
    return 0;
}
