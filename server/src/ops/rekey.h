// Re-sealing every stored password under the current key, while servers keep serving.
#pragma once

#include "store/store.h"

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace server {

struct RekeyReport {
    int64_t examined = 0;
    int64_t resealed = 0;
    std::vector<std::string> unreadable; // accounts whose password opens under no known key
    int64_t left = 0;                    // afterwards, rows not under the current key
};

// Walks every account in name order, `batch` per transaction and a pause as long as
// each took, so a server's requests wait at most for one small transaction. `progress` (may be
// empty) gets a line now and then. Throws std::runtime_error when the database fails.
RekeyReport rekey_all(Store& store, size_t batch,
                      const std::function<void(const std::string&)>& progress);

} // namespace server
