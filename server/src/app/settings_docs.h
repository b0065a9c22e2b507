// The configuration reference, made from the settings' table: docs/configuration.md
// for the operator's guide and tarnix-server.toml(5) for the package. Both are
// committed, and a test holds them against the table, so a row changed without them
// fails the build's tests (the test writes them anew with TARNIX_WRITE_DOCS=1).
#pragma once

#include <string>

namespace server {

// Markdown: one section per group, a table of every setting with its type, default,
// range and when a change takes effect, then what it does.
std::string configuration_markdown();

// The same as a man page (roff), section 5.
std::string configuration_man_page();

} // namespace server
