#pragma once

#include <string>
#include <string_view>

// Sends one command to the account server at `endpoint` as a form POST
// with the body "cmd=" + command + parameters and returns the answer: the
// response body up to its first NUL byte, "" when the server could not be
// reached. Blocks the calling thread for the whole exchange, bounded by the
// time-outs of http_request. Cookies the server sets are kept by the platform
// and sent back with later requests of the same run.
std::string server_request(const std::string& endpoint, std::string_view command,
                           std::string_view parameters = "");
