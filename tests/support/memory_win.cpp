#include "support/memory_win.h"

#include <windows.h>

namespace testsupport {

size_t copies_in_memory(std::string_view bytes) {
    size_t found = 0;
    MEMORY_BASIC_INFORMATION m;
    for (const char* p = nullptr; VirtualQuery(p, &m, sizeof m) == sizeof m;
         p = static_cast<const char*>(m.BaseAddress) + m.RegionSize) {
        const DWORD readable = PAGE_READONLY | PAGE_READWRITE | PAGE_WRITECOPY;
        if (m.State != MEM_COMMIT || !(m.Protect & readable) || (m.Protect & PAGE_GUARD)) {
            continue;
        }
        const std::string_view region(static_cast<const char*>(m.BaseAddress), m.RegionSize);
        for (size_t at = region.find(bytes); at != std::string_view::npos;
             at = region.find(bytes, at + 1)) {
            if (region.data() + at != bytes.data()) {
                ++found;
            }
        }
    }
    return found;
}

} // namespace testsupport
