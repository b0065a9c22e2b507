// Small answers every listener gives: plain text, and the health checks.
#pragma once

#include "http/engine.h"

#include <functional>
#include <string>

namespace server {

// A text/plain answer in GBK.
Response text_answer(int status, std::string body);

// GET /healthz (always 200) and /readyz (200 when `ready` says so, 503 otherwise, 429
// when `within_budget` refuses, without asking `ready`); false when the request is
// neither, and `res` is left alone.
bool answer_health(const Request& req, const std::function<bool()>& ready,
                   const std::function<bool()>& within_budget, Response& res);

} // namespace server
