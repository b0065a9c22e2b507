// tarnix-server check-config: what a start would check of the settings, done without
// listening, writing or opening the database for writing, so an operator can try a
// configuration (as the user the service runs as) before restarting the service.
#pragma once

#include "app/settings.h"

#include <cstdio>

namespace server {

// Prints one line per error and per warning to `out`; 0 when a start would get past
// every check (warnings only), 2 when not. `conflict`: what the parser found wrong
// across settings (empty: nothing), an error among the others.
int check_config(const Settings& settings, std::FILE* out, const std::string& conflict = "");

// Whether `host` is a loopback address or name.
bool is_loopback_host(const std::string& host);

} // namespace server
