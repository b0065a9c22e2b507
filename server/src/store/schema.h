// The schema's numbered steps, one list with both dialects: a database holds the
// number of the last step it ran (table schema_version) and runs the ones it lacks in
// order, in one transaction. A step a dialect does not need is nothing there, so both
// count the same steps.
#pragma once

#include <cstddef>

namespace server {

// Written in a step's `sqlite` place: the `postgres` text serves both dialects.
inline constexpr char kSameInBoth[] = "(the PostgreSQL text, which both dialects run)";

struct SchemaStep {
    const char* sqlite;   // nullptr: nothing to do in SQLite
    const char* postgres; // nullptr: nothing to do in PostgreSQL
    // SQLite only: a query that finds a row when a file from before the version table
    // already holds what the step makes (it is then skipped).
    const char* sqlite_done_if = nullptr;

    // The step's text in the dialect; nullptr when it has none.
    const char* text(bool postgres) const;
};

// The steps in order, step 1 first; `count` is the latest version.
const SchemaStep* schema_steps(size_t& count);

} // namespace server
