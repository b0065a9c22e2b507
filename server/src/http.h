// HTTP side of the server: the protocol endpoint and the update file.
#pragma once

#include "commands.h"

#include <string>

namespace httplib {
class Server;
}

namespace server {

struct Routes {
    std::string endpoint_path = "/tx-client.asp";
    std::string update_path;      // where the update file is served ("" = nowhere)
    std::string update_file;      // the file served there
    std::string update_signature; // served at update_path + ".sig" ("" = nowhere)
};

// Installs the handlers on `http`; every request is logged with `log_line`.
void install_routes(httplib::Server& http, Commands& commands, const Routes& routes);

// Writes one line, prefixed with the time, to stderr.
void log_line(const std::string& text);

} // namespace server
