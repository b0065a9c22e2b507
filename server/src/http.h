// The server's HTTP answers: the protocol endpoint, its small page and the files
// served by GET/HEAD (the update file), on top of the engine.
#pragma once

#include "commands.h"
#include "engine.h"

#include <memory>
#include <string>
#include <vector>

namespace server {

// Something served by GET/HEAD at a path, with single byte ranges: a file read
// afresh for each request, or bytes held in memory.
struct Resource {
    std::string path;
    std::string file;                         // read from disk when `bytes` is null
    std::shared_ptr<const std::string> bytes; // in memory, for the server's lifetime
    std::string content_type = "application/octet-stream";

    static Resource from_file(std::string path, std::string file);
    static Resource from_bytes(std::string path, std::string bytes);
};

struct Routes {
    std::string endpoint_path = "/tx-client.asp";
    std::vector<Resource> resources;
    // Client addresses (as text) that the per-address request budgets do not count.
    std::vector<std::string> exempt_addresses;
};

// The handler the engine calls; every request is logged with `log_line`.
Handler make_handler(Commands& commands, const Routes& routes);

// Writes one line, prefixed with the time, to stderr.
void log_line(const std::string& text);

} // namespace server
