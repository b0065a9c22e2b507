// The PostgreSQL backend of the store: a database shared by any number of server
// instances, a pool of connections (each lent to one operation at a time), sign-in
// challenges in a table, and the schema migrated under an advisory lock.
#pragma once

#include "store/database.h"

#include <memory>
#include <string>
#include <vector>

namespace server {

// Connects `pool_size` connections; nothing and libpq's reason when one fails.
std::unique_ptr<Database> open_postgres_database(const std::string& uri, int pool_size,
                                                 std::string& error);

// A commit answered as done must be on the primary's disk: a warning line for each
// setting of the database that does not promise it (nothing is refused).
std::vector<std::string> durability_warnings(SqlConnection& c);

} // namespace server
