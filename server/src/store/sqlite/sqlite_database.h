// The SQLite backend of the store: one file used by this process alone, one
// connection under one lock (the store's body runs over it), challenges in memory.
// WAL mode, synchronous=FULL (a commit reported is on disk), secure_delete=ON (freed
// pages are zeroed), 5 s busy time-out. The file and its -wal and -shm files are made
// owner-only at every open.
#pragma once

#include "store/database.h"

#include <memory>
#include <string>

namespace server {

// Opens (creating) the file; nothing and the reason when it cannot.
std::unique_ptr<Database> open_sqlite_database(const std::string& path, std::string& error);

} // namespace server
