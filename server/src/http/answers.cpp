#include "http/answers.h"

namespace server {

Response text_answer(int status, std::string body) {
    Response res;
    res.status = status;
    res.content_type = "text/plain; charset=gbk";
    res.body = std::move(body);
    return res;
}

bool answer_health(const Request& req, const std::function<bool()>& ready,
                   const std::function<bool()>& within_budget, Response& res) {
    if (req.method != "GET" && req.method != "HEAD")
        return false;
    if (req.path == "/healthz") {
        res = text_answer(200, "ok\n");
    } else if (req.path == "/readyz" && !within_budget()) {
        res = text_answer(429, "too many readiness checks\n");
    } else if (req.path == "/readyz") {
        const bool up = ready && ready();
        res = text_answer(up ? 200 : 503, up ? "ready\n" : "the database does not answer\n");
    } else {
        return false;
    }
    res.content_type = "text/plain";
    return true;
}

} // namespace server
