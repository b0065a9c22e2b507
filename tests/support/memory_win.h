#pragma once

#include <cstddef>
#include <string_view>

namespace testsupport {

// How many places in this process's readable memory hold `bytes`, not counting
// `bytes` itself. Freed heap blocks keep their contents, so a copy that was
// never wiped shows here until the block is reused.
size_t copies_in_memory(std::string_view bytes);

} // namespace testsupport
